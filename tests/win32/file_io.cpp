// The Win32 layer over the simulated I/O manager, against the recording
// serial driver: opening COM names, synchronous and overlapped I/O,
// cancellation, events on the virtual clock, and the error codes kernel32
// reports.
#include "win32_comm/comm_fixture.h"

#include "platform/sim/api_ke.h"

#include <atomic>
#include <thread>

namespace {

using Win32Test = SerialRig;

// The Win32 error a request fails with when the driver completes it with `failure`.
DWORD ErrorFor(HANDLE port, NTSTATUS failure) {
    DWORD n = 0;
    SetLastError(0);
    EXPECT_FALSE(
        DeviceIoControl(port, kFailWith, &failure, sizeof failure, nullptr, 0, &n, nullptr));
    return GetLastError();
}

// ---------------------------------------------------------------- opening

// CreateFile sends CREATE only; CloseHandle CLEANUP then CLOSE. COM10 and up
// are DOS device names only with the "\\.\" prefix.
TEST_F(Win32Test, ComNamesOpenThroughTheDosDeviceLinkOthersAreNotFound) {
    const struct {
        const char* name;
        bool opens;
        // clang-format off
    } names[] = {{"\\\\.\\COM7", true},  {"\\\\?\\com7", true},    {"COM7", true},
                 {"com7:", true},          {"\\\\.\\GLOBALROOT\\Device\\CommRec0", true},
                 {"\\\\.\\COM6", false}, {"COM6", false},            {"COM10", false},
                 {"\\\\.\\CommRec0", false}, {"C:\\COM7", false}};
    // clang-format on
    for (const auto& n : names) {
        SetLastError(0);
        HANDLE h = Open(n.name);
        EXPECT_EQ(h != INVALID_HANDLE_VALUE, n.opens) << n.name << " error " << GetLastError();
        if (h != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(h));
        } else {
            EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND)) << n.name;
        }
    }
    EXPECT_EQ(Count("CREATE"), 5);
    EXPECT_EQ(Count("CLEANUP"), 5);
    EXPECT_EQ(Count("CLOSE"), 5);
    // A handle closed is no handle any more.
    HANDLE h = Open("COM7");
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

using SyncTest = CommTest;

TEST_F(SyncTest, SynchronousReadsWritesAndControls) {
    DWORD n = 99;
    ASSERT_TRUE(WriteFile(port, "ATZ\r", 4, &n, nullptr));
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(written, "ATZ\r");

    // Fewer bytes than asked (the read timed out) is still success, and
    // leaves the last error alone.
    Feed("OK\r\n");
    char buffer[16] = {};
    SetLastError(1234);
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(std::string(buffer, n), "OK\r\n");
    EXPECT_EQ(GetLastError(), 1234u);

    // A zero-length read reaches the driver and succeeds at once.
    n = 99;
    EXPECT_TRUE(ReadFile(port, buffer, 0, &n, nullptr));
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(zeroLengthReads, 1);

    // The system buffer comes back for METHOD_BUFFERED; a warning still
    // reports the bytes moved.
    char in[] = "abcdef";
    char out[8] = {};
    EXPECT_FALSE(DeviceIoControl(port, kEcho, in, 6, out, 4, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_MORE_DATA));
    EXPECT_EQ(std::string(out, n), "abcd");
    ASSERT_TRUE(DeviceIoControl(port, kEcho, in, 6, out, sizeof out, &n, nullptr));
    EXPECT_EQ(std::string(out, n), "abcdef");
    EXPECT_TRUE(FlushFileBuffers(port));
    EXPECT_EQ(Count("FLUSH"), 1);
}

TEST_F(SyncTest, FailuresMapToTheErrorsKernel32Reports) {
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
        EXPECT_EQ(ErrorFor(port, row.status), row.error) << std::hex << row.status;
    // An unknown control code reaches the driver and is refused cleanly.
    DWORD n = 0;
    EXPECT_FALSE(DeviceIoControl(port, TestCode(0x55), nullptr, 0, nullptr, 0, &n, nullptr));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(RtlNtStatusToDosError(STATUS_PENDING), DWORD(ERROR_IO_PENDING));
}

// ---------------------------------------------------------------- overlapped handles

using OverlappedTest = OverlappedRig;

TEST_F(OverlappedTest, APendingReadCompletesWhenDataArrives) {
    char buffer[8] = {};
    n = 77;
    ASSERT_FALSE(ReadFile(port, buffer, sizeof buffer, &n, &ov));
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    EXPECT_FALSE(HasOverlappedIoCompleted(&ov));
    EXPECT_FALSE(GetOverlappedResult(port, &ov, &n, FALSE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_INCOMPLETE));

    // Nothing arrives: the wait times out on the virtual clock.
    const DWORD before = GetTickCount();
    EXPECT_EQ(WaitForSingleObject(event, 50), DWORD(WAIT_TIMEOUT));
    EXPECT_EQ(GetTickCount() - before, 50u);

    Feed("RING");
    EXPECT_TRUE(HasOverlappedIoCompleted(&ov));
    EXPECT_TRUE(Signalled());
    ASSERT_TRUE(GetOverlappedResult(port, &ov, &n, TRUE));
    EXPECT_EQ(std::string(buffer, n), "RING");
}

