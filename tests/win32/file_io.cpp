// The Win32 layer over the simulated I/O manager, against a small port
// driver: opening COM names, synchronous and overlapped I/O, cancellation,
// events on the virtual clock, and the error codes kernel32 reports.
#include "common/fake_driver.h"
#include "platform/sim/sim.h"
#include "platform/win32/win32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

using fake::Act;

constexpr ULONG Code(ULONG function) {
    return CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800 + function, METHOD_BUFFERED, FILE_ANY_ACCESS);
}
constexpr ULONG kEcho = Code(0);      // output = input; short output: STATUS_BUFFER_OVERFLOW
constexpr ULONG kFailWith = Code(1);  // completes with the NTSTATUS given as input
constexpr ULONG kPend = Code(2);      // stays queued until cancelled
constexpr ULONG kFeed = Code(3);      // input bytes arrive; a queued read takes them
constexpr ULONG kShortNext = Code(4); // the next read ends STATUS_TIMEOUT with what there is

// COM5: reads wait for fed bytes in the driver's queue; writes are kept.
struct Win32Test : ::testing::Test {
    sim::Kernel kernel;
    std::string written, received;
    bool shortNext = false;
    int zeroLengthReads = 0;
    fake::Driver port_driver{PortConfig()};
    HANDLE port = INVALID_HANDLE_VALUE;

    fake::Config PortConfig() {
        fake::Config c = fake::Port("testport", L"\\Device\\TestPort0", L"\\DosDevices\\COM5");
        c.rules = {fake::Runs(IRP_MJ_READ, [this](PDEVICE_OBJECT, PIRP irp) { return Read(irp); }),
                   fake::Runs(IRP_MJ_WRITE,
                              [this](PDEVICE_OBJECT, PIRP irp) {
                                  const ULONG n =
                                      IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
                                  written.append(
                                      static_cast<const char*>(irp->AssociatedIrp.SystemBuffer), n);
                                  return fake::CompleteWith(irp, STATUS_SUCCESS, n);
                              }),
                   fake::OnCode(kEcho, Act::Echo),
                   fake::OnCode(kPend, Act::Pend),
                   Control(kFailWith,
                           [](PIRP irp, const std::string& in) {
                               NTSTATUS status;
                               if (in.size() < sizeof status)
                                   return fake::CompleteWith(irp, STATUS_BUFFER_TOO_SMALL);
                               std::memcpy(&status, in.data(), sizeof status);
                               return fake::CompleteWith(irp, status);
                           }),
                   Control(kFeed,
                           [this](PIRP irp, const std::string& in) {
                               received += in;
                               ServeQueuedRead();
                               return fake::CompleteWith(irp, STATUS_SUCCESS);
                           }),
                   Control(kShortNext,
                           [this](PIRP irp, const std::string&) {
                               shortNext = true;
                               ServeQueuedRead();
                               return fake::CompleteWith(irp, STATUS_SUCCESS);
                           }),
                   fake::On(IRP_MJ_DEVICE_CONTROL, Act::Complete, STATUS_INVALID_DEVICE_REQUEST)};
        // Everything the handle left queued ends at cleanup, or it cannot close.
        fake::Rule cleanup = fake::On(IRP_MJ_CLEANUP, Act::Complete);
        cleanup.run = [this](PDEVICE_OBJECT, PIRP) {
            return port_driver.CancelHeld(), STATUS_SUCCESS;
        };
        c.rules.push_back(cleanup);
        return c;
    }
    template <typename F> fake::Rule Control(ULONG code, F body) {
        fake::Rule rule = fake::OnCode(code, Act::Run);
        rule.run = [body](PDEVICE_OBJECT, PIRP irp) {
            const auto& p = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl;
            return body(irp,
                        std::string(static_cast<const char*>(irp->AssociatedIrp.SystemBuffer),
                                    irp->AssociatedIrp.SystemBuffer ? p.InputBufferLength : 0));
        };
        return rule;
    }
    // Moves what has arrived into `irp` and completes it.
    NTSTATUS Deliver(PIRP irp) {
        const ULONG want = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
        const ULONG n = std::min<ULONG>(want, static_cast<ULONG>(received.size()));
        std::memcpy(irp->AssociatedIrp.SystemBuffer, received.data(), n);
        received.erase(0, n);
        const NTSTATUS status = n == want || !shortNext ? STATUS_SUCCESS : STATUS_TIMEOUT;
        shortNext = false;
        return fake::CompleteWith(irp, status, n);
    }
    NTSTATUS Read(PIRP irp) {
        if (IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length == 0) {
            ++zeroLengthReads;
            return fake::CompleteWith(irp, STATUS_SUCCESS);
        }
        if (!received.empty() || shortNext)
            return Deliver(irp);
        return port_driver.Hold(irp);
    }
    void ServeQueuedRead() {
        if (received.empty() && !shortNext)
            return;
        if (PIRP irp = port_driver.Take(IRP_MJ_READ))
            Deliver(irp);
    }
    int Count(const char* name) const {
        return static_cast<int>(std::count_if(port_driver.seen.begin(), port_driver.seen.end(),
                                              [&](const fake::Seen& s) { return s.name == name; }));
    }

