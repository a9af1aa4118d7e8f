// Remove locks: refusal once removal has begun, and the drain that waits for
// every hold to go, whoever releases it (a worker here; a pending request's
// completion routine releases through the same count).
#include "tests/io/io_fixture.h"

using namespace iotest;
using IoRemoveLock = IoTest;

// The drain waits for a worker's hold to go after its own is released (a
// tag may hold twice); once it is over, acquires are refused and leave no
// count behind. A drain with nothing else held returns at once: every
// removal in the driver suites is one.
TEST_F(IoRemoveLock, DrainWaitsForEveryHoldThenAcquiresAreRefused) {
    Build(1);
    IO_REMOVE_LOCK lock;
    {
        sim::DriverScope scope(L().driver[kBottom]);
        IoInitializeRemoveLock(&lock, 0x6B636C52, 0, 0); // "Rlck"
    }
    std::vector<std::string> order;
    int workerTag, tag;
    ASSERT_EQ(IoAcquireRemoveLock(&lock, &workerTag), STATUS_SUCCESS);
    OnWorker([&] {
        order.push_back("worker releases");
        IoReleaseRemoveLock(&lock, &workerTag);
    });
    ASSERT_EQ(IoAcquireRemoveLock(&lock, &tag), STATUS_SUCCESS);
    ASSERT_EQ(IoAcquireRemoveLock(&lock, &tag), STATUS_SUCCESS);
    IoReleaseRemoveLock(&lock, &tag);
    order.push_back("remove waits");
    IoReleaseRemoveLockAndWait(&lock, &tag);
    order.push_back("remove done");
    EXPECT_EQ(order, (std::vector<std::string>{"remove waits", "worker releases", "remove done"}));
    EXPECT_EQ(lock.Common.IoCount, 0);
    EXPECT_EQ(IoAcquireRemoveLock(&lock, &tag), STATUS_DELETE_PENDING);
    EXPECT_EQ(lock.Common.IoCount, 0) << "a refused acquire leaves no count behind";
}
