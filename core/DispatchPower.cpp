// IRP_MJ_POWER. The port is the power policy owner of its device: for each
// system power request it asks the power manager for the matching device
// power request and sends both down the USB stack in the right order,
// keeping the system and device states it last saw in the record.
//
// Going to less power (or staying), the device goes first: the system IRP is
// held while the device IRP runs, and only goes down once the device has
// been put to sleep. Going to more power, the system IRP goes down first, so
// that the bus below is awake before the device is asked to wake; its
// completion is held while the device IRP runs.
//
// Each SET_POWER or QUERY_POWER IRP is run by a small state machine on a
// POWCONTEXT (one per type in the port record) that is the IRP's exactly as
// long as the IRP is ours: from DispatchPower to Finish. The events are the
// IRP's arrival, its return from below, and the end of the device IRP it
// asked for; a constant table says what each (state, event) pair does. The
// steps run wherever the event happens: in DispatchPower at PASSIVE_LEVEL, or
// in a completion at up to DISPATCH_LEVEL.
#include "port.h"

typedef enum _POWEVENT {
    PowerIrpArrived = 0,    // DispatchPower, once per new context
    PowerIrpCompleted = 1,  // MainCompletionRoutine: the lower driver has completed the IRP
    DeviceIrpCompleted = 2, // PoCompletionRoutine: the requested device IRP has finished
} POWEVENT;

// What HandlePowerEvent returns until a step says otherwise; every row sets
// it before the call ends.
#define POWER_RESULT_UNSET STATUS_UNSUCCESSFUL

IO_COMPLETION_ROUTINE MainCompletionRoutine;
static VOID NTAPI PoCompletionRoutine(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                      POWER_STATE PowerState, PVOID Context,
                                      PIO_STATUS_BLOCK IoStatus);
static NTSTATUS HandlePowerEvent(PPOWCONTEXT Context, POWEVENT Event);

// ---------------------------------------------------------------- passing IRPs down

// Every power IRP the machine sends down goes through here.
static NTSTATUS SafePoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return PoCallDriver(DeviceObject, Irp);
}

// Power IRPs the machine does not run (IRP_MN_WAIT_WAKE,
// IRP_MN_POWER_SEQUENCE, ...) go down untouched; the next one of the kind may
// come at once.
static NTSTATUS DefaultPowerHandler(PDEVICE_EXTENSION Port, PIRP Irp) {
    PoStartNextPowerIrp(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    return PoCallDriver(Port->LowerDeviceObject, Irp);
}

// ---------------------------------------------------------------- the named steps

static PIO_STACK_LOCATION StackOf(PPOWCONTEXT Context) {
    return IoGetCurrentIrpStackLocation(Context->Irp);
}

// The IRP goes down with MainCompletionRoutine watching it. Its completion
// may run, and free the context, before PoCallDriver returns, so nothing of
// the context is read afterwards.
static NTSTATUS Forward(PPOWCONTEXT Context, NTSTATUS Result) {
    PIRP irp = Context->Irp;
    PDEVICE_OBJECT lower = Context->DeviceExtension->LowerDeviceObject;

    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, MainCompletionRoutine, Context, TRUE, TRUE, TRUE);
    SafePoCallDriver(lower, irp);
    return Result;
}

// The device state for the system IRP's new state. Only the working state
// keeps the device powered. For a sleeping state the bus's DeviceState entry
// is at most a floor: raised to D3, an unknown, D0, D1 or D2 entry (or no
// capabilities at all) gives D3, so every sleep takes the phone to D3.
static VOID ChooseDeviceState(PPOWCONTEXT Context) {
    PIO_STACK_LOCATION stack = StackOf(Context);

    Context->TargetDeviceState = stack->Parameters.Power.State.SystemState == PowerSystemWorking
                                     ? PowerDeviceD0
                                     : PowerDeviceD3;
    Context->MinorFunction = stack->MinorFunction;
}

