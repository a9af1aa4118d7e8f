// The request watcher of SetIoTraceHook: io_file.cpp reports each user-mode
// request here as it goes down and as it completes, and the watcher gets the
// request's parameters and result, the way a port monitor's filter sees them.
#include "platform/sim/io_internal.h"

namespace sim {

namespace {

std::mutex g_hookLock;
std::shared_ptr<IoTraceHook> g_hook; // guarded by g_hookLock
// Whether a watcher is installed, read without the lock: requests sent while
// nobody watches (nearly all of them) pay nothing for the trace.
std::atomic<bool> g_watched{false};
std::atomic<uint64_t> g_sequence{0};

std::shared_ptr<IoTraceHook> CurrentHook() {
    std::lock_guard<std::mutex> guard(g_hookLock);
    return g_hook;
}

// Where the request's data is for buffered and for neither I/O.
const void* DataOf(PIRP irp) {
    return (irp->Flags & IRP_BUFFERED_IO) != 0 ? irp->AssociatedIrp.SystemBuffer
                                               : irp->UserBuffer;
}

} // namespace

void SetIoTraceHook(IoTraceHook hook) {
    std::lock_guard<std::mutex> guard(g_hookLock);
    g_hook = hook ? std::make_shared<IoTraceHook>(std::move(hook)) : nullptr;
    g_watched.store(g_hook != nullptr);
    // Each kernel numbers its requests from 0; a watcher is installed after
    // the kernel comes up, so this is where a new numbering starts.
    g_sequence.store(0);
}

void IoTraceSent(IoTraced& traced, PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION sp) {
    if (!g_watched.load(std::memory_order_acquire))
        return;
    const auto hook = CurrentHook();
    if (hook == nullptr)
        return;
    traced.active = true;
    traced.deviceName = device->DeviceObjectExtension != nullptr
                            ? device->DeviceObjectExtension->name
                            : std::u16string();
    IoTraceEvent& e = traced.event;
    e.phase = IoTraceEvent::Phase::Sent;
    e.sequence = g_sequence.fetch_add(1);
    e.sentTime = static_cast<LONGLONG>(KeQueryInterruptTime());
    e.device = device;
    e.deviceName = traced.deviceName.c_str();
    e.major = sp->MajorFunction;
    e.minor = sp->MinorFunction;
    switch (sp->MajorFunction) {
    case IRP_MJ_READ:
        e.length = sp->Parameters.Read.Length;
        e.outputLength = e.length;
        break;
    case IRP_MJ_WRITE:
        e.length = sp->Parameters.Write.Length;
        e.input = DataOf(irp);
        e.inputLength = e.length;
        break;
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL:
        e.ioControlCode = sp->Parameters.DeviceIoControl.IoControlCode;
        e.inputLength = sp->Parameters.DeviceIoControl.InputBufferLength;
        e.outputLength = sp->Parameters.DeviceIoControl.OutputBufferLength;
        e.input = METHOD_FROM_CTL_CODE(e.ioControlCode) == METHOD_BUFFERED
                      ? irp->AssociatedIrp.SystemBuffer
                      : sp->Parameters.DeviceIoControl.Type3InputBuffer;
        break;
    default:
        break;
    }
    (*hook)(e);
    // Only the watcher's call may look at the input.
    e.input = nullptr;
}

void IoTraceCompleted(IoTraced& traced, PIRP irp, ULONG outputLength) {
    if (!traced.active)
        return;
    const auto hook = CurrentHook();
    if (hook == nullptr)
        return;
    IoTraceEvent e = traced.event;
    e.phase = IoTraceEvent::Phase::Completed;
    e.completedTime = static_cast<LONGLONG>(KeQueryInterruptTime());
    e.status = irp->IoStatus.Status;
    e.information = irp->IoStatus.Information;
    if (NT_SUCCESS(e.status) || NT_WARNING(e.status)) {
        // Information beyond the caller's buffer is the verifier's to report.
        const ULONG_PTR shown = e.information < outputLength ? e.information : outputLength;
        if (shown != 0)
            e.output = DataOf(irp);
    }
    (*hook)(e);
}

} // namespace sim
