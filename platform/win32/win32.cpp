// kernel32 over the simulated I/O manager: handles, file I/O in its
// synchronous and overlapped forms, events and waits on the virtual clock,
// and the last-error value with ntdll's status mapping.
//
// An overlapped request is followed by a small record (Io) that writes the
// final status and length into the caller's OVERLAPPED and signals its event
// when the IRP completes, as the I/O manager's completion APC does. A request
// that a driver fails at once, without pending it, leaves the OVERLAPPED and
// the event alone, as on Windows.
#include "platform/win32/win32.h"

#include "platform/sim/internal.h"
#include "platform/sim/ke_internal.h"
#include "platform/sim/ob_internal.h"
#include "platform/sim/api_io.h"
#include "platform/sim/io_internal.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace sim {
namespace {

struct Object {
    enum class Kind { Event, File };
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    const Kind kind;
};

// A kernel event as user mode sees it. Auto-reset events are consumed by the
// one wait they satisfy.
struct Event : Object {
    static constexpr Kind kKind = Kind::Event;
    Event() : Object(kKind) {}
    std::atomic<bool> signaled{false};
    bool manualReset = true;
};

// One overlapped request in flight.
struct Io {
    LPOVERLAPPED overlapped = nullptr;
    std::shared_ptr<Event> event; // the caller's, or NULL
    // The file object's. Not a reference: the handle's close waits for every
    // request of the handle to complete, so the file object outlives this.
    Event* fileEvent = nullptr;
    std::atomic<bool> applied{false};
    // The completion may run on another thread before the dispatch routine
    // has returned; whether it writes the status block depends on what the
    // dispatch returned, so the two meet here.
    SimMutex lock;
    bool pendingReturned = false; // the dispatch routine returned STATUS_PENDING
    bool completed = false;       // the completion ran; its outcome below
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

// An Io has one owner at a time (Submit, then the handle's Sent entry), so
// it is held uniquely, in a block from the record free lists.
struct IoDelete {
    void operator()(Io* io) const {
        io->~Io();
        RecordFree(io, sizeof(Io));
    }
};
using IoPtr = std::unique_ptr<Io, IoDelete>;

struct File : Object {
    static constexpr Kind kKind = Kind::File;
    File() : Object(kKind) {}
    FileHandle* handle = nullptr;
    bool overlapped = false;
    // Every request sent on the handle and not yet finished with, with the
    // OVERLAPPED it was started with (NULL for a synchronous one), for
    // CancelIoEx. An entry goes, and its record is released to the I/O
    // manager, once the request is done and Submit has stopped reading it
    // (`settled`).
    struct Sent {
        LPOVERLAPPED overlapped;
        PendingRequest* request;
        bool settled;
        IoPtr io; // kept until the request is done: its completion writes there
    };
    SimMutex sentLock;
    std::vector<Sent> sent;
    // The file object's own event: set when any request of the handle
    // completes; waited on when an OVERLAPPED has no event.
    std::shared_ptr<Event> done = std::make_shared<Event>();
};

// The process's handles. Win32 handles are small multiples of four; these
// are handed out in order from 0x104 and never again once closed, so a
// handle's value is its place in a list: a request (several lookups each)
// finds its objects without a search.
class HandleTable {
public:
    HANDLE Insert(std::shared_ptr<Object> object) {
        slots_.push_back(std::move(object));
        ++open_;
        return reinterpret_cast<HANDLE>(kFirst + 4 * (slots_.size() - 1));
    }
    // The handle's object, or NULL for a value that is not an open handle.
    const std::shared_ptr<Object>* Find(HANDLE h) const {
        const uintptr_t value = reinterpret_cast<uintptr_t>(h);
        if (value < kFirst || (value & 3) != 0)
            return nullptr;
        const size_t index = (value - kFirst) / 4;
        if (index >= slots_.size() || slots_[index] == nullptr)
            return nullptr;
        return &slots_[index];
    }
    std::shared_ptr<Object> Take(HANDLE h) {
        const std::shared_ptr<Object>* slot = Find(h);
        if (slot == nullptr)
            return nullptr;
        --open_;
        return std::move(*const_cast<std::shared_ptr<Object>*>(slot));
    }
    size_t size() const { return open_; }
    // The open handles, oldest first.
    std::vector<HANDLE> List() const {
        std::vector<HANDLE> open;
        for (size_t i = 0; i < slots_.size(); ++i)
            if (slots_[i] != nullptr)
                open.push_back(reinterpret_cast<HANDLE>(kFirst + 4 * i));
        return open;
    }
    void clear() {
        slots_.clear();
        open_ = 0;
    }

private:
    static constexpr uintptr_t kFirst = 0x104;
    std::vector<std::shared_ptr<Object>> slots_; // closed ones empty
    size_t open_ = 0;
};

SimMutex g_lock;
HandleTable g_handles; // guarded by g_lock
thread_local DWORD t_lastError = 0;

HANDLE Insert(std::shared_ptr<Object> object) {
    std::lock_guard<SimMutex> guard(g_lock);
    return g_handles.Insert(std::move(object));
}

// Caller holds g_lock.
template <typename T> std::shared_ptr<T> LookupLocked(HANDLE h) {
    const std::shared_ptr<Object>* object = g_handles.Find(h);
    if (object == nullptr || (*object)->kind != T::kKind)
        return nullptr;
    return std::static_pointer_cast<T>(*object);
}

template <typename T> std::shared_ptr<T> Lookup(HANDLE h) {
    std::lock_guard<SimMutex> guard(g_lock);
    return LookupLocked<T>(h);
}

// The waitable object behind a handle: an event, or a file's own event.
std::shared_ptr<Event> Waitable(HANDLE h) {
    if (auto event = Lookup<Event>(h))
        return event;
    if (auto file = Lookup<File>(h))
        return file->done;
    return nullptr;
}

// Waits name the event they wait on (sim::WaitUntil's key); a wait on
// several names this instead, and is told of every event set while it waits.
const char kAnyEvent = 0;
std::atomic<int> g_waitsOnSeveral{0};

void WakeWaitersOf(const Event* e, const Event* other = nullptr) {
    Notify(e);
    if (other != nullptr)
        Notify(other);
    // A read-modify-write, not a load: a wait on several that counts itself
    // after this either reads what this wrote, and with it the event set
    // above, or is counted here (see WaitForMultipleObjects).
    if (g_waitsOnSeveral.fetch_add(0, std::memory_order_acq_rel) != 0)
        Notify(&kAnyEvent);
}

void Signal(Event& e) {
    e.signaled.store(true, std::memory_order_release);
    WakeWaitersOf(&e);
}

// Writes the result into the OVERLAPPED and signals; once per request.
void Complete(Io& io, NTSTATUS status, ULONG_PTR information) {
    // Two processors may race here only on the concurrent machine; on the
    // deterministic one a plain test and set will do.
    if (g_simLocking) {
        if (io.applied.exchange(true))
            return;
    } else {
        if (io.applied.load(std::memory_order_relaxed))
            return;
        io.applied.store(true, std::memory_order_relaxed);
    }
    __atomic_store_n(&io.overlapped->InternalHigh, information, __ATOMIC_RELAXED);
    __atomic_store_n(&io.overlapped->Internal, static_cast<ULONG_PTR>(static_cast<ULONG>(status)),
                     __ATOMIC_RELEASE);
    io.fileEvent->signaled.store(true, std::memory_order_release);
    if (io.event)
        io.event->signaled.store(true, std::memory_order_release);
    WakeWaitersOf(io.fileEvent, io.event.get());
}

ULONGLONG Now100ns() {
    return KeQueryInterruptTime();
}

// Waits until `ready` (which may consume what it finds) holds, or until
// `milliseconds` of virtual time have passed. `ready` must be safe to call
// under a lock: it only touches atomics. `key`: the event `peek` reads, or
// kAnyEvent.
bool WaitFor(const std::function<bool()>& peek, const std::function<bool()>& take,
             DWORD milliseconds, const char* what, const void* key) {
    if (take())
        return true;
    if (milliseconds == 0)
        return false;
    const bool forever = milliseconds == INFINITE;
    const ULONGLONG deadline = Now100ns() + static_cast<ULONGLONG>(milliseconds) * 10000;
    for (;;) {
        LONGLONG left = 0;
        if (!forever) {
            const ULONGLONG now = Now100ns();
            if (now >= deadline)
                return false;
            left = static_cast<LONGLONG>(deadline - now);
        }
        const bool ready = WaitUntil(peek, what, left, key);
        // Someone else may have consumed an auto-reset event in between.
        if (ready && take())
            return true;
        if (!ready && !forever)
            return take();
    }
}

bool TakeEvent(Event& e) {
    if (e.manualReset)
        return e.signaled.load(std::memory_order_acquire);
    bool expected = true;
    return e.signaled.compare_exchange_strong(expected, false);
}

// A wait on one event. The lambdas hold the event by address (the caller
// keeps it alive): small enough for std::function to keep without an
// allocation per wait.
DWORD WaitOn(Event* e, DWORD milliseconds, const char* what) {
    const bool got = WaitFor([e] { return e->signaled.load(std::memory_order_acquire); },
                             [e] { return TakeEvent(*e); }, milliseconds, what, e);
    return got ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL Fail(DWORD error) {
    t_lastError = error;
    return FALSE;
}

BOOL FailStatus(NTSTATUS status) {
    return Fail(RtlNtStatusToDosError(status));
}

std::u16string Upper(std::u16string text) {
    for (auto& c : text) {
        if (c >= u'a' && c <= u'z')
            c = static_cast<char16_t>(c - 0x20);
    }
    return text;
}

bool StartsWithNoCase(const std::u16string& text, const std::u16string& prefix) {
    return text.size() >= prefix.size() && Upper(text.substr(0, prefix.size())) == Upper(prefix);
}

// The kernel path kernel32 hands to NtCreateFile for `name`, or "" for a path
// in a file system (which the simulated machine does not have).
std::u16string NtPathOf(const std::u16string& name) {
    if (StartsWithNoCase(name, u"\\\\.\\GLOBALROOT\\"))
        return name.substr(14);
    if (StartsWithNoCase(name, u"\\\\.\\") || StartsWithNoCase(name, u"\\\\?\\"))
        return u"\\??\\" + name.substr(4);
    // The DOS device names are found in any directory; only COM1-COM9 and
    // LPT1-LPT9 among the numbered ones (COM10 needs "\\.\COM10").
    std::u16string bare = Upper(name);
    if (!bare.empty() && bare.back() == u':')
        bare.pop_back();
    if (bare == u"AUX" || bare == u"PRN" || bare == u"NUL" || bare == u"CON")
        return u"\\??\\" + bare;
    if (bare.size() == 4 && (bare.rfind(u"COM", 0) == 0 || bare.rfind(u"LPT", 0) == 0) &&
        bare[3] >= u'1' && bare[3] <= u'9')
        return u"\\??\\" + bare;
    return {};
}

std::u16string FromWide(LPCWSTR text) {
    std::u16string out;
    for (; text != nullptr && *text != 0; ++text)
        out.push_back(static_cast<char16_t>(*text));
    return out;
}

// An overlapped call's record, with the caller's event (`event`, what
// overlapped->hEvent names) cleared as NtReadFile clears it before sending;
// false on an event handle that is not one.
bool StartIo(File& file, LPOVERLAPPED overlapped, std::shared_ptr<Event> event, IoPtr* io) {
    io->reset(new (RecordAllocate(sizeof(Io))) Io());
    (*io)->overlapped = overlapped;
    (*io)->fileEvent = file.done.get();
    if (overlapped->hEvent != nullptr) {
        (*io)->event = std::move(event);
        if ((*io)->event == nullptr)
            return false;
        (*io)->event->signaled.store(false, std::memory_order_release);
    }
    overlapped->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(STATUS_PENDING));
    overlapped->InternalHigh = 0;
    return true;
}

// The completion hook goes in with the request, before it can complete on
// another thread. It holds the Io by address, which keeps it small enough to
// live inside the request; Submit, then the handle's Sent entry, keep the Io
// alive.
void HookCompletion(UserRequest& request, Io* io) {
    request.onComplete = [io](PendingRequest& r) {
        std::lock_guard<SimMutex> guard(io->lock);
        io->completed = true;
        io->status = r.status;
        io->information = r.information;
        if (io->pendingReturned)
            Complete(*io, r.status, r.information);
    };
}

// The dispatch routine did not pend the request: it completed inside the
// call, though the completion may have run on another processor whose
// finishing touches are still being made. Returns the length moved.
ULONG_PTR SettleAtOnce(PendingRequest* pending, Io* io) {
    while (!__atomic_load_n(&pending->done, __ATOMIC_ACQUIRE))
        std::this_thread::yield();
    // The I/O manager writes the status block and sets the event unless the
    // driver failed the request outright.
    if (io != nullptr && !NT_ERROR(pending->returned))
        Complete(*io, pending->returned, pending->information);
    const ULONG_PTR information = pending->information;
    // Nothing can cancel it any more: never listed for CancelIoEx.
    ReleaseRequest(pending);
    return information;
}

// The dispatch routine pended the request: it is listed on the handle for
// CancelIoEx and, unless the caller goes on while it runs (an overlapped call
// on an overlapped handle), waited for. Returns the status kernel32 goes by
// (still STATUS_PENDING when the caller goes on) and sets *information.
NTSTATUS SettlePended(File& file, LPOVERLAPPED overlapped, PendingRequest* pending,
                      IoPtr io, ULONG_PTR* information) {
    Io* const pended = io.get();
    if (pended != nullptr) {
        std::lock_guard<SimMutex> guard(pended->lock);
        pended->pendingReturned = true;
        if (pended->completed)
            Complete(*pended, pended->status, pended->information);
    }
    {
        // From here the entry keeps the Io alive, until this call has settled
        // it and the request is done.
        std::lock_guard<SimMutex> guard(file.sentLock);
        file.sent.push_back({overlapped, pending, false, std::move(io)});
    }
    NTSTATUS status = STATUS_PENDING;
    if (!file.overlapped || overlapped == nullptr) {
        status = WaitRequest(pending);
        if (pended != nullptr)
            Complete(*pended, status, pending->information);
        *information = pending->information;
    }
    std::lock_guard<SimMutex> guard(file.sentLock);
    std::erase_if(file.sent, [pending](File::Sent& entry) {
        if (entry.request == pending)
            entry.settled = true;
        if (!entry.settled || !__atomic_load_n(&entry.request->done, __ATOMIC_ACQUIRE))
            return false;
        ReleaseRequest(entry.request);
        return true;
    });
    return status;
}

// What kernel32 returns for the request's outcome.
BOOL Outcome(NTSTATUS status, ULONG_PTR information, LPDWORD transferred) {
    if (status == STATUS_PENDING)
        return Fail(ERROR_IO_PENDING);
    if (NT_SUCCESS(status)) {
        if (transferred != nullptr)
            *transferred = static_cast<DWORD>(information);
        return TRUE;
    }
    // A warning (STATUS_BUFFER_OVERFLOW) still reports what was moved.
    if (!NT_ERROR(status) && transferred != nullptr)
        *transferred = static_cast<DWORD>(information);
    return FailStatus(status);
}

// A request in kernel32's way. `overlapped` NULL on a synchronous handle: wait
// and return; otherwise the overlapped path, which on a synchronous handle
// still waits (the I/O manager waits for synchronous file objects).
BOOL Submit(HANDLE h, UserRequest request, LPDWORD transferred, LPOVERLAPPED overlapped) {
    if (transferred != nullptr && overlapped == nullptr)
        *transferred = 0;
    // The file and the event in one look at the table: every request names both.
    std::shared_ptr<File> file;
    std::shared_ptr<Event> event;
    {
        std::lock_guard<SimMutex> guard(g_lock);
        file = LookupLocked<File>(h);
        if (overlapped != nullptr && overlapped->hEvent != nullptr)
            event = LookupLocked<Event>(overlapped->hEvent);
    }
    if (file == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    IoPtr io;
    if (overlapped != nullptr && !StartIo(*file, overlapped, std::move(event), &io))
        return Fail(ERROR_INVALID_HANDLE);
    file->done->signaled.store(false, std::memory_order_release);
    if (io != nullptr)
        HookCompletion(request, io.get());
    PendingRequest* pending = SendRequest(file->handle, std::move(request));
    NTSTATUS status = pending->returned;
    ULONG_PTR information = 0;
    if (status != STATUS_PENDING)
        information = SettleAtOnce(pending, io.get());
    else
        status = SettlePended(*file, overlapped, pending, std::move(io), &information);
    return Outcome(status, information, transferred);
}

} // namespace

size_t Win32OpenHandles() {
    std::lock_guard<SimMutex> guard(g_lock);
    return g_handles.size();
}

size_t Win32CloseAtExit() {
    std::vector<HANDLE> open;
    {
        std::lock_guard<SimMutex> guard(g_lock);
        open = g_handles.List();
    }
    // The exiting threads' I/O is cancelled first, then the handle table
    // goes: each file handle's CLEANUP and CLOSE reach the driver.
    for (HANDLE h : open)
        if (const auto file = Lookup<File>(h))
            CancelRequests(file->handle);
    for (HANDLE h : open)
        CloseHandle(h);
    return open.size();
}

void Win32Reset() {
    std::lock_guard<SimMutex> guard(g_lock);
    g_handles.clear();
}

} // namespace sim

using namespace sim;

// ---------------------------------------------------------------- last error

extern "C" DWORD WINAPI GetLastError(void) {
    return t_lastError;
}
extern "C" VOID WINAPI SetLastError(DWORD dwErrCode) {
    t_lastError = dwErrCode;
}

extern "C" ULONG NTAPI RtlNtStatusToDosError(NTSTATUS Status) {
    switch (Status) {
    case STATUS_SUCCESS:
        return ERROR_SUCCESS;
    case STATUS_PENDING:
        return ERROR_IO_PENDING;
    case STATUS_TIMEOUT:
        return WAIT_TIMEOUT;
    case STATUS_BUFFER_OVERFLOW:
        return ERROR_MORE_DATA;
    case STATUS_NO_MORE_ENTRIES:
        return ERROR_NO_MORE_ITEMS;
    case STATUS_DEVICE_BUSY:
        return ERROR_BUSY;
    case STATUS_UNSUCCESSFUL:
        return ERROR_GEN_FAILURE;
    case STATUS_NOT_IMPLEMENTED:
        return ERROR_INVALID_FUNCTION;
    case STATUS_INVALID_HANDLE:
        return ERROR_INVALID_HANDLE;
    case STATUS_INVALID_PARAMETER:
        return ERROR_INVALID_PARAMETER;
    case STATUS_NO_SUCH_DEVICE:
        return ERROR_FILE_NOT_FOUND;
    case STATUS_INVALID_DEVICE_REQUEST:
        return ERROR_INVALID_FUNCTION;
    case STATUS_NO_MEMORY:
        return ERROR_NOT_ENOUGH_MEMORY;
    case STATUS_ACCESS_DENIED:
        return ERROR_ACCESS_DENIED;
    case STATUS_BUFFER_TOO_SMALL:
        return ERROR_INSUFFICIENT_BUFFER;
    case STATUS_OBJECT_NAME_INVALID:
        return ERROR_INVALID_NAME;
    case STATUS_OBJECT_NAME_NOT_FOUND:
        return ERROR_FILE_NOT_FOUND;
    case STATUS_OBJECT_NAME_COLLISION:
        return ERROR_ALREADY_EXISTS;
    case STATUS_OBJECT_PATH_NOT_FOUND:
        return ERROR_PATH_NOT_FOUND;
    case STATUS_SHARING_VIOLATION:
        return ERROR_SHARING_VIOLATION;
    case STATUS_DELETE_PENDING:
        return ERROR_ACCESS_DENIED;
    case STATUS_INSUFFICIENT_RESOURCES:
        return ERROR_NO_SYSTEM_RESOURCES;
    case STATUS_DEVICE_DATA_ERROR:
        return ERROR_CRC;
    case STATUS_DEVICE_NOT_CONNECTED:
        return ERROR_DEVICE_NOT_CONNECTED;
    case STATUS_DEVICE_NOT_READY:
        return ERROR_NOT_READY;
    case STATUS_IO_TIMEOUT:
        return ERROR_SEM_TIMEOUT;
    case STATUS_NOT_SUPPORTED:
        return ERROR_NOT_SUPPORTED;
    case STATUS_CANCELLED:
        return ERROR_OPERATION_ABORTED;
    case STATUS_INVALID_DEVICE_STATE:
        return ERROR_BAD_COMMAND;
    case STATUS_IO_DEVICE_ERROR:
        return ERROR_IO_DEVICE;
    case STATUS_INVALID_BUFFER_SIZE:
        return ERROR_INVALID_USER_BUFFER;
    case STATUS_NOT_FOUND:
        return ERROR_NOT_FOUND;
    case STATUS_DEVICE_REMOVED:
        return ERROR_DEVICE_REMOVED;
    default:
        return ERROR_MR_MID_NOT_FOUND; // what ntdll answers for a status it has no entry for
    }
}

// ---------------------------------------------------------------- files

extern "C" HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                     DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                     HANDLE hTemplateFile) {
    // Access, sharing and disposition travel in the create request; the
    // simulated open carries none of them and serial drivers look at none.
    (void)dwDesiredAccess;
    (void)dwShareMode;
    (void)lpSecurityAttributes;
    (void)hTemplateFile;
    if (dwCreationDisposition < CREATE_NEW || dwCreationDisposition > TRUNCATE_EXISTING) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (lpFileName == nullptr) {
        Fail(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const auto path = NtPathOf(FromWide(lpFileName));
    std::u16string remainder;
    PDEVICE_OBJECT device = path.empty() ? nullptr : ObLookupDevice(path, &remainder);
    // On Windows the device would get the rest of the path as a file name to
    // parse; the simulated open carries no file name.
    if (device != nullptr && !remainder.empty())
        NotModelled("CreateFile: opening a path below a device (" + U8(path) + ") is not modelled");
    if (device == nullptr) {
        Fail(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    FileHandle* handle = nullptr;
    const NTSTATUS status = OpenFile(device, &handle);
    if (!NT_SUCCESS(status)) {
        FailStatus(status);
        return INVALID_HANDLE_VALUE;
    }
    auto file = std::make_shared<File>();
    file->handle = handle;
    file->overlapped = (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0;
    SetLastError(ERROR_SUCCESS);
    return Insert(file);
}

extern "C" HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                     DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                     HANDLE hTemplateFile) {
    if (lpFileName == nullptr) {
        Fail(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    const auto wide = U16(lpFileName);
    return CreateFileW(reinterpret_cast<LPCWSTR>(wide.c_str()), dwDesiredAccess, dwShareMode,
                       lpSecurityAttributes, dwCreationDisposition, dwFlagsAndAttributes,
                       hTemplateFile);
}

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    sim::UserRequest r;
    r.major = IRP_MJ_READ;
    r.output = lpBuffer;
    r.outputLength = nNumberOfBytesToRead;
    return Submit(hFile, std::move(r), lpNumberOfBytesRead, lpOverlapped);
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    sim::UserRequest r;
    r.major = IRP_MJ_WRITE;
    r.input = lpBuffer;
    r.inputLength = nNumberOfBytesToWrite;
    return Submit(hFile, std::move(r), lpNumberOfBytesWritten, lpOverlapped);
}

extern "C" BOOL WINAPI DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer,
                                       DWORD nInBufferSize, LPVOID lpOutBuffer,
                                       DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                                       LPOVERLAPPED lpOverlapped) {
    sim::UserRequest r;
    r.major = IRP_MJ_DEVICE_CONTROL;
    r.ioControlCode = dwIoControlCode;
    r.input = lpInBuffer;
    r.inputLength = nInBufferSize;
    r.output = lpOutBuffer;
    r.outputLength = nOutBufferSize;
    return Submit(hDevice, std::move(r), lpBytesReturned, lpOverlapped);
}

extern "C" BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
    sim::UserRequest r;
    r.major = IRP_MJ_FLUSH_BUFFERS;
    return Submit(hFile, std::move(r), nullptr, nullptr);
}

namespace {

// Cancels the requests started with `overlapped` that are still running on
// the handle (they are listed once their dispatch routine has pended them).
// Returns how many cancels were sent.
size_t CancelStartedWith(File& file, LPOVERLAPPED overlapped) {
    std::vector<PIRP> candidates;
    {
        std::lock_guard<SimMutex> guard(file.sentLock);
        std::lock_guard<SimMutex> io(IoLock());
        for (const File::Sent& entry : file.sent) {
            if (entry.overlapped != overlapped)
                continue;
            PIRP irp = __atomic_load_n(&entry.request->irp, __ATOMIC_ACQUIRE);
            if (!__atomic_load_n(&entry.request->done, __ATOMIC_ACQUIRE) && irp != nullptr)
                candidates.push_back(irp);
        }
    }
    // Pinned, an IRP completing meanwhile keeps its memory until we are done.
    size_t cancelled = 0;
    for (PIRP irp : candidates) {
        if (!IoPinIrp(irp))
            continue;
        IoCancelIrp(irp);
        ++cancelled;
        IoUnpinIrp(irp);
    }
    return cancelled;
}

} // namespace

// Win32's CancelIo reaches only the calling thread's requests; another
// thread's go on (a program that cancels from a second thread must use
// CancelIoEx). It succeeds when there was nothing to cancel. Like Windows,
// both find a request still inside its dispatch routine.
extern "C" BOOL WINAPI CancelIo(HANDLE hFile) {
    const auto file = Lookup<File>(hFile);
    if (file == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    CancelRequests(file->handle, IoCurrentThreadToken());
    return TRUE;
}

extern "C" BOOL WINAPI CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
    const auto file = Lookup<File>(hFile);
    if (file == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    const size_t cancelled = lpOverlapped == nullptr ? CancelRequests(file->handle)
                                                     : CancelStartedWith(*file, lpOverlapped);
    if (cancelled == 0)
        return Fail(ERROR_NOT_FOUND);
    return TRUE;
}

extern "C" BOOL WINAPI GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped,
                                           LPDWORD lpNumberOfBytesTransferred, BOOL bWait) {
    constexpr auto pendingValue = static_cast<ULONG_PTR>(static_cast<ULONG>(STATUS_PENDING));
    if (__atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE) == pendingValue) {
        if (!bWait)
            return Fail(ERROR_IO_INCOMPLETE);
        const auto event = Waitable(lpOverlapped->hEvent != nullptr ? lpOverlapped->hEvent : hFile);
        if (event == nullptr)
            return Fail(ERROR_INVALID_HANDLE);
        if (WaitOn(event.get(), INFINITE, "GetOverlappedResult") != WAIT_OBJECT_0)
            return FALSE;
        // The event may belong to several requests; wait for this one.
        // Complete writes the status block before it sets the event and
        // wakes its waiters, so this waits on the event's key.
        if (__atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE) == pendingValue)
            WaitUntil(
                [lpOverlapped] {
                    return __atomic_load_n(&lpOverlapped->Internal, __ATOMIC_ACQUIRE) !=
                           pendingValue;
                },
                "GetOverlappedResult", 0, event.get());
    }
    *lpNumberOfBytesTransferred =
        static_cast<DWORD>(__atomic_load_n(&lpOverlapped->InternalHigh, __ATOMIC_RELAXED));
    const auto status = static_cast<NTSTATUS>(lpOverlapped->Internal);
    if (NT_SUCCESS(status))
        return TRUE;
    return FailStatus(status);
}

extern "C" BOOL WINAPI CloseHandle(HANDLE hObject) {
    std::shared_ptr<Object> object;
    {
        std::lock_guard<SimMutex> guard(g_lock);
        object = g_handles.Take(hObject);
        if (object == nullptr)
            return Fail(ERROR_INVALID_HANDLE);
    }
    if (auto file = std::dynamic_pointer_cast<File>(object)) {
        // CLEANUP, then CLOSE once the handle's requests are all done. What
        // the driver answers does not reach the caller: closing a handle
        // always succeeds.
        (void)CloseFile(file->handle);
        file->handle = nullptr;
    }
    return TRUE;
}

// ---------------------------------------------------------------- events and waits

extern "C" HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                      BOOL bInitialState, LPCWSTR lpName) {
    (void)lpEventAttributes;
    if (lpName != nullptr && *lpName != 0) {
        NotModelled("CreateEvent: named events are not modelled");
    }
    auto event = std::make_shared<Event>();
    event->manualReset = bManualReset != FALSE;
    event->signaled.store(bInitialState != FALSE);
    SetLastError(ERROR_SUCCESS);
    return Insert(event);
}

