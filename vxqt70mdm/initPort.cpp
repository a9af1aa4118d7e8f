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

// Takes the open bias off the pending-transfer count and waits, without a
// time limit, for the transfers still in flight to come back. Whoever calls
// it must first have made sure they will come back: aborted pipes, or a bus
// that has lost the device. PASSIVE_LEVEL, no lock held.
VOID WaitForPipesCompletion(PDEVICE_EXTENSION Port) {
    if (InterlockedDecrement(&Port->PendingIrpCount) != 0) {
        KeWaitForSingleObject(&Port->PendingIoIdle, Executive, KernelMode, FALSE, NULL);
    }
}
