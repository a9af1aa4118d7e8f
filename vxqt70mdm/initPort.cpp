// What every open of the modem port starts from, and the drain that close
// ends with.
#include "mdm.h"

// The modem's personality at open: 460800 bit/s, 8 data bits, no parity, two
// stop bits, DTR and RTS under control, XON/XOFF as usual, and the phone
// counted as ready (DSR) until its first serial-state notification says
// otherwise. Time-outs, statistics, the other special characters and the
// handshake limits keep what the previous user left, as a serial port's
// settings outlive a handle.
//
// Caller holds OpenMutex and no spin lock; the port is not open, so nothing
// else touches these fields meanwhile.
VOID InitPort(PDEVICE_EXTENSION Port) {
    SetOpenDefaults(Port, 460800, 0x11, 0x13);
    Port->ModemStatus |= SERIAL_MSR_DSR;
    Port->IntervalDpcActive = FALSE;
    Port->TotalDpcActive = FALSE;
    Port->PortOpen = TRUE;

    // The bias keeps the count above 0 while the port is open, so the idle
    // event is only ever signalled by the drain at close.
    Port->PendingIrpCount = 1;
    KeInitializeEvent(&Port->PendingIoIdle, NotificationEvent, FALSE);
}

// A receive completion tests PortOpen and ResumeAfterSleep and counts itself
// under one hold of PortLock, so close and the noting of a sleep, which
// change them under the same lock, either see it counted or are seen by it.
RECEIVE_STEP BeginReceive(PDEVICE_EXTENSION Port) {
    RECEIVE_STEP step = ReceiveClosed;
    KIRQL oldIrql;

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    if (Port->PortOpen && Port->ResumeAfterSleep) {
        step = ReceiveHeld;
    } else if (Port->PortOpen) {
        step = ReceiveNext;
        CountReceiverLocked(Port);
    }
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    return step;
}

// The open bias is taken off and put back under CloseMutex, so no close
// drains meanwhile; a close already under way has cleared PortOpen.
VOID WaitForTransfersBack(PDEVICE_EXTENSION Port) {
    BOOLEAN open;
    KIRQL oldIrql;

    ExAcquireFastMutex(&Port->CloseMutex);
    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    open = Port->PortOpen;
    KeReleaseSpinLock(&Port->PortLock, oldIrql);
    if (open) {
        DecPendingIRPCnt(Port);
        KeWaitForSingleObject(&Port->PendingIoIdle, Executive, KernelMode, FALSE, NULL);
        IncPendingIRPCnt(Port);
    }
    ExReleaseFastMutex(&Port->CloseMutex);
}

// Takes the open bias off the pending-transfer count and waits, without a
// time limit, for the transfers still in flight to come back. Whoever calls
// it must first have made sure they will come back: aborted pipes, or a bus
// that has lost the device. PASSIVE_LEVEL, no lock held.
VOID WaitForPipesCompletion(PDEVICE_EXTENSION Port) {
    if (InterlockedDecrement(&Port->PendingIrpCount) != 0) {
        KeWaitForSingleObject(&Port->PendingIoIdle, Executive, KernelMode, FALSE, NULL);
    }
}
