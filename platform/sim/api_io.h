// The simulated I/O manager as tests, the Win32 layer and the Plug and Play
// manager use it: driver objects, file handles and the IRPs a user-mode
// request turns into.
#pragma once

#include "platform/kernel.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

// ---------------------------------------------------------------- drivers
// Creates a driver object named `name` ("vxqt70modem"), with every major
// function set to the I/O manager's default (fails with
// STATUS_INVALID_DEVICE_REQUEST), and calls `entry` with the registry path
// "\Registry\Machine\System\CurrentControlSet\Services\<name>" at
// PASSIVE_LEVEL inside the driver's attribution scope. On failure the driver
// object is deleted and NULL returned (status in *status).
PDRIVER_OBJECT CreateDriver(const std::string& name, PDRIVER_INITIALIZE entry,
                            NTSTATUS* status = nullptr);
// Calls DriverUnload (if set), then the verifier's unload checks for the
// driver (devices left, pool, IRPs, timers, DPCs, work items), then deletes
// the driver object.
void UnloadDriver(PDRIVER_OBJECT driver);
// What IoIsWdmVersionAvailable answers (default 1.10, Windows 2000 / XP).
void SetWdmVersion(UCHAR major, UCHAR minor);

// ---------------------------------------------------------------- attribution
// The driver whose code is running on this thread: pushed by the simulation
// each time it calls into a driver (DriverEntry, AddDevice, dispatch,
// completion, cancel, DPC, timer, work item, unload), popped on return. NULL
// while the simulation or a test runs its own code. A test that calls a
// kernel routine as a driver would (to trip a rule, or to own what it makes)
// opens a DriverScope for that driver around the call.
PDRIVER_OBJECT CurrentDriver();
std::string DriverName(PDRIVER_OBJECT driver); // "vxqt70modem", or "(kernel)" for NULL

class DriverScope {
public:
    explicit DriverScope(PDRIVER_OBJECT driver);
    ~DriverScope();
    DriverScope(const DriverScope&) = delete;
    DriverScope& operator=(const DriverScope&) = delete;

private:
    PDRIVER_OBJECT previous_;
};

// ---------------------------------------------------------------- request trace
// A watcher at the top of every stack a handle is open on, where a port
// monitor's filter sits: it sees each user-mode request once when the I/O
// manager sends it down (before any driver) and once when its completion
// reaches the I/O manager (before buffered output is copied back). Only
// requests made through file handles are seen; PnP, power and the drivers'
// own IRPs are not, as with a monitor attached above the port.
//
// The Completed call comes at the completer's IRQL (DISPATCH_LEVEL from a DPC
// or the bus), possibly with a driver's spin lock held: the watcher must not
// block, wait or call into the simulated machine. Buffers are valid only
// during the call.
struct IoTraceEvent {
    enum class Phase { Sent, Completed };
    Phase phase = Phase::Sent;
    uint64_t sequence = 0;            // from 0 per kernel, in the order requests were sent
    LONGLONG sentTime = 0;            // interrupt time (100 ns) when sent
    LONGLONG completedTime = 0;       // (Completed) interrupt time of completion
    PDEVICE_OBJECT device = nullptr;  // the device the handle was opened on
    const char16_t* deviceName = u""; // its kernel name ("\Device\X"), "" when unnamed
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG ioControlCode = 0;     // DEVICE_CONTROL / INTERNAL_DEVICE_CONTROL
    ULONG length = 0;            // READ / WRITE length asked
    const void* input = nullptr; // (Sent) WRITE data or the control code's input
    ULONG inputLength = 0;
    const void* output = nullptr; // (Completed) READ data or control output, `information` bytes
    ULONG outputLength = 0;       // the caller's output buffer length
    NTSTATUS status = STATUS_PENDING; // (Completed) final status
    ULONG_PTR information = 0;        // (Completed) final Information
};
using IoTraceHook = std::function<void(const IoTraceEvent&)>;
// Installs the watcher (an empty function removes it). Set it while no
// request is in flight, before opening handles or after closing them.
void SetIoTraceHook(IoTraceHook hook);

