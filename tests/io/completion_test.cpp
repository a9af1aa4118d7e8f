// The completion walk: which routines run, in what order, with which device
// object, at which IRQL, and what PendingReturned says to each of them.
#include "tests/io/io_fixture.h"

using namespace iotest;

namespace {

// What each completion routine saw: "middle on middle pending at 2" (the
// routine's name, the layer whose device it was given, PendingReturned, the
// IRQL).
std::vector<std::string> g_seen;

void See(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    static const char* const kLayers[] = {"bottom", "middle", "top"};
    std::string on = "no device";
    for (int i : {kBottom, kMiddle, kTop})
        on = device != nullptr && device == L().device[i] ? kLayers[i] : on;
    g_seen.push_back(static_cast<const char*>(context) + (" on " + on) +
                     (irp->PendingReturned ? " pending" : "") + " at " +
                     std::to_string(KeGetCurrentIrql()));
}

NTSTATUS NTAPI Record(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    See(device, irp, context);
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI Hold(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    See(device, irp, context);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Copies the location down, sets `routine` with `name`, and sends the IRP on.
Dispatch ForwardWith(PIO_COMPLETION_ROUTINE routine, const char* name, bool success = true,
                     bool error = true, bool cancel = true) {
    return [=](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, routine, (PVOID)name, success, error, cancel);
        return IoCallDriver(fake::Driver::Lower(device), irp);
    };
}

PIRP g_queued;
NTSTATUS Queue(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    g_queued = irp;
    return STATUS_PENDING;
}

class IoCompletion : public IoTest {
protected:
    IoCompletion() {
        g_seen.clear();
        g_queued = nullptr;
    }
};

} // namespace

// Three layers, the top one forwarding with a completion routine. Inline,
// the routines run bottom up, each with the device that set it, at the
// caller's IRQL; pended and completed at DISPATCH_LEVEL, PendingReturned
// reaches the top routine even through a layer without one; and
// STATUS_MORE_PROCESSING_REQUIRED stops the walk until the layer that said
// it completes the IRP again.
TEST_F(IoCompletion, TheWalkRunsTheRoutinesBottomUpCarryingPendingAndStopsWhereAsked) {
    Build(3);
    sim::FileHandle* handle = Open();
    L().dispatch[kTop] = ForwardWith(Record, "top");
    L().dispatch[kMiddle] = ForwardWith(Record, "middle");
    sim::PendingRequest* request = sim::SendRequest(handle, {IRP_MJ_FLUSH_BUFFERS});
    ASSERT_TRUE(request->done);
    EXPECT_EQ(request->status, STATUS_SUCCESS);
    EXPECT_EQ(request->returned, STATUS_SUCCESS);
    EXPECT_EQ(g_seen, (std::vector<std::string>{"middle on middle at 0", "top on top at 0"}));

    // A copy without a routine: the walk itself must carry pending up.
    L().dispatch[kMiddle] = [](PDEVICE_OBJECT, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        return IoCallDriver(L().device[kBottom], irp);
    };
    L().dispatch[kBottom] = Queue;
    g_seen.clear();
    request = sim::SendRequest(handle, {IRP_MJ_READ});
    EXPECT_EQ(request->returned, STATUS_PENDING);
    ASSERT_FALSE(request->done);
    ASSERT_NE(g_queued, nullptr);
    fake::Driver::Complete(g_queued, STATUS_SUCCESS, 0, /*atDispatch=*/true);
    ASSERT_TRUE(request->done);
    EXPECT_EQ(g_seen, std::vector<std::string>{"top on top pending at 2"}); // the completer's IRQL
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    PIRP held = nullptr;
    L().dispatch[kMiddle] = [&](PDEVICE_OBJECT device, PIRP irp) {
        held = irp;
        IoMarkIrpPending(irp);
        ForwardWith(Hold, "middle")(device, irp);
        return STATUS_PENDING;
    };
    g_seen.clear();
    request = sim::SendRequest(handle, {IRP_MJ_READ});
    fake::Driver::Complete(g_queued, STATUS_IO_DEVICE_ERROR, 0, true);
    EXPECT_EQ(g_seen, std::vector<std::string>{"middle on middle pending at 2"});
    EXPECT_FALSE(request->done) << "the walk must stop at STATUS_MORE_PROCESSING_REQUIRED";
    // The middle driver finishes the request itself, with a status of its own.
    {
        sim::DriverScope scope(L().driver[kMiddle]);
        CompleteWith(held, STATUS_SUCCESS, 0);
    }
    ASSERT_TRUE(request->done);
    EXPECT_EQ(request->status, STATUS_SUCCESS);
    EXPECT_EQ(g_seen, (std::vector<std::string>{"middle on middle pending at 2",
                                                "top on top pending at 0"}));
    Close(handle);
}

TEST_F(IoCompletion, ControlFlagsChooseWhichOutcomesReachTheRoutine) {
    struct Case {
        bool success, error, cancel;
        NTSTATUS status;
        bool cancelled;
        bool called;
    } cases[] = {
        {true, false, false, STATUS_SUCCESS, false, true},
        {true, false, false, STATUS_IO_DEVICE_ERROR, false, false},
        {false, true, false, STATUS_IO_DEVICE_ERROR, false, true},
        {false, true, false, STATUS_SUCCESS, false, false},
        {false, false, true, STATUS_SUCCESS, true, true},   // cancelled, yet succeeded
        {false, false, true, STATUS_CANCELLED, false, false},
    };
    Build(2);
    sim::FileHandle* handle = Open();
    for (const Case& c : cases) {
        g_seen.clear();
        L().dispatch[kTop] = ForwardWith(Record, "top", c.success, c.error, c.cancel);
        L().dispatch[kBottom] = [&](PDEVICE_OBJECT, PIRP irp) {
            irp->Cancel = c.cancelled;
            return CompleteWith(irp, c.status);
        };
        sim::PendingRequest* request = sim::SendRequest(handle, {IRP_MJ_FLUSH_BUFFERS});
        EXPECT_EQ(request->status, c.status);
        EXPECT_EQ(g_seen.size(), c.called ? 1u : 0u)
            << "flags " << c.success << c.error << c.cancel << " status " << std::hex << c.status;
    }
    Close(handle);
}

TEST_F(IoCompletion, OwnIrpRoutineGetsNullDeviceUnlessTheAllocatorTookALocation) {
    Build(2);
    L().dispatch[kBottom] = [](PDEVICE_OBJECT, PIRP irp) { return CompleteWith(irp, STATUS_SUCCESS); };
    static PDEVICE_OBJECT s_device;
    static int s_calls;
    s_calls = 0;
    auto freeing = [](PDEVICE_OBJECT device, PIRP irp, PVOID) -> NTSTATUS {
        s_device = device;
        s_calls++;
        IoFreeIrp(irp);
        return STATUS_MORE_PROCESSING_REQUIRED;
    };
    PDEVICE_OBJECT lower = L().device[kBottom];
    PDEVICE_OBJECT upper = L().device[kTop];
    sim::DriverScope scope(L().driver[kTop]);

    // Stack size of the target only: the allocator has no location.
    PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, freeing, nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(lower, irp), STATUS_SUCCESS);
    EXPECT_EQ(s_calls, 1);
    EXPECT_EQ(s_device, nullptr);

