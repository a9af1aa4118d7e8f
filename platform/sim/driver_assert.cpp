// The host side of the drivers' checked contracts (VXQT70_ASSERT in
// platform/kernel.h): a failed check stops the run like any other rule the
// verifier enforces, and the lock predicate reads who holds a spin lock.
#include "platform/sim/ke_internal.h"

extern "C" {

VOID SimAssertFailed(PCSTR Condition, PCSTR File, ULONG Line) {
    // A checked build's ASSERT breaks into the debugger; the simulation stops.
    sim::BugCheck(
        sim::kSimDriverAssertion, 0, 0, 0, reinterpret_cast<ULONG_PTR>(__builtin_return_address(0)),
        std::string("driver contract broken: ") + Condition, File, static_cast<int>(Line));
}

// A held KSPIN_LOCK stores its owner's thread id.
BOOLEAN SimHoldsSpinLock(PKSPIN_LOCK Lock) {
    return (BOOLEAN)(__atomic_load_n(Lock, __ATOMIC_RELAXED) == sim::ke::Self().id);
}

} // extern "C"
