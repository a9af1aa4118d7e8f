// The diagnostics port's return from a system sleep taken while it was open:
// its bulk-in reception is started again as open starts it, the phone having
// lost the transfer in flight when it was powered down.
#include "diag.h"

// PASSIVE_LEVEL, no lock held; called by the S0 system IRP before it goes
// down, while ResumeAfterSleep is still set.
//
// A sleep that was noted is not always a sleep that happened: a refused
// query is called off with an S0 request, and a power-down the bus never
// carried out leaves the phone's transfer where it was. Sending ReadUrb again
// while it is still pending would hand the bus a URB it already holds. So the
// bulk-in pipe is aborted first, with the flag still set so that the failure
// is taken as the sleep's and not retried; the abort completes only after
// the transfer it ends has come back. The third pipe is reset as at open,
// though nothing is ever sent on it.
VOID RestartPortAfterSleep(PDEVICE_EXTENSION Port) {
    AbortPipe(Port->DeviceObject, Port->BulkInPipe);

    // Every sleep fails the transfer the phone held when it was powered down,
    // and each such failure is counted; left in the count they would add up
    // over a few sleeps to the limit, and the next ordinary glitch would be
    // judged fatal. The pipes start afresh here as at open, and so does the
    // count.
    InterlockedExchange(&Port->TransferErrorCount, 0);
    ResumePortAfterSleep(Port);
}

// At the wake a restart queued before the sleep, or the transfer it issued,
// may still own ReadUrb; reception then goes on from there, and issuing the
// URB again here would hand the bus one it already holds.
NTSTATUS StartReception(PDEVICE_EXTENSION Port) {
    if (ClaimReception(Port)) {
        IssueOwnedRead(Port);
    }
    return STATUS_SUCCESS;
}
