// Internals of the simulated I/O manager shared by its files (io_irp.cpp,
// io_device.cpp, io_remlock.cpp, io_file.cpp) and the few entry points other
// families of the simulation call. Never included by driver code.
#pragma once

#include "platform/sim/api_io.h"
#include "platform/sim/internal.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// The simulation's own record of a device object, hung on
// DEVICE_OBJECT::DeviceObjectExtension. Guarded by sim::IoLock().
struct _DEVOBJ_EXTENSION {
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT attachedTo = nullptr; // the device this one sits on (IoAttachDeviceToDeviceStack)
    bool deleted = false;                // IoDeleteDevice called; memory kept while handles remain
    bool exclusive = false;
    size_t extensionSize = 0;
    void* block = nullptr;               // the one allocation holding object and extension
    std::u16string name;                 // as created, for messages ("" when unnamed)
    const std::string* text = nullptr;   // DeviceText, made once for the IRP log
};

namespace sim {

// ---------------------------------------------------------------- shared state
// The I/O manager's one lock for its tables. Never held while a driver
// routine, a Ke routine that may block or switch threads, or BugCheck runs.
// Inline: a request takes it a dozen times or more.
inline SimMutex g_ioLock;
inline SimMutex& IoLock() { return g_ioLock; }

// What the simulation's messages call things.
const char* MajorName(UCHAR major);
std::string IrpText(PIRP irp);       // "IRP 0x... (IRP_MJ_READ)"
std::string DeviceText(PDEVICE_OBJECT device);  // "\Device\X (vxqt70modem)" or "device 0x..."
std::string RoutineText(const void* routine);

// ---------------------------------------------------------------- devices (io_device.cpp)
// True for a device object IoCreateDevice made and whose memory is still
// there (deleted-but-referenced devices included). Caller holds IoLock().
bool IoIsLiveDeviceLocked(PDEVICE_OBJECT device);
PDEVICE_OBJECT IoTopOfStackLocked(PDEVICE_OBJECT device);
// A file handle closed on a device: frees a deleted device's memory once its
// last handle is gone. Caller does not hold IoLock().
void IoDeviceDereferenced(PDEVICE_OBJECT device);
void IoDeviceStart();
void IoDeviceStop();

// ---------------------------------------------------------------- IRPs (io_irp.cpp)
// Who an IRP belongs to once its completion walk reaches the top.
enum class IrpKind {
    DriverAllocated, // IoAllocateIrp: the allocator's completion routine must stop the walk
    Built,           // IoBuildDeviceIoControlRequest: the I/O manager finishes and frees it
    User,            // a user-mode request (io_file.cpp)
    System,          // a request the kernel itself originates (PnP, power)
};

// Finishes an IRP of kind User or System once its walk reaches the top. Runs
// at the completer's IRQL; must not block. `irp` is freed right after.
using IrpFinisher = std::function<void(PIRP irp)>;

// An IRP whose completion the I/O manager finishes itself (kinds User and
// System): `finish` is called once when the walk reaches the top, then the
// IRP is freed. Sets RequestorMode, Thread and the caller's fields as given.
PIRP IoAllocateManagedIrp(CCHAR stackSize, IrpKind kind, IrpFinisher finish);
// Buffered I/O at completion: copies Information bytes of the system buffer
// back to UserBuffer for an input operation that did not fail (bug check if
// Information exceeds `outputLength`), then frees the system buffer.
void IoCompleteBufferedIo(PIRP irp, ULONG outputLength);
// The I/O manager's system buffers, freed by IoCompleteBufferedIo when the
// IRP has IRP_DEALLOCATE_BUFFER: `inputLength` bytes of `input`, then zeros;
// without `zeroRest` the rest is left as it is, as Windows leaves a read's
// buffer (the driver fills it, and only the bytes its completion reports go
// back to the caller).
void* IoAllocateSystemBuffer(size_t length, const void* input = nullptr, size_t inputLength = 0,
                             bool zeroRest = true);
void IoFreeSystemBuffer(void* buffer);
// Keeps a finished User/System IRP's memory until unpinned (a cancel racing
// with completion). False when the IRP is already finished or gone.
bool IoPinIrp(PIRP irp);
void IoUnpinIrp(PIRP irp);
// IRPs a driver allocated or one of its devices holds.
size_t IoOutstandingIrpsOf(PDRIVER_OBJECT driver);
// One line per IRP: of `driver` (allocated by it or held by its devices), or
// held by `device`; both NULL: every IRP. Takes IoLock().
std::string IoDescribeOutstandingIrps(PDRIVER_OBJECT driver, PDEVICE_OBJECT device);
std::string IoDescribeAllIrps();
// Caller holds IoLock().
bool IoDeviceHoldsIrps(PDEVICE_OBJECT device);
// A thread token for Irp->Tail.Overlay.Thread.
PETHREAD IoCurrentThreadToken();
void IoIrpStart();
void IoIrpStop();

// ---------------------------------------------------------------- remove locks (io_remlock.cpp)
// Remove locks inside [base, base+length), whose memory is going away (or, for
// a deleted device, whose owner is gone): bug check if one still has holds;
// `forget` drops their shadow records so the memory may hold a new lock.
void IoRemoveLocksFreed(const void* base, size_t length, const char* why, bool forget);
// A driver image is about to be unmapped: the file names its code passed are
// no longer known by their addresses.
void IoForgetFileNames();
// Bug check listing remove locks that still have holds (end of run).
void IoCheckRemoveLocks();
void IoRemoveLockStart();
void IoRemoveLockStop();

// ---------------------------------------------------------------- files (io_file.cpp)
std::string IoDescribeOpenHandles();
void IoFileStart();
void IoFileStop();

// The driver object is going away: the IRP log stops naming by it.
// Caller holds IoLock().
void IoForgetDriverLocked(PDRIVER_OBJECT driver);

// ---------------------------------------------------------------- drivers (io_device.cpp)
// The verifier's unload checks that belong to the I/O manager: a device the
// driver still has, an IRP it allocated or that one of its devices holds.
void IoCheckDriverUnload(PDRIVER_OBJECT driver);

} // namespace sim

namespace sim {
// ---------------------------------------------------------------- request trace (io_trace.cpp)
// Called by io_file.cpp just before the request goes down the stack, and
// from its finisher before buffered output is copied back.
void IoTraceSent(IoTraced& traced, PDEVICE_OBJECT device, PIRP irp, PIO_STACK_LOCATION sp);
void IoTraceCompleted(IoTraced& traced, PIRP irp, ULONG outputLength);
} // namespace sim
