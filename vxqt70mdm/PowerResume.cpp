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
//
// A completion that saw the port awake before the sleep was noted may still
// be issuing its next transfer, which the aborts must come after. And the
// end of an abort does not mean the ended transfers' completions have
// returned: one may still be about to report its failure, which once the
// flag is cleared would mark the port lost. So the flag is cleared only once
// every transfer issued before the wake has come back.
//
// A write piece is the third kind of transfer that wait counts. Pieces have
// issuers counted as the receive ones are, and none is sent once the sleep
// is noted, but one sent before may still be on the bus: if it went down
// after the phone was powered off it waits there for D0, which comes only
// after this wake. So the bulk-out pipe is aborted too, ending such a piece
// as the power-down ended the one before it (the request reports the bytes
// the phone got).
VOID RestartPortAfterSleep(PDEVICE_EXTENSION Port) {
    WaitForReceiveQuiet(Port);
    AbortPipe(Port->DeviceObject, Port->InterruptPipe);
    AbortPipe(Port->DeviceObject, Port->BulkInPipe);
    AbortPipe(Port->DeviceObject, Port->BulkOutPipe);
    WaitForTransfersBack(Port);
    ResumePortAfterSleep(Port);
    // Requests written while the phone slept waited in the queue (the writer
    // parks for a noted sleep); they go now, and wait at the bus for D0.
    ResumeWriter(Port);
}

// Open starts the status transfer first, then the bulk-in one.
NTSTATUS StartReception(PDEVICE_EXTENSION Port) {
    NTSTATUS status = StatusPipe(Port);
    NTSTATUS readStatus = ReadBulkPipe(Port);

    return NT_SUCCESS(status) ? readStatus : status;
}
