// File handles on a device stack and the IRPs Windows' I/O manager builds for
// them: create, read, write, device control, flush, query/set information,
// cleanup and close. Requests are dispatched at PASSIVE_LEVEL on the caller's
// thread with RequestorMode UserMode, like a system service would.
#include "platform/sim/io_internal.h"

#include <algorithm>
#include <memory>
#include <cstdio>
#include <cstdlib>

// A memory descriptor list as the I/O manager builds one for direct I/O: the
// caller's buffer, its pages probed and locked. Drivers see only PMDL; the
// layout is the DDK's, so that a driver reading ByteCount reads the length.
struct _MDL {
    struct _MDL* Next;
    CSHORT Size;
    CSHORT MdlFlags;
    struct _EPROCESS* Process;
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
};

namespace sim {

constexpr size_t kFirstPrune = 16;

struct RequestDelete {
    void operator()(PendingRequest* request) const {
        request->~PendingRequest();
        RecordFree(request, sizeof(PendingRequest));
    }
};
using RequestPtr = std::unique_ptr<PendingRequest, RequestDelete>;

struct FileHandle {
    FILE_OBJECT file{};
    PDEVICE_OBJECT device = nullptr;  // the device opened (the named one)
    std::vector<RequestPtr> requests; // guarded by IoLock()
    size_t pruneAt = kFirstPrune;
};

namespace {

constexpr CSHORT kIoTypeFile = 5;

std::vector<FileHandle*> g_handles; // guarded by IoLock()
size_t g_records = 0;               // request records held, on every handle; IoLock()

bool IsDone(const PendingRequest* request) {
    return __atomic_load_n(&request->done, __ATOMIC_ACQUIRE);
}

// Requests whose records the caller has released and that are finished are
// freed when the handle's list has grown to twice what was left last time, so
// a handle kept open for millions of requests stays small.
void PruneLocked(FileHandle* handle) {
    if (handle->requests.size() < handle->pruneAt)
        return;
    const size_t before = handle->requests.size();
    std::erase_if(handle->requests, [](const RequestPtr& r) {
        return __atomic_load_n(&r->released, __ATOMIC_ACQUIRE) && IsDone(r.get());
    });
    g_records -= before - handle->requests.size();
    handle->pruneAt = std::max<size_t>(kFirstPrune, 2 * handle->requests.size());
}

constexpr CSHORT kMdlMappedToSystemVa = 0x0001;
constexpr CSHORT kMdlPagesLocked = 0x0002;
constexpr ULONG_PTR kPageSize = 4096;

// The MDL of a direct control code's output buffer, mapped where the caller's
// buffer is (one address space here), freed when the request finishes.
PMDL LockedMdl(void* buffer, ULONG length) {
    auto* mdl = static_cast<PMDL>(RecordAllocate(sizeof(_MDL)));
    *mdl = _MDL{};
    const auto address = reinterpret_cast<ULONG_PTR>(buffer);
    mdl->Size = (CSHORT)sizeof(_MDL);
    mdl->MdlFlags = kMdlPagesLocked | kMdlMappedToSystemVa;
    mdl->StartVa = reinterpret_cast<PVOID>(address & ~(kPageSize - 1));
    mdl->ByteOffset = (ULONG)(address & (kPageSize - 1));
    mdl->ByteCount = length;
    mdl->MappedSystemVa = buffer;
    return mdl;
}

void FreeMdls(PIRP irp) {
    for (PMDL mdl = irp->MdlAddress; mdl != nullptr;) {
        PMDL next = mdl->Next;
        RecordFree(mdl, sizeof(_MDL));
        mdl = next;
    }
    irp->MdlAddress = nullptr;
}

// Direct and neither-method requests copy nothing back, so Information is
// only what the I/O manager reports to the caller; more than the caller's
// output buffer is a driver fault all the same, stopped as for buffered I/O
// (where a caller who gave no output buffer is told nothing is copied).
void CheckUnbufferedInformation(PIRP irp, ULONG outputLength) {
    if (outputLength == 0 || NT_ERROR(irp->IoStatus.Status) ||
        irp->IoStatus.Information <= outputLength)
        return;
    BugCheck(kDriverVerifierIomanagerViolation, kC9InformationOverrun, (ULONG_PTR)irp,
             irp->IoStatus.Information, outputLength,
             IrpText(irp) + " completed with Information " +
                 std::to_string(irp->IoStatus.Information) +
                 " larger than the caller's output buffer of " + std::to_string(outputLength) +
                 " bytes");
}

// Builds a user-mode IRP for `handle`'s stack; `prepare` fills the first
// stack location and the buffers. The request is finished at completion.
template <typename Prepare>
PendingRequest* Dispatch(FileHandle* handle, PDEVICE_OBJECT top, UCHAR major, UCHAR minor,
                         const Prepare& prepare, ULONG outputLength,
                         std::function<void(PendingRequest&)> onComplete = nullptr,
                         bool unbufferedOutput = false) {
    if (CurrentIrql() != PASSIVE_LEVEL)
        NotModelled("I/O manager: a user-mode request made above PASSIVE_LEVEL");
    RequestPtr owned(new (RecordAllocate(sizeof(PendingRequest))) PendingRequest());
    PendingRequest* request = owned.get();
    request->onComplete = std::move(onComplete);
    request->outputLength = outputLength;
    {
        std::lock_guard<SimMutex> lock(IoLock());
        PruneLocked(handle);
        handle->requests.push_back(std::move(owned));
        ++g_records;
    }
    auto finish = [request, unbufferedOutput](PIRP done) {
        IoTraceCompleted(request->traced, done, request->outputLength);
        if (unbufferedOutput)
            CheckUnbufferedInformation(done, request->outputLength);
        IoCompleteBufferedIo(done, request->outputLength);
        FreeMdls(done);
        request->status = done->IoStatus.Status;
        request->information = done->IoStatus.Information;
        __atomic_store_n(&request->irp, nullptr, __ATOMIC_RELEASE);
        if (request->onComplete)
            request->onComplete(*request);
        // The last touch: once done, a released record may be freed.
        __atomic_store_n(&request->done, true, __ATOMIC_RELEASE);
    };
    PIRP irp = IoAllocateManagedIrp(top->StackSize, IrpKind::User, std::move(finish));
    irp->RequestorMode = UserMode;
    irp->Tail.Overlay.OriginalFileObject = &handle->file;
    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = major;
    sp->MinorFunction = minor;
    sp->FileObject = &handle->file;
    prepare(irp, sp);
    // Atomic: CancelIo on another thread reads it while the request runs.
    __atomic_store_n(&request->irp, irp, __ATOMIC_RELEASE);
    IoTraceSent(request->traced, handle->device, irp, sp);
    NTSTATUS returned = IofCallDriver(top, irp);
    request->returned = returned;
    return request;
}

void* SystemBuffer(PIRP irp, ULONG length, const void* input, ULONG inputLength, bool output,
                   bool zeroRest = true) {
    if (length == 0)
        return nullptr;
    void* buffer = IoAllocateSystemBuffer(length, input, inputLength, zeroRest);
    irp->AssociatedIrp.SystemBuffer = buffer;
    irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (output ? IRP_INPUT_OPERATION : 0);
    return buffer;
}

NTSTATUS SendAndWait(FileHandle* handle, UCHAR major) {
    PendingRequest* request = Dispatch(
        handle, TopOfStack(handle->device), major, 0, [](PIRP, PIO_STACK_LOCATION) {}, 0);
    return WaitRequest(request);
}

} // namespace

NTSTATUS OpenFile(PDEVICE_OBJECT device, FileHandle** handle) {
    *handle = nullptr;
    auto file = std::make_unique<FileHandle>();
    file->file.Type = kIoTypeFile;
    file->file.Size = (CSHORT)sizeof(FILE_OBJECT);
    file->file.DeviceObject = device;
    file->device = device;
    {
        std::lock_guard<SimMutex> lock(IoLock());
        if (!IoIsLiveDeviceLocked(device) || device->DeviceObjectExtension->deleted)
            return STATUS_DELETE_PENDING;
        if ((device->Flags & DO_DEVICE_INITIALIZING) != 0)
            return STATUS_NO_SUCH_DEVICE;
        if ((device->Flags & DO_EXCLUSIVE) != 0 && device->ReferenceCount != 0)
            return STATUS_ACCESS_DENIED;
        // The reference is taken before the create goes down, so a second
        // open of an exclusive device racing with this one is refused too.
        // The file object counts as open from here, as Windows' reference
        // on the device does: a surprise-removed stack gets its removal
        // only once the create in flight has ended (and, if it succeeded,
        // its handle has been closed).
        device->ReferenceCount++;
        g_handles.push_back(file.get());
    }
    PendingRequest* create = Dispatch(
        file.get(), TopOfStack(device), IRP_MJ_CREATE, 0,
        [](PIRP, PIO_STACK_LOCATION sp) {
            sp->Parameters.Create.Options = 1u << 24; // FILE_OPEN
            sp->Parameters.Create.ShareAccess = 0;
        },
        0);
    NTSTATUS status = WaitRequest(create);
    if (!NT_SUCCESS(status)) {
        // A failed create gets neither cleanup nor close.
        {
            std::lock_guard<SimMutex> lock(IoLock());
            g_records -= file->requests.size();
            g_handles.erase(std::find(g_handles.begin(), g_handles.end(), file.get()));
        }
        file.reset();
        IoDeviceDereferenced(device);
        PnpFileObjectClosed(device);
        return status;
    }
    {
        std::lock_guard<SimMutex> lock(IoLock());
        g_records -= file->requests.size();
        file->requests.clear();
    }
    *handle = file.release();
    return status;
}

PendingRequest* SendRequest(FileHandle* handle, UserRequest request) {
    PDEVICE_OBJECT top = TopOfStack(handle->device);
    ULONG flags = top->Flags;
    switch (request.major) {
    case IRP_MJ_READ:
    case IRP_MJ_WRITE: {
        bool read = request.major == IRP_MJ_READ;
        if ((flags & DO_DIRECT_IO) != 0)
            NotModelled("I/O manager: direct I/O (DO_DIRECT_IO) reads and writes");
        ULONG length = read ? request.outputLength : request.inputLength;
        return Dispatch(
            handle, top, request.major, request.minor,
            [&](PIRP irp, PIO_STACK_LOCATION sp) {
                sp->Parameters.Read.Length = length;
                irp->UserBuffer = read ? request.output : const_cast<void*>(request.input);
                if ((flags & DO_BUFFERED_IO) != 0)
                    SystemBuffer(irp, length, read ? nullptr : request.input, length, read, !read);
            },
            read ? request.outputLength : 0, std::move(request.onComplete));
    }
    case IRP_MJ_DEVICE_CONTROL:
    case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
        // The four transfer methods as Windows' I/O manager prepares them:
        // buffered (one system buffer for both ways, copied back); in/out
        // direct (the input in a system buffer, the output buffer described
        // by a locked MDL); neither (the caller's own addresses). Whatever
        // the code, the driver decides what it accepts.
        const ULONG method = METHOD_FROM_CTL_CODE(request.ioControlCode);
        const bool direct = method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT;
        return Dispatch(
            handle, top, request.major, request.minor,
            [&](PIRP irp, PIO_STACK_LOCATION sp) {
                sp->Parameters.DeviceIoControl.OutputBufferLength = request.outputLength;
                sp->Parameters.DeviceIoControl.InputBufferLength = request.inputLength;
                sp->Parameters.DeviceIoControl.IoControlCode = request.ioControlCode;
                irp->UserBuffer = request.output;
                if (method == METHOD_BUFFERED) {
                    SystemBuffer(irp, std::max(request.inputLength, request.outputLength),
                                 request.input, request.inputLength,
                                 request.output != nullptr && request.outputLength != 0);
                } else if (direct) {
                    // Input only: freed at completion, nothing copied back.
                    SystemBuffer(irp, request.inputLength, request.input, request.inputLength,
                                 false);
                    if (request.output != nullptr && request.outputLength != 0)
                        irp->MdlAddress = LockedMdl(request.output, request.outputLength);
                } else {
                    sp->Parameters.DeviceIoControl.Type3InputBuffer =
                        const_cast<void*>(request.input);
                }
            },
            request.outputLength, std::move(request.onComplete), method != METHOD_BUFFERED);
    }
    case IRP_MJ_QUERY_INFORMATION:
    case IRP_MJ_SET_INFORMATION: {
        bool query = request.major == IRP_MJ_QUERY_INFORMATION;
        ULONG length = query ? request.outputLength : request.inputLength;
        return Dispatch(
            handle, top, request.major, request.minor,
            [&](PIRP irp, PIO_STACK_LOCATION sp) {
                sp->Parameters.QueryFile.Length = length;
                sp->Parameters.QueryFile.FileInformationClass = request.infoClass;
                irp->UserBuffer = query ? request.output : nullptr;
                SystemBuffer(irp, length, query ? nullptr : request.input, length, query);
            },
            query ? request.outputLength : 0, std::move(request.onComplete));
    }
    case IRP_MJ_CREATE:
    case IRP_MJ_CLEANUP:
    case IRP_MJ_CLOSE:
        NotModelled("I/O manager: " + std::string(MajorName(request.major)) +
                    " through SendRequest (OpenFile and CloseFile send it)");
    default:
        return Dispatch(
            handle, top, request.major, request.minor, [](PIRP, PIO_STACK_LOCATION) {}, 0,
            std::move(request.onComplete));
    }
}