    // One location more, taken by the allocator for itself.
    irp = IoAllocateIrp((CCHAR)(lower->StackSize + 1), FALSE);
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = upper;
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, freeing, nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(lower, irp), STATUS_SUCCESS);
    EXPECT_EQ(s_calls, 2);
    EXPECT_EQ(s_device, upper);
    EXPECT_EQ(sim::OutstandingIrps(), 0u);
}

TEST_F(IoCompletion, ReusedIrpCarriesNothingOfItsLastTrip) {
    Build(1);
    int calls = 0;
    L().dispatch[kBottom] = [&](PDEVICE_OBJECT, PIRP irp) {
        calls++;
        EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
        EXPECT_FALSE(irp->PendingReturned);
        EXPECT_EQ(IoGetCurrentIrpStackLocation(irp)->Control & SL_PENDING_RETURNED, 0);
        IoMarkIrpPending(irp); // marked, completed and pending: the last trip's traces
        CompleteWith(irp, STATUS_SUCCESS);
        return STATUS_PENDING;
    };
    sim::DriverScope scope(L().driver[kBottom]);
    PIRP irp = IoAllocateIrp(1, FALSE);
    for (int round = 0; round < 3; round++) {
        IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(
            irp, [](PDEVICE_OBJECT, PIRP, PVOID) -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; },
            nullptr, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(L().device[kBottom], irp), STATUS_PENDING);
        EXPECT_TRUE(irp->PendingReturned);
    }
    EXPECT_EQ(calls, 3);
    IoFreeIrp(irp);
}