// A request done at once fills the status block and signals; one failed
// outright leaves both alone: the I/O manager writes neither for an error
// that was never pended.
TEST_F(OverlappedTest, ARequestEndedAtOnce) {
    NTSTATUS failure = STATUS_INVALID_PARAMETER;
    EXPECT_FALSE(DeviceIoControl(port, kFailWith, &failure, sizeof failure, nullptr, 0, &n, &ov));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(ov.Internal, ULONG_PTR(ULONG(STATUS_PENDING)));
    EXPECT_FALSE(Signalled());
    Feed("OK");
    char buffer[2];
    ASSERT_TRUE(ReadFile(port, buffer, sizeof buffer, &n, &ov));
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(ov.Internal, ULONG_PTR(STATUS_SUCCESS));
    EXPECT_EQ(ov.InternalHigh, 2u);
    EXPECT_TRUE(Signalled());
}

// CancelIo ends the calling thread's requests only, as in Win32; another
// thread's goes on until CancelIoEx names it.
TEST_F(OverlappedTest, CancelIoEndsTheCallersPendingRequestsAsAborted) {
    char buffer[4];
    OVERLAPPED wait{}; // no event: GetOverlappedResult waits on the handle
    OVERLAPPED others{};
    ASSERT_FALSE(ReadFile(port, buffer, sizeof buffer, &n, &ov));
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    ASSERT_FALSE(DeviceIoControl(port, kPend, nullptr, 0, nullptr, 0, &n, &wait));
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    sim::Thread("other", [&] {
        DWORD ignored;
        EXPECT_FALSE(DeviceIoControl(port, kPend, nullptr, 0, nullptr, 0, &ignored, &others));
    }).Join();

    ASSERT_TRUE(CancelIo(port));
    EXPECT_FALSE(GetOverlappedResult(port, &ov, &n, TRUE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(GetOverlappedResult(port, &wait, &n, TRUE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
    EXPECT_FALSE(HasOverlappedIoCompleted(&others));
    ASSERT_TRUE(CancelIoEx(port, &others));
    EXPECT_FALSE(GetOverlappedResult(port, &others, &n, TRUE));

    // The port stays usable.
    Feed("x");
    ASSERT_TRUE(ReadFile(port, buffer, 1, &n, &ov));
    EXPECT_EQ(buffer[0], 'x');
}

// A program keeps its port open for days: what the I/O manager keeps of
// finished requests must not grow with their number, and a request still
// pending must outlive every prune.
TEST_F(OverlappedTest, AHandleOpenForLongHoldsABoundedNumberOfRequestRecords) {
    OVERLAPPED pended{};
    ASSERT_FALSE(DeviceIoControl(port, kPend, nullptr, 0, nullptr, 0, &n, &pended));
    ASSERT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    char buffer[1];
    for (int i = 0; i < 5000; ++i) {
        Feed("x");
        ASSERT_TRUE(ReadFile(port, buffer, 1, &n, &ov));
        ASSERT_EQ(n, 1u);
    }
    EXPECT_LT(sim::IoRequestRecords(), 64u);

    ASSERT_TRUE(CancelIoEx(port, &pended));
    EXPECT_FALSE(GetOverlappedResult(port, &pended, &n, TRUE));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_OPERATION_ABORTED));
}

TEST_F(OverlappedTest, ClosingTheHandleEndsWhatItLeftPending) {
    char buffer[4];
    ASSERT_FALSE(ReadFile(port, buffer, sizeof buffer, &n, &ov));
    EXPECT_TRUE(CloseHandle(port));
    port = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(Signalled());
    EXPECT_EQ(ov.Internal, ULONG_PTR(ULONG(STATUS_CANCELLED)));
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

// Concurrent machine: two threads hand a turn back and forth through
// auto-reset events, each waiting on one event or on two (one never set). A
// set whose waiter is not woken hangs the test: only the waker wakes a wait
// on an event, the clock ends nothing but time-outs.
class Win32Concurrent : public ::testing::TestWithParam<bool> {};

TEST_P(Win32Concurrent, EventsPingPongWithoutLosingASet) {
    sim::Options options;
    options.mode = sim::Mode::Concurrent;
    sim::Kernel kernel(options);
    HANDLE ping = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE pong = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE never = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    auto wait = [&](HANDLE h) {
        HANDLE two[] = {never, h};
        return GetParam() ? WaitForMultipleObjects(2, two, FALSE, INFINITE) == WAIT_OBJECT_0 + 1
                          : WaitForSingleObject(h, INFINITE) == WAIT_OBJECT_0;
    };
    constexpr int kTimes = 2000;
    std::atomic<int> missed{0};
    std::thread other([&] {
        for (int i = 0; i < kTimes; ++i) {
            missed += wait(ping) ? 0 : 1;
            SetEvent(pong);
        }
    });
    for (int i = 0; i < kTimes; ++i) {
        SetEvent(ping);
        missed += wait(pong) ? 0 : 1;
    }
    other.join();
    EXPECT_EQ(missed.load(), 0);
    for (HANDLE h : {ping, pong, never})
        EXPECT_TRUE(CloseHandle(h));
}

INSTANTIATE_TEST_SUITE_P(Win32, Win32Concurrent, ::testing::Bool(),
                         [](const auto& row) { return row.param ? "OnTwo" : "OnOne"; });

} // namespace
