// Internals of the executive (pool, fault injection), the run-time library and
// the verifier core that other families of the simulation call. Never included
// by driver code.
#pragma once

#include "platform/sim/api_ex.h"
#include "platform/sim/internal.h"

#include <cstdarg>
#include <cstddef>
#include <string>

namespace sim {

// ---------------------------------------------------------------- attribution (verifier.cpp)
// The driver whose code the calling thread runs (CurrentDriver), and the
// DriverScope of the kernel's own calls into drivers, inline: every dispatch,
// completion, DPC and work routine runs inside one.
extern __thread PDRIVER_OBJECT t_currentDriver;
class CallScope {
public:
    explicit CallScope(PDRIVER_OBJECT driver) : previous_(t_currentDriver) {
        t_currentDriver = driver;
    }
    ~CallScope() { t_currentDriver = previous_; }
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

private:
    PDRIVER_OBJECT previous_;
};

// ---------------------------------------------------------------- symbols (verifier.cpp)
// "Function+0x1c" for a code address (the driver images' local symbols too,
// read from the image's own symbol table), or "module+0x..." when the address
// is in no known function. Cached; safe to call from any thread.
std::string Symbolize(const void* pc);
// Symbolize the code that called the simulation: skips frames inside the
// simulation itself (sim::) and the kernel routine that was entered, and
// returns "<caller> (in <KernelRoutine>)". `skip` frames are dropped first.
std::string DescribeCaller(int skip = 0);
// Forget cached symbols (a driver image was unloaded; another may load at the
// same address).
void ForgetSymbols();
// The symbolic name of a stop code ("BAD_POOL_CALLER").
const char* BugCheckName(ULONG code);

// ---------------------------------------------------------------- strings (rtl_string.cpp)
// Host-side conversions for messages: 16-bit text to narrow (code units above
// 0xFF become '?'), and the four bytes of a pool tag as text ("Wdm ").
std::string Narrow(const WCHAR* text, size_t units);
std::string Narrow(PCUNICODE_STRING string);
std::string TagText(ULONG tag);

// The kernel's printf family (DbgPrint, swprintf) formats through one
// routine. `wideFormat` selects swprintf's reading of %s/%c (wide) versus
// DbgPrint's (narrow); %S/%C are the other width, %ws/%hs and %wZ/%Z say it
// explicitly. Output is 16-bit code units; narrow text is widened byte for byte.
std::u16string FormatKernel(const void* format, bool wideFormat, va_list args);

// ---------------------------------------------------------------- pool (ex_pool.cpp)
// The live pool block that contains `address`: its start and size. False when
// the address is in no live block.
bool PoolBlockContaining(const void* address, const void** base, size_t* size);
// ExCheckDriverUnload is declared in internal.h.
// A block the kernel makes on a driver's behalf and hands to it (an interface
// name): owned by `owner`, freed by it, exempt from its own pool-tag rule.
PVOID ExAllocateForDriver(PDRIVER_OBJECT owner, POOL_TYPE type, SIZE_T bytes, ULONG tag);

// Device objects (IoCreateDevice) take non-paged pool too: the object and its
// extension are charged to the driver under the tag "Devi", within the pool's
// limit (false: over it, the device cannot be made).
bool ExChargeDeviceObject(PDRIVER_OBJECT driver, size_t extensionSize);
void ExUnchargeDeviceObject(PDRIVER_OBJECT driver, size_t extensionSize);

// ---------------------------------------------------------------- fault injection (ex_fault.cpp)
// ShouldFailAllocation is declared in internal.h.
const char* AllocKindName(AllocKind kind);

// ---------------------------------------------------------------- other families' checks
// Called on every pool free before the block is released: a queued timer or
// DPC inside the block (Ke), an IRP or a held remove lock inside it (Io).
// Each bug checks on a finding.
void KeCheckFreedRange(const void* base, size_t length);
void IoCheckFreedRange(const void* base, size_t length);
// Extra lines for a bug-check report: the I/O manager's recent IRP log.
std::string IoBugCheckContext();

// Ex family lifecycle helpers shared by its files.
void ExFaultStart(const Options& options);
void ExFaultStop();
void DbgStart();

} // namespace sim