    void TearDown() override {
        if (port != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(port));
        }
        EXPECT_EQ(sim::Win32OpenHandles(), 0u);
    }
    HANDLE Open(const char* name, DWORD flags = 0) {
        return CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags,
                           nullptr);
    }
    void Feed(const std::string& bytes) {
        DWORD n = 0;
        OVERLAPPED o{};
        ASSERT_TRUE(DeviceIoControl(port, kFeed, const_cast<char*>(bytes.data()),
                                    static_cast<DWORD>(bytes.size()), nullptr, 0, &n, &o));
    }
    // The Win32 error a request fails with when the driver completes it with `status`.
    DWORD ErrorFor(NTSTATUS status) {
        DWORD n = 0;
        SetLastError(0);
        EXPECT_FALSE(
            DeviceIoControl(port, kFailWith, &status, sizeof status, nullptr, 0, &n, nullptr));
        return GetLastError();
    }
};

// ---------------------------------------------------------------- opening

TEST_F(Win32Test, ComNamesOpenThroughTheDosDeviceLink) {
    for (const char* name :
         {"\\\\.\\COM5", "\\\\?\\com5", "COM5", "com5:", "\\\\.\\GLOBALROOT\\Device\\TestPort0"}) {
        HANDLE h = Open(name);
        ASSERT_NE(h, INVALID_HANDLE_VALUE) << name << " error " << GetLastError();
        EXPECT_TRUE(CloseHandle(h));
    }
    // CreateFile sends CREATE only; CloseHandle CLEANUP then CLOSE.
    EXPECT_EQ(Count("CREATE"), 5);
    EXPECT_EQ(Count("CLEANUP"), 5);
    EXPECT_EQ(Count("CLOSE"), 5);
}

TEST_F(Win32Test, NamesThatReachNoDeviceAreNotFound) {
    // COM10 and up are DOS device names only with the "\\.\" prefix.
    for (const char* name : {"\\\\.\\COM6", "COM6", "COM10", "\\\\.\\TestPort0", "C:\\COM5"}) {
        SetLastError(0);
        EXPECT_EQ(Open(name), INVALID_HANDLE_VALUE) << name;
        EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND)) << name;
    }
    EXPECT_EQ(Count("CREATE"), 0);
}

