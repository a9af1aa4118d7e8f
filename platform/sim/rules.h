// Every rule the simulated kernel enforces, in one table: the stop code
// Windows raises for it, the subcode that tells its rules apart, and one line
// saying what was broken. Each family raises its rules with BugCheck(code,
// subcode, ...); the report names the rule it matched, and the verifier suite
// trips every row once.
//
// Subcodes 0xF0xx-0xF3xx and the 0x51A000xx codes are ours: rules Windows does
// not check, or faults only a simulation can see. They never collide with a
// Windows value.
#pragma once

#include "platform/kernel.h"

#include <cstddef>

namespace sim {

// Stop codes: the constant, the value, the name a kernel debugger prints, and
// which parameter carries the subcode (0: none, the code alone is the rule).
#define SIM_STOP_CODES(X)                                                                          \
    X(kIrqlNotLessOrEqual, 0x0A, "IRQL_NOT_LESS_OR_EQUAL", 0)                                      \
    X(kSpinLockAlreadyOwned, 0x0F, "SPIN_LOCK_ALREADY_OWNED", 0)                                   \
    X(kSpinLockNotOwned, 0x10, "SPIN_LOCK_NOT_OWNED", 0)                                           \
    X(kBadPoolHeader, 0x19, "BAD_POOL_HEADER", 0)                                                  \
    X(kNoMoreIrpStackLocations, 0x35, "NO_MORE_IRP_STACK_LOCATIONS", 0)                            \
    X(kMultipleIrpCompleteRequests, 0x44, "MULTIPLE_IRP_COMPLETE_REQUESTS", 0)                     \
    X(kSystemThreadExceptionNotHandled, 0x7E, "SYSTEM_THREAD_EXCEPTION_NOT_HANDLED", 0)            \
    X(kDriverPowerStateFailure, 0x9F, "DRIVER_POWER_STATE_FAILURE", 1)                             \
    X(kSpecialPoolDetectedMemoryCorruption, 0xC1, "SPECIAL_POOL_DETECTED_MEMORY_CORRUPTION", 4)    \
    X(kBadPoolCaller, 0xC2, "BAD_POOL_CALLER", 1)                                                  \
    X(kDriverVerifierDetectedViolation, 0xC4, "DRIVER_VERIFIER_DETECTED_VIOLATION", 1)             \
    X(kTimerOrDpcInvalid, 0xC7, "TIMER_OR_DPC_INVALID", 1)                                         \
    X(kIrqlUnexpectedValue, 0xC8, "IRQL_UNEXPECTED_VALUE", 0)                                      \
    X(kDriverVerifierIomanagerViolation, 0xC9, "DRIVER_VERIFIER_IOMANAGER_VIOLATION", 1)           \
    X(kPnpFatalError, 0xCA, "PNP_DETECTED_FATAL_ERROR", 1)                                         \
    X(kDriverLeftLockedPages, 0xCB, "DRIVER_LEFT_LOCKED_PAGES_IN_PROCESS", 0)                      \
    X(kPageFaultInFreedSpecialPool, 0xCC, "PAGE_FAULT_IN_FREED_SPECIAL_POOL", 0)                   \
    X(kPageFaultBeyondEndOfAllocation, 0xCD, "PAGE_FAULT_BEYOND_END_OF_ALLOCATION", 0)             \
    X(kDriverUnloadedWithoutCancellingPendingOperations, 0xCE,                                     \
      "DRIVER_UNLOADED_WITHOUT_CANCELLING_PENDING_OPERATIONS", 0)                                  \
    X(kDriverIrqlNotLessOrEqual, 0xD1, "DRIVER_IRQL_NOT_LESS_OR_EQUAL", 0)                         \
    X(kDriverPageFaultInFreedSpecialPool, 0xD5, "DRIVER_PAGE_FAULT_IN_FREED_SPECIAL_POOL", 0)      \
    X(kDriverPageFaultBeyondEnd, 0xD6, "DRIVER_PAGE_FAULT_BEYOND_END_OF_ALLOCATION", 0)            \
    X(kWorkerThreadReturnedAtBadIrql, 0xE1, "WORKER_THREAD_RETURNED_AT_BAD_IRQL", 0)               \
    X(kManuallyInitiatedCrash, 0xE2, "MANUALLY_INITIATED_CRASH", 0)                                \
    X(kWorkerInvalid, 0xE4, "WORKER_INVALID", 1)                                                   \
    X(kBugcodeUsbDriver, 0xFE, "BUGCODE_USB_DRIVER", 1)                                            \
    X(kDpcWatchdogViolation, 0x133, "DPC_WATCHDOG_VIOLATION", 0)                                   \
    X(kSimDeadlock, 0xDEAD10CC, "SIMULATED_MACHINE_DEADLOCKED", 0)                                 \
    X(kSimNotModelled, 0x51A00001, "SIMULATION_DOES_NOT_MODEL_THIS", 0)                            \
    X(kSimBadObject, 0x51A00002, "SIMULATION_BAD_KERNEL_OBJECT", 0)                                \
    X(kSimFreedInUse, 0x51A00003, "SIMULATION_FREED_OBJECT_IN_USE", 0)                             \
    X(kSimSpinLockHeld, 0x51A00004, "SIMULATION_SPIN_LOCK_HELD", 0)                                \
    X(kSimForeignThread, 0x51A00005, "SIMULATION_FOREIGN_THREAD", 0)                               \
    X(kSimMisuse, 0x51A00006, "SIMULATION_TEST_API_MISUSE", 0)                                     \
    X(kSimDriverAssertion, 0x51A00007, "SIMULATION_DRIVER_ASSERTION", 0)

// Rules whose stop code alone names them: id, code, wording.
#define SIM_CODE_RULES(X)                                                                          \
    X(IrqlTooHigh, kIrqlNotLessOrEqual, "a routine called above the IRQL it allows")               \
    X(SpinLockAcquiredTwice, kSpinLockAlreadyOwned, "a spin lock acquired by its own holder")      \
    X(SpinLockReleasedUnowned, kSpinLockNotOwned,                                                  \
      "a spin lock released by a thread not holding it")                                           \
    X(NoStackLocationLeft, kNoMoreIrpStackLocations,                                               \
      "an IRP sent down with no stack location left")                                              \
    X(IrpCompletedTwice, kMultipleIrpCompleteRequests, "an IRP completed a second time")           \
    X(IrqlLeftRaised, kIrqlUnexpectedValue, "a DPC, timer or thread returned at another IRQL")     \
    X(UnloadWithWorkLeft, kDriverUnloadedWithoutCancellingPendingOperations,                       \
      "a driver unloaded with devices, IRPs or work items of its own left")                        \
    X(PagedAccessAtDispatch, kDriverIrqlNotLessOrEqual,                                            \
      "pageable memory touched at DISPATCH_LEVEL")                                                 \
    X(WorkerReturnedRaised, kWorkerThreadReturnedAtBadIrql,                                        \
      "a work item returned above PASSIVE_LEVEL")                                                  \
    X(Deadlock, kSimDeadlock, "every thread waits and nothing can wake any of them")               \
    X(NotModelled, kSimNotModelled, "an operation the simulation does not model")                  \
    X(BadObject, kSimBadObject, "a kernel object used uninitialised, or re-initialised in use")    \
    X(FreedObjectInUse, kSimFreedInUse, "freed memory holds an object a thread waits on")          \
    X(SpinLockHeldAcrossCall, kSimSpinLockHeld, "a call down or a wait made holding a spin lock")  \
    X(ForeignThread, kSimForeignThread, "a thread the simulated processor does not know")          \
    X(TestApiMisuse, kSimMisuse, "a test-facing call used out of place")                           \
    X(DriverAssertion, kSimDriverAssertion, "a driver's own assertion failed")

// Rules a subcode tells apart: id (the subcode's constant is k<id>), code,
// subcode, wording.
#define SIM_SUBCODE_RULES(X)                                                                       \
    X(PoDeviceDeletedWithIrp, kDriverPowerStateFailure, 0x1,                                       \
      "a device deleted with a power IRP active on it")                                            \
    X(PoCompletedWithoutStartNext, kDriverPowerStateFailure, 0x2,                                  \
      "a power IRP completed without PoStartNextPowerIrp")                                         \
    X(PoIrpTimedOut, kDriverPowerStateFailure, 0x3, "a power IRP held past the watchdog")          \
    X(PoFaultDeviceFailed, kDriverPowerStateFailure, 0xF3F0,                                       \
      "the power manager could not make its fault-injecting device")                               \
    X(PoNoIrp, kDriverPowerStateFailure, 0xF3F1, "the power manager could not allocate an IRP")    \
    X(C1HeaderCorrupt, kSpecialPoolDetectedMemoryCorruption, 0x21,                                 \
      "bytes written before a pool block")                                                         \
    X(C1OverrunAtFree, kSpecialPoolDetectedMemoryCorruption, 0x23,                                 \
      "bytes written past the end of a pool block")                                                \
    X(C2DoubleFree, kBadPoolCaller, 0x07, "a pool block freed twice")                              \
    X(C2FreeWithWrongTag, kBadPoolCaller, 0x0A, "a pool block freed with another tag")             \
    X(C2InvalidAddress, kBadPoolCaller, 0x46, "a free of an address the pool never handed out")    \
    X(C2MustSucceedPool, kBadPoolCaller, 0x9A, "an allocation from must-succeed pool")             \
    X(C2ZeroTag, kBadPoolCaller, 0x9B, "an allocation with tag zero")                              \
    X(C4ZeroByteAllocation, kDriverVerifierDetectedViolation, 0x00, "an allocation of zero bytes") \
    X(C4PagedAllocAboveApc, kDriverVerifierDetectedViolation, 0x01,                                \
      "paged pool allocated above APC_LEVEL")                                                      \
    X(C4NonPagedAllocAboveDispatch, kDriverVerifierDetectedViolation, 0x02,                        \
      "nonpaged pool allocated above DISPATCH_LEVEL")                                              \
    X(C4PagedFreeAboveApc, kDriverVerifierDetectedViolation, 0x11,                                 \
      "paged pool freed above APC_LEVEL")                                                          \
    X(C4NonPagedFreeAboveDispatch, kDriverVerifierDetectedViolation, 0x12,                         \
      "nonpaged pool freed above DISPATCH_LEVEL")                                                  \
    X(VfRaiseToLower, kDriverVerifierDetectedViolation, 0x30, "KeRaiseIrql to a lower IRQL")       \
    X(VfLowerToHigher, kDriverVerifierDetectedViolation, 0x31, "KeLowerIrql to a higher IRQL")     \
    X(VfSpinLockReleaseBadIrql, kDriverVerifierDetectedViolation, 0x32,                            \
      "a spin lock released at an IRQL other than DISPATCH_LEVEL")                                 \
    X(VfFastMutexAboveApc, kDriverVerifierDetectedViolation, 0x33,                                 \
      "a fast mutex acquired above APC_LEVEL")                                                     \
    X(VfFastMutexReleaseBadIrql, kDriverVerifierDetectedViolation, 0x34,                           \
      "a fast mutex released at an IRQL other than APC_LEVEL")                                     \
    X(VfSpinLockAtDpcBelowDispatch, kDriverVerifierDetectedViolation, 0x40,                        \
      "KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL")                                          \
    X(VfSpinLockFromDpcBelowDispatch, kDriverVerifierDetectedViolation, 0x41,                      \
      "KeReleaseSpinLockFromDpcLevel below DISPATCH_LEVEL")                                        \
    X(VfSpinLockAboveDispatch, kDriverVerifierDetectedViolation, 0x42,                             \
      "a spin lock acquired above DISPATCH_LEVEL")                                                 \
    X(C4LeakAtUnload, kDriverVerifierDetectedViolation, 0x62, "pool left allocated at unload")     \
    X(VfWaitAboveDispatch, kDriverVerifierDetectedViolation, 0x120, "a wait above DISPATCH_LEVEL") \
    X(VfWaitAtDispatchInfinite, kDriverVerifierDetectedViolation, 0x121,                           \
      "a wait without time-out at DISPATCH_LEVEL")                                                 \
    X(VfWaitAtDispatchTimeout, kDriverVerifierDetectedViolation, 0x122,                            \
      "a wait with a non-zero time-out at DISPATCH_LEVEL")                                         \
    X(C4RemoveLockReleaseUnheld, kDriverVerifierDetectedViolation, 0xD5,                           \
      "a remove lock released with a tag that holds nothing")                                      \
    X(C4RemoveLockWaitUnheld, kDriverVerifierDetectedViolation, 0xD6,                              \
      "a remove-lock drain waited with a tag that holds nothing")                                  \
    X(C4RemoveLockReinitialised, kDriverVerifierDetectedViolation, 0xD7,                           \
      "a remove lock initialised again")                                                           \
    X(C4CompletionIrqlChanged, kDriverVerifierDetectedViolation, 0xFA,                             \
      "a completion routine returned at another IRQL")                                             \
    X(VfSelfDeadlock, kDriverVerifierDetectedViolation, 0x1000,                                    \
      "a fast mutex acquired by its own owner")                                                    \
    X(VfReleaseNotOwned, kDriverVerifierDetectedViolation, 0x1003,                                 \
      "a fast mutex released by a thread not owning it")                                           \
    X(C4RequestedPowerIrp, kDriverVerifierDetectedViolation, 0x0004100B,                           \
      "PoRequestPowerIrp asked for a power IRP it does not make")                                  \
    X(C4PnpRemoveFailed, kDriverVerifierDetectedViolation, 0x00043006,                             \
      "a driver failed a Plug and Play request that may not fail")                                 \
    X(C4WrongPoolTag, kDriverVerifierDetectedViolation, 0xF001,                                    \
      "an allocation with a tag the driver may not use")                                           \
    X(C4UnknownPoolType, kDriverVerifierDetectedViolation, 0xF002,                                 \
      "an allocation of an unknown pool type")                                                     \
    X(C4FormatOverrunsBlock, kDriverVerifierDetectedViolation, 0xF003,                             \
      "a formatting routine wrote past its pool block")                                            \
    X(C4BadStringArgument, kDriverVerifierDetectedViolation, 0xF005,                               \
      "a counted string that contradicts itself")                                                  \
    X(C4KeyHandleLeakedAtUnload, kDriverVerifierDetectedViolation, 0xF101,                         \
      "a registry key handle left open at unload")                                                 \
    X(C4NamesLeftAtEndOfRun, kDriverVerifierDetectedViolation, 0xF102,                             \
      "names or symbolic links left when the machine stops")                                       \
    X(C4KeyHandleLeftAtEndOfRun, kDriverVerifierDetectedViolation, 0xF103,                         \
      "a registry key handle open when the machine stops")                                         \
    X(C4NullResultPointer, kDriverVerifierDetectedViolation, 0xF104,                               \
      "a required out-pointer is NULL")                                                            \
    X(C4CancelLockHeldAtReturn, kDriverVerifierDetectedViolation, 0xF210,                          \
      "a cancel routine returned holding the cancel spin lock")                                    \
    X(C4DispatchReturnedWithSpinLock, kDriverVerifierDetectedViolation, 0xF211,                    \
      "a dispatch routine returned holding a spin lock")                                           \
    X(C4RemoveLockNotInitialised, kDriverVerifierDetectedViolation, 0xF212,                        \
      "a remove lock used before IoInitializeRemoveLock")                                          \
    X(C4DeleteWithRemoveLockHeld, kDriverVerifierDetectedViolation, 0xF213,                        \
      "memory holding a remove lock freed while the lock is held")                                 \
    X(C7TimerStillSet, kTimerOrDpcInvalid, 0x0, "memory freed or image unloaded with a timer set") \
    X(C7DpcStillQueued, kTimerOrDpcInvalid, 0x1,                                                   \
      "memory freed or image unloaded with a DPC queued or due")                                   \
    X(C9FreeNonIrp, kDriverVerifierIomanagerViolation, 0x01, "IoFreeIrp of something not an IRP")  \
    X(C9FreeThreadIrp, kDriverVerifierIomanagerViolation, 0x02,                                    \
      "IoFreeIrp of an IRP the I/O manager owns")                                                  \
    X(C9CallBadIrp, kDriverVerifierIomanagerViolation, 0x03,                                       \
      "IoCallDriver with no IRP or a freed one")                                                   \
    X(C9CallBadDevice, kDriverVerifierIomanagerViolation, 0x04,                                    \
      "a call to no device, or to a deleted one")                                                  \
    X(C9IrqlChangedInDispatch, kDriverVerifierIomanagerViolation, 0x05,                            \
      "a dispatch routine returned at another IRQL")                                               \
    X(C9CompleteWithPending, kDriverVerifierIomanagerViolation, 0x06,                              \
      "an IRP completed with STATUS_PENDING")                                                      \
    X(C9CompleteWithCancelRoutine, kDriverVerifierIomanagerViolation, 0x07,                        \
      "an IRP completed with its cancel routine still set")                                        \
    X(C9BuildWithoutStatusBlock, kDriverVerifierIomanagerViolation, 0x0C,                          \
      "a request built without an I/O status block")                                               \
    X(C9CompleteAboveDispatch, kDriverVerifierIomanagerViolation, 0x0E,                            \
      "an IRP completed above DISPATCH_LEVEL")                                                     \
    X(C9CallAboveDispatch, kDriverVerifierIomanagerViolation, 0x10,                                \
      "IoCallDriver above DISPATCH_LEVEL")                                                         \
    X(C9DetachNotAttached, kDriverVerifierIomanagerViolation, 0x202,                               \
      "IoDetachDevice of a device nothing is attached to")                                         \
    X(C9CallWithCancelRoutine, kDriverVerifierIomanagerViolation, 0x203,                           \
      "an IRP sent down with a cancel routine set")                                                \
    X(C9CompletePendingBelow, kDriverVerifierIomanagerViolation, 0x209,                            \
      "an IRP completed while a lower driver still holds it")                                      \
    X(C9FreeIrpInUse, kDriverVerifierIomanagerViolation, 0x20A, "an IRP freed while still in use") \
    X(C9DeleteWithoutDetach, kDriverVerifierIomanagerViolation, 0x21D,                             \
      "a device deleted while still attached to a lower one")                                      \
    X(C9StatusMismatch, kDriverVerifierIomanagerViolation, 0x224,                                  \
      "a dispatch routine returned another status than it completed with")                         \
    X(C9DispatchLostIrp, kDriverVerifierIomanagerViolation, 0x226,                                 \
      "a dispatch routine neither completed, pended nor passed on its IRP")                        \
    X(C9PendingNotPropagated, kDriverVerifierIomanagerViolation, 0x228,                            \
      "a completion routine did not propagate the pending flag")                                   \
    X(C9ForwardedAtBadIrql, kDriverVerifierIomanagerViolation, 0x23A,                              \
      "a Plug and Play or power IRP forwarded above PASSIVE_LEVEL")                                \
    X(C9PendingWithoutMark, kDriverVerifierIomanagerViolation, 0x23D,                              \
      "STATUS_PENDING returned without IoMarkIrpPending")                                          \
    X(C9MarkedButNotPending, kDriverVerifierIomanagerViolation, 0x23E,                             \
      "an IRP marked pending but the dispatch routine returned another status")                    \
    X(C9PowerPagableNotInherited, kDriverVerifierIomanagerViolation, 0x23F,                        \
      "a device attached without its lower device's DO_POWER_PAGABLE")                             \
    X(C9DeviceDeletedTwice, kDriverVerifierIomanagerViolation, 0x240, "a device deleted twice")    \
    X(C9InitializingLeftSet, kDriverVerifierIomanagerViolation, 0x243,                             \
      "AddDevice left DO_DEVICE_INITIALIZING set")                                                 \
    X(C9OwnIrpCompletedToTop, kDriverVerifierIomanagerViolation, 0xF201,                           \
      "an IRP a driver allocated completed to the top with no routine to stop it")                 \
    X(C9IrpFreedInRoutine, kDriverVerifierIomanagerViolation, 0xF202,                              \
      "a completion routine freed the IRP and let completion go on")                               \
    X(C9DeleteWithIrps, kDriverVerifierIomanagerViolation, 0xF203,                                 \
      "a device deleted while it holds IRPs")                                                      \
    X(C9InformationOverrun, kDriverVerifierIomanagerViolation, 0xF204,                             \
      "Information larger than the caller's buffer")                                               \
    X(C9IrpsLeftAtEndOfRun, kDriverVerifierIomanagerViolation, 0xF205,                             \
      "IRPs outstanding when the machine stops")                                                   \
    X(C9ReuseForeignIrp, kDriverVerifierIomanagerViolation, 0xF206,                                \
      "IoReuseIrp of an IRP the driver did not allocate")                                          \
    X(C9FreedMemoryHoldsIrp, kDriverVerifierIomanagerViolation, 0xF207,                            \
      "memory freed while it holds an IRP in flight")                                              \
    X(C9NoDispatchRoutine, kDriverVerifierIomanagerViolation, 0xF208,                              \
      "an IRP sent to a driver with no dispatch routine for it")                                   \
    X(C9HandlesLeftAtEndOfRun, kDriverVerifierIomanagerViolation, 0xF209,                          \
      "file handles open when the machine stops")                                                  \
    X(C9NotPowerIrp, kDriverVerifierIomanagerViolation, 0xF310,                                    \
      "PoCallDriver or PoStartNextPowerIrp with an IRP that is not a power IRP")                   \
    X(CaDuplicatePdo, kPnpFatalError, 0x1, "a bus reported the same PDO twice")                    \
    X(CaInvalidPdo, kPnpFatalError, 0x2, "a routine that needs a PDO was given another device")    \
    X(CaUnknownPdoGone, kPnpFatalError, 0x4, "a bus reported an unknown or deleted PDO gone")      \
    X(CaAddDeviceLeftDevice, kPnpFatalError, 0xF301, "a failed AddDevice left a device attached")  \
    X(CaRemoveLeftDevice, kPnpFatalError, 0xF302, "REMOVE left the function device attached")      \
    X(CaNotPassive, kPnpFatalError, 0xF304, "a Plug and Play request made above PASSIVE_LEVEL")    \
    X(CaBadRequest, kPnpFatalError, 0xF305, "Plug and Play asked for something it cannot do")      \
    X(CaImageLoad, kPnpFatalError, 0xF306, "a registered driver image could not be loaded")        \
    X(E4WorkItemInFreedMemory, kWorkerInvalid, 0x0,                                                \
      "memory freed while it holds a queued work item")                                            \
    X(E4WorkItemQueuedTwice, kWorkerInvalid, 0x1, "a work item queued while already queued")       \
    X(E4WorkItemWithoutRoutine, kWorkerInvalid, 0x2, "a work item queued with no routine")         \
    X(FEIrpSubmittedTwice, kBugcodeUsbDriver, 0x4,                                                 \
      "an IRP submitted to the bus while it is pending there")                                     \
    X(FEUrbSubmittedTwice, kBugcodeUsbDriver, 0x2,                                                 \
      "a URB submitted to the bus while it is pending there")

#define SIM_DEFINE_CODE(name, value, text, subcodeParam) constexpr ULONG name = value;
SIM_STOP_CODES(SIM_DEFINE_CODE)
#undef SIM_DEFINE_CODE
#define SIM_DEFINE_SUBCODE(id, code, subcode, text) constexpr ULONG k##id = subcode;
SIM_SUBCODE_RULES(SIM_DEFINE_SUBCODE)
#undef SIM_DEFINE_SUBCODE

enum class Rule {
#define SIM_RULE_ID(id, ...) id,
    SIM_CODE_RULES(SIM_RULE_ID) SIM_SUBCODE_RULES(SIM_RULE_ID)
#undef SIM_RULE_ID
};

struct RuleRow {
    Rule rule;
    const char* id; // "C9PendingWithoutMark", as the report prints it
    ULONG code;     // the stop code
    bool subcoded;  // whether `subcode` tells the code's rules apart
    ULONG subcode;
    const char* wording; // one line: what was broken
};

extern const RuleRow kRules[];
extern const size_t kRuleCount;

// The stop code's debugger name, "(driver-defined stop code)" for others.
const char* BugCheckName(ULONG code);
// The rule a bug check with these parameters reports, NULL when none (a
// driver's own KeBugCheckEx).
const RuleRow* FindRule(ULONG code, ULONG_PTR p1, ULONG_PTR p4);

} // namespace sim