extern "C" HANDLE WINAPI CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                      BOOL bInitialState, LPCSTR lpName) {
    if (lpName != nullptr && *lpName != 0) {
        NotModelled("CreateEvent: named events are not modelled");
    }
    return CreateEventW(lpEventAttributes, bManualReset, bInitialState, nullptr);
}

extern "C" BOOL WINAPI SetEvent(HANDLE hEvent) {
    const auto event = Lookup<Event>(hEvent);
    if (event == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    Signal(*event);
    return TRUE;
}

extern "C" BOOL WINAPI ResetEvent(HANDLE hEvent) {
    const auto event = Lookup<Event>(hEvent);
    if (event == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    event->signaled.store(false, std::memory_order_release);
    return TRUE;
}

extern "C" DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    const auto event = Waitable(hHandle);
    if (event == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    return WaitOn(event.get(), dwMilliseconds, "WaitForSingleObject");
}

extern "C" DWORD WINAPI WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll,
                                               DWORD dwMilliseconds) {
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<std::shared_ptr<Event>> events;
    for (DWORD i = 0; i < nCount; ++i) {
        auto event = Waitable(lpHandles[i]);
        if (event == nullptr) {
            SetLastError(ERROR_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        events.push_back(event);
    }
    DWORD which = WAIT_TIMEOUT;
    auto peek = [&events, bWaitAll] {
        bool all = true;
        bool any = false;
        for (const auto& e : events) {
            const bool s = e->signaled.load(std::memory_order_acquire);
            all = all && s;
            any = any || s;
        }
        return bWaitAll ? all : any;
    };
    auto take = [&events, &which, bWaitAll] {
        if (bWaitAll) {
            for (const auto& e : events) {
                if (!e->signaled.load(std::memory_order_acquire))
                    return false;
            }
            // Between the check and the consumption nothing else runs in the
            // deterministic machine; a concurrent waiter may race here, as it
            // may not on Windows (which consumes all atomically).
            for (const auto& e : events)
                (void)TakeEvent(*e);
            which = WAIT_OBJECT_0;
            return true;
        }
        for (size_t i = 0; i < events.size(); ++i) {
            if (TakeEvent(*events[i])) {
                which = static_cast<DWORD>(WAIT_OBJECT_0 + i);
                return true;
            }
        }
        return false;
    };
    g_waitsOnSeveral.fetch_add(1, std::memory_order_acq_rel);
    const bool got = WaitFor(peek, take, dwMilliseconds, "WaitForMultipleObjects", &kAnyEvent);
    g_waitsOnSeveral.fetch_sub(1, std::memory_order_relaxed);
    return got ? which : WAIT_TIMEOUT;
}

extern "C" VOID WINAPI Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == 0)
        return;
    if (dwMilliseconds == INFINITE) {
        NotModelled("Sleep(INFINITE) would never return");
    }
    // Keyed by its own frame: nothing but the clock concerns it.
    const int sleeper = 0;
    WaitUntil([] { return false; }, "Sleep", static_cast<LONGLONG>(dwMilliseconds) * 10000,
              &sleeper);
}

extern "C" DWORD WINAPI GetTickCount(void) {
    return static_cast<DWORD>(KeQueryInterruptTime() / 10000);
}