TEST_F(Win32Test, AnExclusivePortRefusesASecondOpenUntilTheFirstCloses) {
    port = Open("\\\\.\\COM5");
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    SetLastError(0);
    EXPECT_EQ(Open("COM5"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(CloseHandle(port));
    port = Open("COM5");
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
}

TEST_F(Win32Test, ClosingAHandleTwiceIsAnInvalidHandle) {
    HANDLE h = Open("COM5");
    ASSERT_TRUE(CloseHandle(h));
    SetLastError(0);
    EXPECT_FALSE(CloseHandle(h));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
    DWORD n = 0;
    char c;
    EXPECT_FALSE(ReadFile(h, &c, 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

// ---------------------------------------------------------------- synchronous handles

TEST_F(Win32Test, SynchronousReadsWritesAndControls) {
    port = Open("COM5");
    DWORD n = 99;
    ASSERT_TRUE(WriteFile(port, "ATZ\r", 4, &n, nullptr));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(written, "ATZ\r");

    Feed("OK\r\n");
    char buffer[16] = {};
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(std::string(buffer, n), "OK\r\n");

    // A zero-length read reaches the driver and succeeds at once.
    n = 99;
    EXPECT_TRUE(ReadFile(port, buffer, 0, &n, nullptr));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(zeroLengthReads, 1);

    // The system buffer comes back for METHOD_BUFFERED.
    char in[] = "abcdef";
    char out[8] = {};
    ASSERT_TRUE(DeviceIoControl(port, kEcho, in, 6, out, sizeof out, &n, nullptr));
    EXPECT_EQ(std::string(out, n), "abcdef");
    EXPECT_TRUE(FlushFileBuffers(port));
    EXPECT_EQ(Count("FLUSH"), 1);
}

TEST_F(Win32Test, AReadEndingInTimeoutSucceedsWithFewerBytes) {
    port = Open("COM5");
    Feed("AB");
    DWORD n = 0;
    ASSERT_TRUE(DeviceIoControl(port, kShortNext, nullptr, 0, nullptr, 0, &n, nullptr));
    char buffer[10];
    SetLastError(1234);
    EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(GetLastError(), 1234u); // success leaves the last error alone
}

TEST_F(Win32Test, AWarningStillReportsTheBytesMoved) {
    port = Open("COM5");
    char in[] = "abcdef";
    char out[4] = {};
    DWORD n = 0;
    EXPECT_FALSE(DeviceIoControl(port, kEcho, in, 6, out, sizeof out, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(std::string(out, 4), "abcd");
}

TEST_F(Win32Test, FailuresMapToTheErrorsKernel32Reports) {
    port = Open("COM5");
    const struct {
        NTSTATUS status;
        DWORD error;
    } table[] = {
        {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
        {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
        {STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
        {STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
        {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
        {STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
        {STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
        {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
        {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
        {STATUS_DEVICE_NOT_CONNECTED, ERROR_DEVICE_NOT_CONNECTED},
        {STATUS_OBJECT_NAME_NOT_FOUND, ERROR_FILE_NOT_FOUND},
        {STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
        {STATUS_DEVICE_REMOVED, ERROR_DEVICE_REMOVED},
    };
    for (const auto& row : table)
        EXPECT_EQ(ErrorFor(row.status), row.error) << std::hex << row.status;
    // An unknown control code reaches the driver and is refused cleanly.
    DWORD n = 0;
    EXPECT_FALSE(DeviceIoControl(port, Code(0x55), nullptr, 0, nullptr, 0, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_PENDING), DWORD(ERROR_IO_PENDING));
}

// ---------------------------------------------------------------- overlapped handles

struct OverlappedTest : Win32Test {
    HANDLE event = nullptr;
    void SetUp() override {
        Win32Test::SetUp();
        port = Open("\\\\.\\COM5", FILE_FLAG_OVERLAPPED);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    }
    void TearDown() override {
        EXPECT_TRUE(CloseHandle(event));
        Win32Test::TearDown();
    }
};

TEST_F(OverlappedTest, APendingReadCompletesWhenDataArrives) {
    char buffer[8] = {};
    OVERLAPPED o{};
    o.hEvent = event;
    DWORD n = 77;
    ASSERT_FALSE(ReadFile(port, buffer, sizeof buffer, &n, &o));
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    EXPECT_FALSE(HasOverlappedIoCompleted(&o));
    EXPECT_FALSE(GetOverlappedResult(port, &o, &n, FALSE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_INCOMPLETE));

    // Nothing arrives: the wait times out on the virtual clock.
    const DWORD before = GetTickCount();
    EXPECT_EQ(WaitForSingleObject(event, 50), DWORD(WAIT_TIMEOUT));
    EXPECT_EQ(GetTickCount() - before, 50u);

    Feed("RING");
    EXPECT_TRUE(HasOverlappedIoCompleted(&o));
    EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_OBJECT_0));
    ASSERT_TRUE(GetOverlappedResult(port, &o, &n, TRUE));
    EXPECT_EQ(std::string(buffer, n), "RING");
}

TEST_F(OverlappedTest, ARequestDoneAtOnceSucceedsAndSignals) {
    Feed("OK");
    char buffer[2];
    OVERLAPPED o{};
    o.hEvent = event;
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &n, &o));
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(o.Internal, ULONG_PTR(STATUS_SUCCESS));
    EXPECT_EQ(o.InternalHigh, 2u);
    EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_OBJECT_0));
}

TEST_F(OverlappedTest, ARequestFailedOutrightLeavesTheOverlappedAlone) {
    OVERLAPPED o{};
    o.hEvent = event;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    DWORD n = 0;
    EXPECT_FALSE(DeviceIoControl(port, kFailWith, &status, sizeof status, nullptr, 0, &n, &o));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    // The I/O manager writes neither the status block nor the event for an
    // error that was never pended.
    EXPECT_EQ(o.Internal, ULONG_PTR(ULONG(STATUS_PENDING)));
    EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_TIMEOUT));
}

TEST_F(OverlappedTest, CancelIoEndsPendingRequestsAsAborted) {
    char buffer[4];
    OVERLAPPED read{};
    read.hEvent = event;
    OVERLAPPED wait{}; // no event: GetOverlappedResult waits on the handle
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(port, buffer, sizeof buffer, &n, &read));
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    ASSERT_FALSE(DeviceIoControl(port, kPend, nullptr, 0, nullptr, 0, &n, &wait));
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));

    ASSERT_TRUE(CancelIo(port));
    EXPECT_FALSE(GetOverlappedResult(port, &read, &n, TRUE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(GetOverlappedResult(port, &wait, &n, TRUE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));

    // The port stays usable.
    Feed("x");
    ASSERT_TRUE(ReadFile(port, buffer, 1, &n, &read));
    EXPECT_EQ(buffer[0], 'x');
}

// A program keeps its port open for days: what the I/O manager keeps of
// finished requests must not grow with their number, and a request still
// pending must outlive every prune.
TEST_F(OverlappedTest, AHandleOpenForLongHoldsABoundedNumberOfRequestRecords) {
    OVERLAPPED pended{};
    DWORD n = 0;
    ASSERT_FALSE(DeviceIoControl(port, kPend, nullptr, 0, nullptr, 0, &n, &pended));
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    char buffer[1];
    OVERLAPPED o{};
    o.hEvent = event;
    for (int i = 0; i < 5000; ++i) {
        Feed("x");
        ASSERT_TRUE(ReadFile(port, buffer, 1, &n, &o));
        ASSERT_EQ(n, 1u);
    }
    EXPECT_LT(sim::IoRequestRecords(), 64u);

    ASSERT_TRUE(CancelIoEx(port, &pended));
    EXPECT_FALSE(GetOverlappedResult(port, &pended, &n, TRUE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
}

TEST_F(OverlappedTest, ClosingTheHandleEndsWhatItLeftPending) {
    char buffer[4];
    OVERLAPPED o{};
    o.hEvent = event;
    DWORD n = 0;
    ASSERT_FALSE(ReadFile(port, buffer, sizeof buffer, &n, &o));
    EXPECT_TRUE(CloseHandle(port));
    port = INVALID_HANDLE_VALUE;
    EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(o.Internal, ULONG_PTR(ULONG(STATUS_CANCELLED)));
    EXPECT_EQ(Count("CLEANUP"), 1);
    EXPECT_EQ(Count("CLOSE"), 1);
}

// ---------------------------------------------------------------- events

TEST(Win32Events, AutoResetEventsWakeOneWaitManualOnesStaySet) {
    sim::Kernel kernel;
    HANDLE automatic = CreateEventW(nullptr, FALSE, TRUE, nullptr);
    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(automatic, 0), DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(automatic, 0), DWORD(WAIT_TIMEOUT));
    ASSERT_TRUE(SetEvent(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(manual, INFINITE), DWORD(WAIT_OBJECT_0));

    HANDLE both[] = {automatic, manual};
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), DWORD(WAIT_OBJECT_0 + 1));
    ASSERT_TRUE(ResetEvent(manual));
    const DWORD before = GetTickCount();
    EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 20), DWORD(WAIT_TIMEOUT));
    EXPECT_EQ(GetTickCount() - before, 20u);
    ASSERT_TRUE(SetEvent(automatic));
    ASSERT_TRUE(SetEvent(manual));
    EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 0), DWORD(WAIT_OBJECT_0));
    EXPECT_EQ(WaitForSingleObject(automatic, 0), DWORD(WAIT_TIMEOUT)); // consumed by the wait-all

    Sleep(30);
    EXPECT_EQ(GetTickCount() - before, 50u);
    EXPECT_TRUE(CloseHandle(automatic));
    EXPECT_TRUE(CloseHandle(manual));
    EXPECT_EQ(WaitForSingleObject(manual, 0), DWORD(WAIT_FAILED));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_HANDLE));
}

} // namespace
