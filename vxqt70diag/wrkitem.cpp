// Read restarts. The bulk-in completion does not issue the next transfer
// itself: it queues a work item, and a system worker thread issues it at
// PASSIVE_LEVEL, after checking once more that the port is still open and
// the device still there. Between the two no bulk-in transfer is
// outstanding; what the phone sends meanwhile waits in the phone.
#include "diag.h"

// One read restart; the block is its own work item's parameter and is freed
// by the worker.
typedef struct _READ_RESTART {
    WORK_QUEUE_ITEM WorkItem;
    PDEVICE_EXTENSION Port;
} READ_RESTART, *PREAD_RESTART;

// Counted in PendingReadWriteIrps until the worker has run, so that close and
// removal wait for the restart as they wait for a transfer. Non-paged pool and
// the work queue only: callable at DISPATCH_LEVEL with PortLock held.
NTSTATUS NextRead(PDEVICE_EXTENSION Port) {
    PREAD_RESTART restart;

    restart =
        (PREAD_RESTART)ExAllocatePoolWithTag(NonPagedPool, sizeof(READ_RESTART), PORT_POOL_TAG);
    if (restart == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    IncPendingReadWriteIRPCnt(Port);
    RtlZeroMemory(restart, sizeof(READ_RESTART));
    ExInitializeWorkItem(&restart->WorkItem, WorkItemModemEvent, restart);
    restart->Port = Port;
    ExQueueWorkItem(&restart->WorkItem, DelayedWorkQueue);
    return STATUS_SUCCESS;
}

// On a system worker thread at PASSIVE_LEVEL. The block goes back to the pool
// before the count does: once the count is given back a close may finish and
// the device go, and nothing of the port may be touched after that.
VOID NTAPI WorkItemModemEvent(PVOID Parameter) {
    PREAD_RESTART restart = (PREAD_RESTART)Parameter;
    PDEVICE_EXTENSION port;

    port = restart->Port;
    IssueOwnedRead(port);
    ExFreePool(restart);
    DecPendingReadWriteIRPCnt(port);
}
