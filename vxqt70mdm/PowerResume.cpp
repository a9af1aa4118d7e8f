// The modem port's return from a system sleep taken while it was open: its
// receive pipes are started again as open starts them, the phone having lost
// their transfers when it was powered down.
#include "mdm.h"

// PASSIVE_LEVEL, no lock held; called by the S0 system IRP before it goes
// down, while ResumeAfterSleep is still set.
//
// A sleep that was noted is not always a sleep that happened: a refused
// query is called off with an S0 request, and a power-down the bus never
// carried out leaves the phone's transfers where they were. Sending the
// status and bulk-in URBs again while they are still pending would hand the
// bus a URB it already holds. So the receive pipes are aborted first, with
// the flag still set so that their failures pass as the sleep's; the aborts
// complete only after the transfers they end have come back, after which
// neither URB is in use and the chains can start afresh.
VOID RestartPortAfterSleep(PDEVICE_EXTENSION Port) {
    PDEVICE_OBJECT device = Port->DeviceObject;
    BOOLEAN open;
    KIRQL oldIrql;

    AbortPipe(device, Port->InterruptPipe);
    AbortPipe(device, Port->BulkInPipe);

    KeAcquireSpinLock(&Port->PortLock, &oldIrql);
    Port->ResumeAfterSleep = FALSE;
    open = Port->PortOpen;
    KeReleaseSpinLock(&Port->PortLock, oldIrql);

    // The results do not matter: a pipe that stays halted fails its first
    // transfer, which then reports the device lost as any failure would.
    ResetPipe(device, Port->BulkInPipe);
    ResetPipe(device, Port->BulkOutPipe);
    ResetPipe(device, Port->InterruptPipe);

    // A close that came in meanwhile has stopped reception for good.
    if (open) {
        StatusPipe(Port);
        ReadBulkPipe(Port);
    }
}