void ReleaseRequest(PendingRequest* request) {
    __atomic_store_n(&request->released, true, __ATOMIC_RELEASE);
}

NTSTATUS WaitRequest(PendingRequest* request) {
    WaitUntil([request] { return IsDone(request); }, "a user-mode request to complete");
    return request->status;
}

size_t CancelRequests(FileHandle* handle, PETHREAD issuer) {
    std::vector<PIRP> pinned;
    {
        std::lock_guard<SimMutex> lock(IoLock());
        for (auto& request : handle->requests) {
            PIRP irp = __atomic_load_n(&request->irp, __ATOMIC_ACQUIRE);
            if (!IsDone(request.get()) && irp != nullptr)
                pinned.push_back(irp);
        }
    }
    size_t cancelled = 0;
    for (PIRP irp : pinned) {
        if (!IoPinIrp(irp))
            continue;
        if (issuer == nullptr || irp->Tail.Overlay.Thread == issuer) {
            IoCancelIrp(irp);
            ++cancelled;
        }
        IoUnpinIrp(irp);
    }
    return cancelled;
}

NTSTATUS CloseFile(FileHandle* handle) {
    NTSTATUS cleanup = SendAndWait(handle, IRP_MJ_CLEANUP);
    // Close follows only when nothing sent on the handle is still running.
    WaitUntil(
        [handle] {
            for (auto& request : handle->requests)
                if (!IsDone(request.get()))
                    return false;
            return true;
        },
        "CloseFile: the handle's requests to finish before IRP_MJ_CLOSE");
    NTSTATUS close = SendAndWait(handle, IRP_MJ_CLOSE);
    {
        std::lock_guard<SimMutex> lock(IoLock());
        g_handles.erase(std::find(g_handles.begin(), g_handles.end(), handle));
    }
    PDEVICE_OBJECT device = handle->device;
    {
        std::lock_guard<SimMutex> lock(IoLock());
        g_records -= handle->requests.size();
    }
    delete handle;
    IoDeviceDereferenced(device);
    // A surprise-removed stack waits for its last handle before the Plug and
    // Play manager sends the removal; the handle's reference is gone by now,
    // so the removal may delete the device and unload its driver. The manager
    // only compares `device` with the stacks it still has.
    PnpFileObjectClosed(device);
    return NT_SUCCESS(cleanup) ? close : cleanup;
}