// Gives the IRP back to the power manager and frees the context. Inside the
// IRP's own completion (PowerIrpCompleted) the completion simply continues
// upward with the lower driver's status; otherwise the IRP is still held
// here and is completed with what the machine learned.
//
// The context is free again before PoStartNextPowerIrp: that call may hand
// the next IRP of the type to DispatchPower before it returns, and that IRP
// takes the same context. So everything is read from it first.
static NTSTATUS Finish(PPOWCONTEXT Context, POWEVENT Event, NTSTATUS Result) {
    PDEVICE_EXTENSION port = Context->DeviceExtension;
    PIRP irp = Context->Irp;
    BOOLEAN holdsRemoveLock = Context->HoldsRemoveLock;
    NTSTATUS status = Context->Status;

    Context->State = Finished;
    PoStartNextPowerIrp(irp);
    if (Event == PowerIrpCompleted) {
        Result = status;
    } else {
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    if (holdsRemoveLock) {
        ReleaseRemoveLock(port, irp);
    }
    return Result;
}

// A device IRP for TargetDeviceState, reported to PoCompletionRoutine. When
// the power manager cannot make one, no completion will come, so the machine
// finishes here with that failure; but a system SET_POWER on its way down
// may not be failed, so it goes down without the device's (the device stays
// as it was). On success the device IRP may already have finished, and
// let the context go, by the time the call returns.
static NTSTATUS RequestDeviceIrp(PPOWCONTEXT Context, POWEVENT Event, NTSTATUS Result) {
    POWER_STATE state;
    NTSTATUS status;

    state.DeviceState = Context->TargetDeviceState;
    status = PoRequestPowerIrp(Context->DeviceExtension->Pdo, Context->MinorFunction, state,
                               PoCompletionRoutine, Context, NULL);
    if (NT_SUCCESS(status)) {
        return Result;
    }
    if (Context->State == SystemDownDeviceRequested && Context->MinorFunction == IRP_MN_SET_POWER) {
        Context->State = SystemDownForwarded;
        return Forward(Context, Result);
    }
    Context->Status = status;
    return Finish(Context, Event, Result);
}

// ---------------------------------------------------------------- the rows

// NewContext, PowerIrpArrived: the IRP becomes the machine's until Finish,
// with a remove-lock hold of its own for that time (DispatchPower's hold
// ends when it returns).
static NTSTATUS StartPowerIrp(PPOWCONTEXT Context, POWEVENT Event) {
    PDEVICE_EXTENSION port = Context->DeviceExtension;
    PIO_STACK_LOCATION stack = StackOf(Context);
    NTSTATUS result = STATUS_PENDING;
    NTSTATUS status;

    IoMarkIrpPending(Context->Irp);
    // DispatchPower's own hold keeps the device from being deleted, but a
    // removal that has begun refuses new holds; the IRP then ends here with
    // that status, as DispatchPower would have ended it.
    status = AcquireRemoveLock(port, Context->Irp);
    if (!NT_SUCCESS(status)) {
        Context->Status = status;
        return Finish(Context, Event, result);
    }
    Context->HoldsRemoveLock = TRUE;

    if (stack->Parameters.Power.Type == SystemPowerState) {
        if (stack->Parameters.Power.State.SystemState < port->SystemPower) {
            Context->State = SystemUpForwarded;
            return Forward(Context, result);
        }
        Context->State = SystemDownDeviceRequested;
        ChooseDeviceState(Context);
        return RequestDeviceIrp(Context, Event, result);
    }

    if (stack->MinorFunction == IRP_MN_SET_POWER) {
        DEVICE_POWER_STATE device = stack->Parameters.Power.State.DeviceState;
        if (device < port->DevicePower) {
            Context->State = DeviceUpForwarded;
        } else {
            // Recorded before it goes down: from here on the device may
            // already be off.
            Context->State = DeviceDownForwarded;
            if (device > port->DevicePower) {
                port->DevicePower = device;
            }
        }
        return Forward(Context, result);
    }

    Context->State = DeviceQueryForwarded;
    return Forward(Context, result);
}

// SystemUpForwarded, PowerIrpCompleted: the stack below is awake; now the
// device. The system IRP is held (its completion stops here) until the
// device IRP has finished.
static NTSTATUS SystemUpCameBack(PPOWCONTEXT Context, POWEVENT Event) {
    PIO_STACK_LOCATION stack = StackOf(Context);

    if (!NT_SUCCESS(Context->Status)) {
        return Finish(Context, Event, POWER_RESULT_UNSET);
    }
    if (stack->MinorFunction == IRP_MN_SET_POWER) {
        Context->DeviceExtension->SystemPower = stack->Parameters.Power.State.SystemState;
    }
    Context->State = SystemUpDeviceRequested;
    ChooseDeviceState(Context);
    return RequestDeviceIrp(Context, Event, STATUS_MORE_PROCESSING_REQUIRED);
}

// SystemUpDeviceRequested, DeviceIrpCompleted: the held system IRP ends with
// the device IRP's status.
static NTSTATUS SystemUpDeviceDone(PPOWCONTEXT Context, POWEVENT Event) {
    return Finish(Context, Event, STATUS_SUCCESS);
}

// SystemDownDeviceRequested, DeviceIrpCompleted: the device is asleep (or
// agreed to sleep); the system IRP may go down. A device that refused ends
// the system IRP here with its refusal.
static NTSTATUS SystemDownDeviceDone(PPOWCONTEXT Context, POWEVENT Event) {
    if (!NT_SUCCESS(Context->Status)) {
        return Finish(Context, Event, STATUS_SUCCESS);
    }
    Context->State = SystemDownForwarded;
    return Forward(Context, STATUS_SUCCESS);
}

// SystemDownForwarded, PowerIrpCompleted: a system SET_POWER towards sleep
// cannot be refused, so the new state is recorded whatever came back.
static NTSTATUS SystemDownCameBack(PPOWCONTEXT Context, POWEVENT Event) {
    PIO_STACK_LOCATION stack = StackOf(Context);

    if (stack->MinorFunction == IRP_MN_SET_POWER) {
        Context->DeviceExtension->SystemPower = stack->Parameters.Power.State.SystemState;
    }
    return Finish(Context, Event, POWER_RESULT_UNSET);
}

// DeviceUpForwarded, PowerIrpCompleted: the device is powered only once the
// stack below says so.
static NTSTATUS DeviceUpCameBack(PPOWCONTEXT Context, POWEVENT Event) {
    PDEVICE_EXTENSION port = Context->DeviceExtension;

    if (NT_SUCCESS(Context->Status)) {
        Context->PriorDevicePower = port->DevicePower;
        port->DevicePower = StackOf(Context)->Parameters.Power.State.DeviceState;
    }
    return Finish(Context, Event, POWER_RESULT_UNSET);
}

// DeviceDownForwarded and DeviceQueryForwarded, PowerIrpCompleted.
static NTSTATUS DeviceIrpCameBack(PPOWCONTEXT Context, POWEVENT Event) {
    return Finish(Context, Event, POWER_RESULT_UNSET);
}

typedef NTSTATUS (*POWER_STEPS)(PPOWCONTEXT Context, POWEVENT Event);

typedef struct _POWER_TRANSITION {
    POWSTATE State;
    POWEVENT Event;
    POWER_STEPS Steps;
} POWER_TRANSITION;

static const POWER_TRANSITION PowerTransitions[] = {
    {NewContext, PowerIrpArrived, StartPowerIrp},
    {SystemUpForwarded, PowerIrpCompleted, SystemUpCameBack},
    {SystemUpDeviceRequested, DeviceIrpCompleted, SystemUpDeviceDone},
    {SystemDownDeviceRequested, DeviceIrpCompleted, SystemDownDeviceDone},
    {SystemDownForwarded, PowerIrpCompleted, SystemDownCameBack},
    {DeviceUpForwarded, PowerIrpCompleted, DeviceUpCameBack},
    {DeviceDownForwarded, PowerIrpCompleted, DeviceIrpCameBack},
    {DeviceQueryForwarded, PowerIrpCompleted, DeviceIrpCameBack},
};

// Runs the row for (State, Event). A pair the table does not have changes
// nothing.
static NTSTATUS HandlePowerEvent(PPOWCONTEXT Context, POWEVENT Event) {
    ULONG i;

    for (i = 0; i < sizeof(PowerTransitions) / sizeof(PowerTransitions[0]); i++) {
        if (PowerTransitions[i].State == Context->State && PowerTransitions[i].Event == Event) {
            return PowerTransitions[i].Steps(Context, Event);
        }
    }
    return STATUS_UNSUCCESSFUL;
}

// ---------------------------------------------------------------- the event sources

// Set on every IRP the machine forwards, for success, error and cancel. Its
// result is the row's: STATUS_MORE_PROCESSING_REQUIRED holds the IRP here,
// anything else lets the completion continue upward.
NTSTATUS NTAPI MainCompletionRoutine(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
    PPOWCONTEXT context = (PPOWCONTEXT)Context;

    UNREFERENCED_PARAMETER(DeviceObject);
    if (Irp->PendingReturned) {
        IoMarkIrpPending(Irp);
    }
    context->Status = Irp->IoStatus.Status;
    return HandlePowerEvent(context, PowerIrpCompleted);
}

// The device IRP a system IRP asked for has finished, at whatever IRQL its
// completer ran.
static VOID NTAPI PoCompletionRoutine(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                                      POWER_STATE PowerState, PVOID Context,
                                      PIO_STATUS_BLOCK IoStatus) {
    PPOWCONTEXT context = (PPOWCONTEXT)Context;

    UNREFERENCED_PARAMETER(DeviceObject);
    UNREFERENCED_PARAMETER(MinorFunction);
    UNREFERENCED_PARAMETER(PowerState);
    context->Status = IoStatus->Status;
    HandlePowerEvent(context, DeviceIrpCompleted);
}

// ---------------------------------------------------------------- sleep and wake of an open port

// A system IRP for the port: S1 to S4 with the port open are noted, so that
// the receive pipes failing while the phone is off leave no trace; the return
// to S0 then brings reception back. The port asks for D3 in every sleeping
// state, so even a standby powers the phone down and ends its transfers.
// Shutdown never comes back and leaves the flag alone. Runs at
// PASSIVE_LEVEL (the device object is DO_POWER_PAGABLE) outside the lock
// except for the flag itself.
static VOID NoteSystemPowerChange(PDEVICE_EXTENSION Port, SYSTEM_POWER_STATE System) {
    BOOLEAN resume = FALSE;
    KIRQL oldIrql;

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    if (Port->PortOpen) {
        if (System == PowerSystemWorking && Port->ResumeAfterSleep) {
            resume = TRUE;
        } else if (System >= PowerSystemSleeping1 && System <= PowerSystemHibernate) {
            Port->ResumeAfterSleep = TRUE;
        }
    }
    KeReleaseSpinLock(&Port->PortLock, oldIrql);

    // Before the S0 IRP goes down and before the device is back in D0: the
    // restarted transfers wait at the bus until the phone is powered.
    if (resume) {
        RestartPortAfterSleep(Port);
    }
}

VOID ResumePortAfterSleep(PDEVICE_EXTENSION Port) {
    PDEVICE_OBJECT device = Port->DeviceObject;
    BOOLEAN open;
    KIRQL oldIrql;

    VXQT70_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    // Reception starts afresh below: a stall noted before it is over, and no
    // read may retry it as well.
    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    Port->ResumeAfterSleep = FALSE;
    Port->ReceiveStalled = FALSE;
    open = Port->PortOpen;
    KeReleaseSpinLock(&Port->PortLock, oldIrql);

    ResetPipe(device, Port->BulkInPipe);
    ResetPipe(device, Port->BulkOutPipe);
    ResetPipe(device, Port->InterruptPipe);

    // A close that came in meanwhile has stopped reception for good. The
    // aborts above spent IRPs set aside for close's aborts: set them aside
    // again (should that fail, close's aborts ask for memory themselves).
    if (open) {
        ReserveAbortIrps(Port);
        StartReception(Port);
    }
}

// ---------------------------------------------------------------- IRP_MJ_POWER

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    PDEVICE_EXTENSION port = PortOf(DeviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    PPOWCONTEXT context;
    NTSTATUS status;

    status = AcquireRemoveLock(port, Irp);
    if (!NT_SUCCESS(status)) {
        PoStartNextPowerIrp(Irp);
        return CompleteRequest(Irp, status, 0);
    }

    if (stack->MinorFunction != IRP_MN_SET_POWER && stack->MinorFunction != IRP_MN_QUERY_POWER) {
        status = DefaultPowerHandler(port, Irp);
        ReleaseRemoveLock(port, Irp);
        return status;
    }

    if (stack->Parameters.Power.Type == SystemPowerState) {
        NoteSystemPowerChange(port, stack->Parameters.Power.State.SystemState);
    }

    context = &port->PowerContexts[stack->Parameters.Power.Type == SystemPowerState ? 0 : 1];
    VXQT70_ASSERT(context->State == NewContext || context->State == Finished);
    RtlZeroMemory(context, sizeof(POWCONTEXT));
    context->DeviceExtension = port;
    context->Irp = Irp;
    context->State = NewContext;
    status = HandlePowerEvent(context, PowerIrpArrived);

    ReleaseRemoveLock(port, Irp);
    return status;
}
