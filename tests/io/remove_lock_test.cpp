// Remove locks: refusal once removal has begun, and the drain that waits for
// every hold to go, whoever releases it (a worker here; a pending request's
// completion routine releases through the same count).
#include "tests/io/io_fixture.h"

using namespace iotest;

namespace {

class IoRemoveLock : public IoTest {
protected:
    IO_REMOVE_LOCK lock_;
    void Init() {
        sim::DriverScope scope(L().driver[kBottom]);
        IoInitializeRemoveLock(&lock_, 0x6B636C52, 0, 0); // "Rlck"
    }
};

} // namespace

TEST_F(IoRemoveLock, AcquireIsRefusedOnceRemovalBegins) {
    Build(1);
    Init();
    int tag;
    EXPECT_EQ(IoAcquireRemoveLock(&lock_, &tag), STATUS_SUCCESS);
    EXPECT_EQ(IoAcquireRemoveLock(&lock_, &tag), STATUS_SUCCESS); // a tag may hold twice
    IoReleaseRemoveLock(&lock_, &tag);
    IoReleaseRemoveLockAndWait(&lock_, &tag); // last hold: returns at once
    EXPECT_EQ(lock_.Common.IoCount, 0);
    EXPECT_EQ(IoAcquireRemoveLock(&lock_, &tag), STATUS_DELETE_PENDING);
    EXPECT_EQ(lock_.Common.IoCount, 0) << "a refused acquire leaves no count behind";
}

TEST_F(IoRemoveLock, DrainWaitsForAWorkerToReleaseItsHold) {
    Build(1);
    Init();
    std::vector<std::string> order;
    int workerTag;
    ASSERT_EQ(IoAcquireRemoveLock(&lock_, &workerTag), STATUS_SUCCESS);
    OnWorker([&] {
        order.push_back("worker releases");
        IoReleaseRemoveLock(&lock_, &workerTag);
    });
    int removeTag;
    ASSERT_EQ(IoAcquireRemoveLock(&lock_, &removeTag), STATUS_SUCCESS);
    order.push_back("remove waits");
    IoReleaseRemoveLockAndWait(&lock_, &removeTag);
    order.push_back("remove done");
    EXPECT_EQ(order, (std::vector<std::string>{"remove waits", "worker releases", "remove done"}));
}
