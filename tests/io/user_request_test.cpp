// The user-mode path: what a handle's requests look like to the driver, the
// buffered copy-back, exclusive devices and the create / cleanup / close
// sequence (the default dispatch routine is checked by the verifier
// scaffolding test).
#include "platform/sim/io_internal.h"
#include "tests/io/io_fixture.h"

using namespace iotest;

namespace {

class IoUserRequests : public IoTest {};

const ULONG kBufferedIoctl = CTL_CODE(FILE_DEVICE_SERIAL_PORT, 7, METHOD_BUFFERED, FILE_ANY_ACCESS);

} // namespace

// Each request reaches the driver as from a user thread, its buffer copied
// back by exactly Information bytes, and only when it succeeded.
TEST_F(IoUserRequests, BufferedRequestsFromAUserThreadCopyBackExactlyInformationBytes) {
    Build(1, DO_BUFFERED_IO);
    sim::FileHandle* handle = Open();
    L().dispatch[kBottom] = [](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        auto system = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(irp->RequestorMode, UserMode);
        EXPECT_NE(irp->Tail.Overlay.Thread, nullptr);
        EXPECT_TRUE(sp->FileObject != nullptr &&
                    sp->FileObject->DeviceObject == L().device[kBottom]);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        switch (sp->MajorFunction) {
        case IRP_MJ_READ:
            EXPECT_EQ(sp->Parameters.Read.Length, 8u);
            memcpy(system, "hello", 5);
            return CompleteWith(irp, STATUS_SUCCESS, 5);
        case IRP_MJ_WRITE:
            EXPECT_EQ(memcmp(system, "AT\r", 3), 0);
            return CompleteWith(irp, STATUS_SUCCESS, 3);
        default: {
            EXPECT_EQ(sp->Parameters.DeviceIoControl.IoControlCode, kBufferedIoctl);
            ULONG in = sp->Parameters.DeviceIoControl.InputBufferLength;
            EXPECT_EQ(memcmp(system, in == 2 ? "in" : "inX", in), 0);
            memcpy(system, "output", 6);
            NTSTATUS status = in == 2 ? STATUS_SUCCESS : STATUS_INVALID_PARAMETER;
            return CompleteWith(irp, status, 6);
        }
        }
    };
    char read[9] = "........";
    sim::PendingRequest* done =
        sim::SendRequest(handle, {.major = IRP_MJ_READ, .output = read, .outputLength = 8});
    EXPECT_EQ(done->information, 5u);
    EXPECT_STREQ(read, "hello...");

    EXPECT_EQ(
        sim::SendRequest(handle, {.major = IRP_MJ_WRITE, .input = "AT\r", .inputLength = 3})->information,
        3u);

    char out[9] = "........";
    sim::UserRequest c = {.major = IRP_MJ_DEVICE_CONTROL, .ioControlCode = kBufferedIoctl,
                          .input = "in", .inputLength = 2, .output = out, .outputLength = 8};
    EXPECT_EQ(sim::SendRequest(handle, c)->status, STATUS_SUCCESS);
    EXPECT_STREQ(out, "output..");

    // A failed request brings nothing back.
    memcpy(out, "........", 8);
    c.input = "inX";
    c.inputLength = 3;
    EXPECT_EQ(sim::SendRequest(handle, c)->status, STATUS_INVALID_PARAMETER);
    EXPECT_STREQ(out, "........");
    L().dispatch[kBottom] = nullptr;
    sim::CloseFile(handle);
}

TEST_F(IoUserRequests, ExclusiveDeviceAdmitsOneHandleAtATime) {
    Build(2, 0, /*exclusive=*/true);
    sim::FileHandle* first = Open();
    sim::FileHandle* second = nullptr;
    EXPECT_EQ(sim::OpenFile(Top(), &second), STATUS_ACCESS_DENIED);
    EXPECT_EQ(second, nullptr);
    sim::CloseFile(first);
    sim::FileHandle* again = Open();
    sim::CloseFile(again);

    // The device below is not exclusive: any number of handles.
    sim::FileHandle* a = nullptr;
    sim::FileHandle* b = nullptr;
    EXPECT_EQ(sim::OpenFile(L().device[kBottom], &a), STATUS_SUCCESS);
    EXPECT_EQ(sim::OpenFile(L().device[kBottom], &b), STATUS_SUCCESS);
    sim::CloseFile(a);
    sim::CloseFile(b);
}

TEST_F(IoUserRequests, CloseComesAfterCleanupAndAfterTheLastRequestEnds) {
    Build(1);
    static std::vector<std::string> s_log;
    static PIRP s_read;
    s_log.clear();
    L().dispatch[kBottom] = [](PDEVICE_OBJECT, PIRP irp) {
        UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
        s_log.push_back(sim::MajorName(major));
        if (major == IRP_MJ_READ) {
            IoMarkIrpPending(irp);
            s_read = irp;
            return STATUS_PENDING;
        }
        if (major == IRP_MJ_CLEANUP) // the read ends a while after cleanup
            OnWorker([] {
                s_log.push_back("read completed");
                CompleteWith(s_read, STATUS_CANCELLED);
            });
        return CompleteWith(irp, STATUS_SUCCESS);
    };
    sim::FileHandle* handle = Open();
    sim::SendRequest(handle, {IRP_MJ_READ});
    EXPECT_EQ(sim::CloseFile(handle), STATUS_SUCCESS);
    EXPECT_EQ(s_log, (std::vector<std::string>{"IRP_MJ_CREATE", "IRP_MJ_READ", "IRP_MJ_CLEANUP",
                                               "read completed", "IRP_MJ_CLOSE"}));
}

// An unbuffered device sees the caller's own buffer; once deleted it refuses
// opens but still closes the handles open on it.
TEST_F(IoUserRequests, UnbufferedDeviceDeletedRefusesOpensButStillClosesOpenHandles) {
    Build(1);
    std::vector<UCHAR> majors;
    char buffer[4];
    L().dispatch[kBottom] = [&](PDEVICE_OBJECT, PIRP irp) {
        majors.push_back(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
        if (majors.back() == IRP_MJ_READ) {
            EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
            EXPECT_EQ(irp->UserBuffer, buffer);
        }
        return CompleteWith(irp, STATUS_SUCCESS);
    };
    sim::FileHandle* handle = Open();
    sim::SendRequest(handle, {.major = IRP_MJ_READ, .output = buffer, .outputLength = sizeof buffer});
    IoDeleteDevice(L().device[kBottom]);
    L().fakes.back()->devices.clear(); // deleted already: nothing for the unload to delete
    sim::FileHandle* refused = nullptr;
    EXPECT_EQ(sim::OpenFile(L().device[kBottom], &refused), STATUS_DELETE_PENDING);
    sim::CloseFile(handle);
    EXPECT_EQ(majors,
              (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
}