size_t IoRequestRecords() {
    std::lock_guard<SimMutex> lock(IoLock());
    return g_records;
}

size_t IoOpenFileObjects(PDEVICE_OBJECT device) {
    std::lock_guard<SimMutex> lock(IoLock());
    size_t count = 0;
    for (FileHandle* handle : g_handles) {
        for (PDEVICE_OBJECT d = handle->device; d != nullptr;
             d = d->DeviceObjectExtension->attachedTo) {
            if (d == device) {
                ++count;
                break;
            }
        }
    }
    return count;
}

std::string IoDescribeOpenHandles() {
    std::lock_guard<SimMutex> lock(IoLock());
    std::string text;
    for (FileHandle* handle : g_handles) {
        char line[64];
        std::snprintf(line, sizeof line, "  file object %p on ", (void*)&handle->file);
        text += line + DeviceText(handle->device) + "\n";
    }
    return text;
}

void IoFileStart() {
    std::lock_guard<SimMutex> lock(IoLock());
    g_handles.clear();
}

void IoFileStop() {
    std::vector<FileHandle*> handles;
    {
        std::lock_guard<SimMutex> lock(IoLock());
        handles.swap(g_handles);
    }
    for (FileHandle* handle : handles)
        delete handle;
    g_records = 0;
}

} // namespace sim
