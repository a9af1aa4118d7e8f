// The USB helpers against the simulated bus: asynchronous and synchronous
// URBs, pipe abort and reset, the clean-up at close and the pending-transfer
// counter with its drain.
#include "spine/port_fixture.h"

namespace spine {
namespace {

using TransferHelpers = Port;
using PendingTransfers = Port;

struct Completion {
    bool ran = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG length = 0;
    KIRQL irql = PASSIVE_LEVEL;
};
Completion g_completion;

NTSTATUS NTAPI TestTransferDone(PDEVICE_OBJECT, PIRP Irp, PVOID Context) {
    PDEVICE_EXTENSION port = (PDEVICE_EXTENSION)Context;
    g_completion.ran = true;
    g_completion.status = Irp->IoStatus.Status;
    g_completion.length = port->ReadUrb.UrbBulkOrInterruptTransfer.TransferBufferLength;
    g_completion.irql = KeGetCurrentIrql();
    IoFreeIrp(Irp);
#if VARIANT_MODEM
    DecPendingIRPCnt(port);
    ReleaseRemoveLock(port, NULL);
#else
    DecPendingReadWriteIRPCnt(port);
#endif
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// What a transfer path does before it submits: count the transfer.
void CountTransfer(PDEVICE_EXTENSION port) {
#if VARIANT_MODEM
    IncPendingIRPCnt(port);
    ASSERT_EQ(AcquireRemoveLock(port, NULL), STATUS_SUCCESS);
#else
    IncPendingReadWriteIRPCnt(port);
#endif
}

LONG PendingCount(PDEVICE_EXTENSION port) {
#if VARIANT_MODEM
    return port->PendingIrpCount;
#else
    return port->PendingReadWriteIrps;
#endif
}

// The counter as open arms it.
void ArmCounter(PDEVICE_EXTENSION port) {
#if VARIANT_MODEM
    port->PendingIrpCount = 1;
    KeInitializeEvent(&port->PendingIoIdle, NotificationEvent, FALSE);
#else
    port->PendingReadWriteIrps = 1;
    KeInitializeEvent(&port->PendingIoIdle, SynchronizationEvent, FALSE);
#endif
}

NTSTATUS SubmitRead(PDEVICE_EXTENSION port) {
    NTSTATUS status = STATUS_PENDING;
    AsDriver(port->DeviceObject->DriverObject, [&] {
        CountTransfer(port);
        RtlZeroMemory(&port->ReadUrb, sizeof(URB));
        UsbBuildInterruptOrBulkTransferRequest(
            &port->ReadUrb, (USHORT)sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER),
            port->BulkInPipe, port->ReadTransferBuffer, NULL, READ_TRANSFER_SIZE,
            USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, NULL);
        status = SubmitUrb(port->LowerDeviceObject, &port->ReadUrb, TestTransferDone, port);
    });
    return status;
}

TEST_F(TransferHelpers, StartTookThePipeHandlesFromTheParent) {
    EXPECT_EQ((ULONG)(ULONG_PTR)Ext()->BulkInPipe, Interface().PipeHandle(usb::Pipe::BulkIn));
    EXPECT_EQ((ULONG)(ULONG_PTR)Ext()->BulkOutPipe, Interface().PipeHandle(usb::Pipe::BulkOut));
    EXPECT_EQ((ULONG)(ULONG_PTR)Ext()->InterruptPipe,
              Interface().PipeHandle(usb::Pipe::InterruptIn));
    EXPECT_NE(Ext()->BulkInPipe, nullptr);
}

TEST_F(TransferHelpers, SubmittedUrbCompletesLaterAtDispatchLevel) {
    ArmCounter(Ext());
    g_completion = Completion();
    EXPECT_EQ(SubmitRead(Ext()), STATUS_PENDING);
    sim::RunUntilIdle();
    EXPECT_FALSE(g_completion.ran);
    EXPECT_EQ(PendingCount(Ext()), 2);

    Interface().Push("hello");
    sim::RunUntilIdle();
    ASSERT_TRUE(g_completion.ran);
    EXPECT_EQ(g_completion.status, STATUS_SUCCESS);
    EXPECT_EQ(g_completion.length, 5u);
    EXPECT_EQ(g_completion.irql, DISPATCH_LEVEL);
    EXPECT_EQ(0, memcmp(Ext()->ReadTransferBuffer, "hello", 5));
    EXPECT_EQ(PendingCount(Ext()), 1);
}

// No IRP: nothing is sent, the completion never runs, and what the caller
// counted for the transfer is given back, so that the drain at close and the
// removal's wait on the remove lock still end.
TEST_F(TransferHelpers, SubmitWithoutAnIrpGivesBackWhatTheTransferCounted) {
    ArmCounter(Ext());
    g_completion = Completion();
    sim::FaultPlan plan;
    plan.kind = sim::AllocKind::Irp;
    plan.driver = node_->driver;
    sim::AddFaultPlan(plan);
    EXPECT_EQ(SubmitRead(Ext()), STATUS_INSUFFICIENT_RESOURCES);
    sim::ClearFaultPlans();
    sim::RunUntilIdle();
    EXPECT_FALSE(g_completion.ran);
    EXPECT_EQ(PendingCount(Ext()), 1);
    EXPECT_EQ(Interface().Outstanding(usb::Pipe::BulkIn), 0u);
    EXPECT_EQ(sim::PnpRemoveDevice(node_), STATUS_SUCCESS);
}

TEST_F(TransferHelpers, ResetWaitsForThePendingRequestOrTakesAnImmediateAnswer) {
    NTSTATUS status = STATUS_PENDING;
    AsDriver(node_->driver, [&] { status = ResetPipe(Fdo(), Ext()->BulkInPipe); });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(Interface().Resets(usb::Pipe::BulkIn), 1u);

    Interface().CompleteAtOnce(usb::Pipe::BulkOut);
    AsDriver(node_->driver, [&] { status = ResetPipe(Fdo(), Ext()->BulkOutPipe); });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(Interface().Resets(usb::Pipe::BulkOut), 1u);
}

// The modem driver stops its status pipe before the bulk pipes; the
// diagnostics driver never touches its third pipe.
TEST_F(TransferHelpers, CleanupAbortsThePipesInOrder) {
    ArmCounter(Ext());
    phone_->ClearTimeline();
    AsDriver(node_->driver, [&] { CleanupAllPipes(Fdo()); });
    std::vector<std::string> aborts;
    for (const auto& text : phone_->TimelineText())
        if (text.rfind("abort", 0) == 0)
            aborts.push_back(text);
#if VARIANT_MODEM
    EXPECT_EQ(aborts,
              (std::vector<std::string>{"abort interrupt-in", "abort bulk-in", "abort bulk-out"}));
#else
    EXPECT_EQ(aborts, (std::vector<std::string>{"abort bulk-in", "abort bulk-out"}));
    EXPECT_EQ(PendingCount(Ext()), 1);
#endif
}

// ---------------------------------------------------------------- counter
#if VARIANT_DIAG

TEST_F(PendingTransfers, DrainWithNothingOutstandingReturnsAtOnce) {
    ArmCounter(Ext());
    AsDriver(node_->driver, [&] { VXNT_WaitForClearEndPoints(Fdo()); });
    EXPECT_EQ(Ext()->PendingReadWriteIrps, 1);
}

TEST_F(PendingTransfers, DrainReturnsOnlyAfterTheLastOutstandingEnds) {
    PDEVICE_EXTENSION port = Ext();
    ArmCounter(port);
    IncPendingReadWriteIRPCnt(port);
    IncPendingReadWriteIRPCnt(port);
    PDRIVER_OBJECT driver = node_->driver;
    PDEVICE_OBJECT fdo = Fdo();
    sim::Thread drain("drain", [=] { AsDriver(driver, [&] { VXNT_WaitForClearEndPoints(fdo); }); });
    sim::RunUntilIdle();
    EXPECT_FALSE(drain.Finished());
    DecPendingReadWriteIRPCnt(port);
    sim::RunUntilIdle();
    EXPECT_FALSE(drain.Finished());
    DecPendingReadWriteIRPCnt(port);
    drain.Join();
    EXPECT_EQ(port->PendingReadWriteIrps, 1);
}

// Without memory for its event the request is not sent at all.
TEST_F(TransferHelpers, SynchronousCallWithoutAnEventSendsNothing) {
    URB urb;
    RtlZeroMemory(&urb, sizeof urb);
    urb.UrbHeader.Length = (USHORT)sizeof(struct _URB_PIPE_REQUEST);
    urb.UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
    urb.UrbPipeRequest.PipeHandle = Ext()->BulkInPipe;
    PDEVICE_OBJECT lower = Ext()->LowerDeviceObject;
    NTSTATUS status = STATUS_PENDING;
    AsDriver(node_->driver, [&] {
        PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        next->Parameters.Others.Argument1 = &urb;
        sim::FaultPlan plan;
        plan.kind = sim::AllocKind::Pool;
        plan.driver = node_->driver;
        sim::AddFaultPlan(plan);
        status = CallDriverSync(lower, irp);
        sim::ClearFaultPlans();
        IoFreeIrp(irp);
    });
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(Interface().Resets(usb::Pipe::BulkIn), 0u);
}

#endif

} // namespace
} // namespace spine
