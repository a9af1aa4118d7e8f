// System work items for the harness images. Wine 8.0's ntoskrnl exports
// ExQueueWorkItem as an unimplemented stub: the first call aborts the
// process that hosts every kernel driver of the prefix, the phone bus and its
// control device included. Both port drivers queue their deferred work with
// it (the diagnostics read restart after every bulk-in completion, the modem
// device-control requests sent above PASSIVE_LEVEL), so the harness images
// bind the import to this routine instead; the shipped images keep the
// kernel's.
//
// Each item gets a system thread of its own whose start routine is the
// item's worker routine itself: the two have the same signature, and Wine
// ends a system thread whose start routine returns, so nothing of this image
// runs after the worker has finished - the same guarantee a kernel worker
// thread gives. Items may run in any order, as they may on Windows, where a
// queue has several worker threads.
#include "platform/kernel.h"

extern "C" VOID NTAPI VxHarnessQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType) {
    HANDLE thread;
    NTSTATUS status;

    UNREFERENCED_PARAMETER(QueueType);
    status = PsCreateSystemThread(&thread, THREAD_ALL_ACCESS, NULL, NULL, NULL,
                                  (PKSTART_ROUTINE)WorkItem->WorkerRoutine, WorkItem->Parameter);
    if (!NT_SUCCESS(status)) {
        // ExQueueWorkItem cannot fail; a lost item shows up in the harness's
        // checks, and this line says why.
        DbgPrint("vxharness: no worker thread for work item %p (status 0x%08x): item lost\n",
                 WorkItem, (unsigned)status);
        return;
    }
    ZwClose(thread);
}

extern "C" {
void* VxHarnessQueueWorkItemImport __asm__("__imp__ExQueueWorkItem@8") =
    (void*)&VxHarnessQueueWorkItem;
}
