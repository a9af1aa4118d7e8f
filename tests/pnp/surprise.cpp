// Unplug: SURPRISE_REMOVAL for a stack that was running, and REMOVE once no
// handle is left on it.
#include "pnp/stack.h"

#include <gmock/gmock.h>

using namespace pnptest;
using ::testing::ElementsAre;

namespace {

std::vector<UCHAR> MinorsSince(const sim::DevNode* node, size_t from) {
    std::vector<UCHAR> out;
    for (size_t i = from; i < node->irps.size(); ++i)
        out.push_back(node->irps[i].minor);
    return out;
}

class PnpSurpriseRemoval : public StackTest {};

TEST_F(PnpSurpriseRemoval, UnplugWithNoHandleSurprisesThenRemovesAndUnloads) {
    sim::DevNode* node = bus->Plug("modem");
    const size_t mark = node->irps.size();
    Timeline().clear();

    bus->Unplug(node->pdo);

    EXPECT_THAT(MinorsSince(node, mark), ElementsAre(IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE));
    EXPECT_THAT(Timeline(), ElementsAre("fdo:SURPRISE_REMOVAL", "bus:SURPRISE_REMOVAL", "fdo:REMOVE",
                                        "bus:REMOVE", "fdo:Unload"));
    EXPECT_EQ(node->state, sim::DevNodeState::Deleted);
    EXPECT_EQ(node->pdo, nullptr);
    EXPECT_EQ(node->fdo, nullptr);
    EXPECT_EQ(sim::LoadedDriver("vxtest"), nullptr);
}

TEST_F(PnpSurpriseRemoval, RemoveWaitsForTheLastHandleToClose) {
    sim::DevNode* node = bus->Plug("modem");
    sim::FileHandle* first = nullptr;
    sim::FileHandle* second = nullptr;
    ASSERT_EQ(sim::OpenFile(node->fdo, &first), STATUS_SUCCESS);
    ASSERT_EQ(sim::OpenFile(node->fdo, &second), STATUS_SUCCESS);
    const size_t mark = node->irps.size();

    bus->Unplug(node->pdo);
    EXPECT_EQ(node->state, sim::DevNodeState::SurpriseRemoved);
    EXPECT_THAT(MinorsSince(node, mark), ElementsAre(IRP_MN_SURPRISE_REMOVAL));
    EXPECT_NE(node->fdo, nullptr);

    EXPECT_EQ(sim::CloseFile(first), STATUS_SUCCESS);
    EXPECT_THAT(MinorsSince(node, mark), ElementsAre(IRP_MN_SURPRISE_REMOVAL));

    EXPECT_EQ(sim::CloseFile(second), STATUS_SUCCESS);
    EXPECT_THAT(MinorsSince(node, mark), ElementsAre(IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE));
    EXPECT_EQ(node->state, sim::DevNodeState::Deleted);
    EXPECT_EQ(sim::LoadedDriver("vxtest"), nullptr);
}

TEST_F(PnpSurpriseRemoval, NeverStartedDeviceGetsOnlyRemove) {
    sim::PlugOptions noStart;
    noStart.start = false;
    sim::DevNode* node = bus->Plug("modem", noStart);
    ASSERT_EQ(node->state, sim::DevNodeState::Added);

    bus->Unplug(node->pdo);
    EXPECT_THAT(MinorsSince(node, 0), ElementsAre(IRP_MN_REMOVE_DEVICE));
    EXPECT_EQ(node->state, sim::DevNodeState::Deleted);
}

TEST_F(PnpSurpriseRemoval, StoppedDeviceIsSurprisedToo) {
    sim::DevNode* node = bus->Plug("modem");
    ASSERT_EQ(sim::PnpStopDevice(node), STATUS_SUCCESS);
    const size_t mark = node->irps.size();
    bus->Unplug(node->pdo);
    EXPECT_THAT(MinorsSince(node, mark), ElementsAre(IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE));
}

TEST_F(PnpSurpriseRemoval, UnplugReportedAtDispatchLevelRunsFromAWorker) {
    sim::DevNode* node = bus->Plug("modem");
    const size_t mark = node->irps.size();
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    bus->Unplug(node->pdo); // as a bus would from its DPC
    KeLowerIrql(old);
    EXPECT_EQ(node->state, sim::DevNodeState::Started);

    sim::RunUntilIdle();
    EXPECT_THAT(MinorsSince(node, mark), ElementsAre(IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE));
    EXPECT_EQ(node->state, sim::DevNodeState::Deleted);
}

} // namespace