// ---------------------------------------------------------------- built requests

// A built METHOD_BUFFERED request copies its input into a system buffer,
// and back exactly Information bytes, only at completion, when it signals
// its event; a built internal request carries its argument and no buffer,
// and fails without a copy-back. The I/O manager frees both.
TEST_F(IoCompletion, BuiltRequestsCarryTheirBuffersAndSignalWhenDone) {
    Build(2);
    const ULONG kCode = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
    const ULONG kSubmit = CTL_CODE(FILE_DEVICE_UNKNOWN, 0, METHOD_NEITHER, FILE_ANY_ACCESS);
    int urb = 42;
    L().dispatch[kBottom] = [&](PDEVICE_OBJECT, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        if (sp->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
            EXPECT_EQ(sp->Parameters.Others.Argument1, &urb);
            EXPECT_EQ(irp->AssociatedIrp.SystemBuffer, nullptr);
            return CompleteWith(irp, STATUS_IO_DEVICE_ERROR, 3);
        }
        EXPECT_EQ(sp->MajorFunction, IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(sp->Parameters.DeviceIoControl.IoControlCode, kCode);
        EXPECT_EQ(sp->Parameters.DeviceIoControl.InputBufferLength, 4u);
        EXPECT_EQ(sp->Parameters.DeviceIoControl.OutputBufferLength, 8u);
        auto system = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
        EXPECT_EQ(memcmp(system, "abcd", 4), 0);
        memcpy(system, "WXYZ12", 6);
        return Queue(nullptr, irp);
    };
    sim::DriverScope scope(L().driver[kTop]);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb = {};
    char out[9] = "........";
    PIRP irp = IoBuildDeviceIoControlRequest(kCode, L().device[kBottom], (PVOID) "abcd", 4, out, 8,
                                             FALSE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    EXPECT_EQ(IoCallDriver(L().device[kBottom], irp), STATUS_PENDING);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_STREQ(out, "........") << "nothing is copied back before completion";
    fake::Driver::Complete(g_queued, STATUS_SUCCESS, 6, true);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 6u);
    EXPECT_STREQ(out, "WXYZ12..") << "exactly Information bytes come back";
    EXPECT_EQ(sim::OutstandingIrps(), 0u);

    KeClearEvent(&event);
    irp = IoBuildDeviceIoControlRequest(kSubmit, L().device[kBottom], &urb, 0, nullptr, 0, TRUE,
                                        &event, &iosb);
    EXPECT_EQ(IoCallDriver(L().device[kBottom], irp), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(iosb.Status, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(sim::OutstandingIrps(), 0u);
}

TEST_F(IoCompletion, AllocationFailuresAreInjectable) {
    Build(1);
    sim::AddFaultPlan({.kind = sim::AllocKind::Irp});
    sim::AddFaultPlan({.kind = sim::AllocKind::BuiltRequest});
    sim::DriverScope scope(L().driver[kBottom]);
    EXPECT_EQ(IoAllocateIrp(1, FALSE), nullptr);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    EXPECT_EQ(IoBuildDeviceIoControlRequest(0x220003, L().device[kBottom], nullptr, 0, nullptr, 0,
                                            TRUE, &event, &iosb),
              nullptr);
    EXPECT_EQ(sim::OutstandingIrps(), 0u);
    sim::ClearFaultPlans();
}
