// Spin locks raise to DISPATCH_LEVEL and give the caller's IRQL back; each
// rule they enforce is a row of tests/verifier/rules.cpp.
#include "ke_test.h"

TEST(KeIrqlRules, SpinLockRaisesToDispatchAndRestoresTheCallersIrql) {
    sim::Kernel kernel;
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL outer;
    KIRQL inner;
    KeAcquireSpinLock(&lock, &outer);
    EXPECT_EQ(outer, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KSPIN_LOCK second;
    KeInitializeSpinLock(&second);
    KeAcquireSpinLockAtDpcLevel(&second);
    KeReleaseSpinLockFromDpcLevel(&second);
    KeAcquireSpinLock(&second, &inner);
    EXPECT_EQ(inner, DISPATCH_LEVEL);
    KeReleaseSpinLock(&second, inner);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&lock, outer);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(lock, 0u) << "a free lock reads zero again";
}
