// Remove locks: refusal once removal has begun, and the drain that waits for
// every hold (a worker's, a pending request's) to go.
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

TEST_F(IoRemoveLock, DrainWaitsForAPendingRequestsCompletionRoutine) {
    Build(2);
    sim::FileHandle* handle = Open();
    Init();
    static IO_REMOVE_LOCK* s_lock;
    static PIRP s_queued;
    s_lock = &lock_;
    L().dispatch[kBottom] = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        s_queued = irp;
        return STATUS_PENDING;
    };
    // The top driver holds the lock for the request until it comes back.
    L().dispatch[kTop] = [](PDEVICE_OBJECT, PIRP irp) {
        EXPECT_EQ(IoAcquireRemoveLock(s_lock, irp), STATUS_SUCCESS);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP done, PVOID) -> NTSTATUS {
                if (done->PendingReturned)
                    IoMarkIrpPending(done);
                IoReleaseRemoveLock(s_lock, done);
                return STATUS_SUCCESS;
            },
            nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(L().device[kBottom], irp);
    };
    sim::PendingRequest* request = sim::SendRequest(handle, {IRP_MJ_READ});
    ASSERT_EQ(request->returned, STATUS_PENDING);
    OnWorker([] { CompleteAtDispatch(s_queued, STATUS_SUCCESS); });
    int removeTag;
    ASSERT_EQ(IoAcquireRemoveLock(&lock_, &removeTag), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(&lock_, &removeTag);
    EXPECT_TRUE(request->done) << "the drain ended only after the request came back";
    Close(handle);
}