// What the I/O manager keeps of a request for the watcher between its send
// and its completion.
struct IoTraced {
    bool active = false; // a watcher was installed when the request was sent
    IoTraceEvent event;
    std::u16string deviceName;
};

// ---------------------------------------------------------------- user-mode requests
// A file object opened on a device stack through the I/O manager: create,
// then any number of requests, then cleanup and close, exactly the sequence
// of IRPs Windows sends for a handle.
struct FileHandle;
struct PendingRequest;

struct UserRequest {
    UCHAR major = IRP_MJ_READ; // READ, WRITE, DEVICE_CONTROL, FLUSH_BUFFERS, ...
    UCHAR minor = 0;
    ULONG ioControlCode = 0;     // DEVICE_CONTROL / INTERNAL_DEVICE_CONTROL
    const void* input = nullptr; // WRITE data, or the control code's input
    ULONG inputLength = 0;
    void* output = nullptr; // READ buffer, or the control code's output
    ULONG outputLength = 0;
    ULONG infoClass = 0; // QUERY_INFORMATION / SET_INFORMATION: FileInformationClass
    // Becomes the request's onComplete before the IRP is sent: set afterwards
    // it would race with a completion on another thread, which could then
    // find no hook and be missed.
    std::function<void(PendingRequest&)> onComplete;
};

// The state of one request the I/O manager has sent. `done` becomes true when
// the IRP completes (its final status and information are then valid, and the
// output has been copied back for buffered I/O). Thread-safe to poll.
struct PendingRequest {
    PIRP irp = nullptr; // valid only while !done; read and written atomically
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    NTSTATUS returned = STATUS_PENDING;              // what the dispatch routine returned
    std::function<void(PendingRequest&)> onComplete; // called at completion, any IRQL
    // The I/O manager's own: what it copies back, and what the request
    // watcher saw go down.
    bool released = false;
    ULONG outputLength = 0;
    IoTraced traced;
};

// IRP_MJ_CREATE to the top of `device`'s stack. Refused with
// STATUS_ACCESS_DENIED on an exclusive device that already has an open handle,
// and with STATUS_DELETE_PENDING on a device being deleted. On success
// *handle is set.
NTSTATUS OpenFile(PDEVICE_OBJECT device, FileHandle** handle);
// Sends one request on the handle. Buffered I/O as on Windows: the system
// buffer is allocated by the I/O manager, input copied in, `Information`
// bytes copied back to `output` at completion. Returns the request's record,
// owned by the handle (valid until CloseFile).
PendingRequest* SendRequest(FileHandle* handle, UserRequest request);
// The caller will not look at the record again: the handle may free it once
// the request has completed (records otherwise live until CloseFile).
void ReleaseRequest(PendingRequest* request);
// Blocks until the request completes (the machine runs meanwhile).
NTSTATUS WaitRequest(PendingRequest* request);
// IoCancelIrp on every request of this handle not yet completed, those still
// inside their dispatch routine too; with `issuer`, only the requests that
// thread sent (CancelIo). Returns how many were cancelled.
size_t CancelRequests(FileHandle* handle, PETHREAD issuer = nullptr);
// IRP_MJ_CLEANUP then, once every request of the handle is done,
// IRP_MJ_CLOSE; frees the handle.
NTSTATUS CloseFile(FileHandle* handle);

// ---------------------------------------------------------------- inspection
// Request records the I/O manager holds for open handles: those not released
// yet, and released ones not pruned yet (a handle keeps a bounded number).
size_t IoRequestRecords();
// IRPs allocated and not yet freed (by anyone), and those a given driver owns.
size_t OutstandingIrps();
// The top of the stack `device` belongs to.
PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device);

} // namespace sim
