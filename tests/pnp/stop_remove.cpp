// Orderly stop and removal: the query comes first, a refusal is cancelled and
// changes nothing, and the driver leaves with its last device.
#include "pnp/stack.h"

#include <gmock/gmock.h>

using namespace pnptest;
using ::testing::ElementsAre;

namespace {

// The minors and final statuses of the node's IRPs from `from` on.
std::vector<std::pair<UCHAR, NTSTATUS>> IrpsSince(const sim::DevNode* node, size_t from) {
    std::vector<std::pair<UCHAR, NTSTATUS>> out;
    for (size_t i = from; i < node->irps.size(); ++i)
        out.emplace_back(node->irps[i].minor, node->irps[i].status);
    return out;
}

using Irp = std::pair<UCHAR, NTSTATUS>;

class PnpStopRemove : public StackTest {};

TEST_F(PnpStopRemove, StopIsQueriedFirstAndAStartBringsTheDeviceBack) {
    sim::DevNode* node = bus->Plug("modem");
    const size_t mark = node->irps.size();

    EXPECT_EQ(sim::PnpStopDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(node->state, sim::DevNodeState::Stopped);
    EXPECT_THAT(IrpsSince(node, mark), ElementsAre(Irp(IRP_MN_QUERY_STOP_DEVICE, STATUS_SUCCESS),
                                                   Irp(IRP_MN_STOP_DEVICE, STATUS_SUCCESS)));

    EXPECT_EQ(sim::PnpStartDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(node->state, sim::DevNodeState::Started);
    EXPECT_EQ(node->irps.back().minor, IRP_MN_QUERY_PNP_DEVICE_STATE);
    EXPECT_EQ(FdoEntries(), 1); // a stop does not unload
}

// A query the manager makes: on a started device (stopped first when
// `stopped`), with a handle open when `open`; what it answers, the state it
// leaves, the IRPs it sent and, where given, the timeline of the stack.
struct QueryRow {
    const char* name;
    NTSTATUS (*op)(sim::DevNode* node);
    bool stopped, open;
    NTSTATUS status;
    sim::DevNodeState state;
    std::vector<Irp> irps;
    std::vector<std::string> timeline;
};

const QueryRow kQueryRows[] = {
    // The refusing driver kept the query; the cancel went all the way down.
    {"RefusedStopIsCancelled",
     sim::PnpStopDevice,
     false,
     true,
     STATUS_DEVICE_BUSY,
     sim::DevNodeState::Started,
     {{IRP_MN_QUERY_STOP_DEVICE, STATUS_DEVICE_BUSY}, {IRP_MN_CANCEL_STOP_DEVICE, STATUS_SUCCESS}},
     {"fdo:QUERY_STOP", "fdo:CANCEL_STOP", "bus:CANCEL_STOP"}},
    {"QueryStopCancelledByTheManager",
     sim::PnpQueryStopThenCancel,
     false,
     false,
     STATUS_SUCCESS,
     sim::DevNodeState::Started,
     {{IRP_MN_QUERY_STOP_DEVICE, STATUS_SUCCESS}, {IRP_MN_CANCEL_STOP_DEVICE, STATUS_SUCCESS}},
     {}},
    // Removal relations are asked for first; nobody here has any.
    {"RefusedRemoveIsCancelled",
     sim::PnpRemoveDevice,
     false,
     true,
     STATUS_DEVICE_BUSY,
     sim::DevNodeState::Started,
     {{IRP_MN_QUERY_DEVICE_RELATIONS, STATUS_NOT_SUPPORTED},
      {IRP_MN_QUERY_REMOVE_DEVICE, STATUS_DEVICE_BUSY},
      {IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_SUCCESS}},
     {}},
    // The state from before the query, not Started.
    {"QueryRemoveCancelledByTheManagerKeepsStopped",
     sim::PnpQueryRemoveThenCancel,
     true,
     false,
     STATUS_SUCCESS,
     sim::DevNodeState::Stopped,
     {{IRP_MN_QUERY_DEVICE_RELATIONS, STATUS_NOT_SUPPORTED},
      {IRP_MN_QUERY_REMOVE_DEVICE, STATUS_SUCCESS},
      {IRP_MN_CANCEL_REMOVE_DEVICE, STATUS_SUCCESS}},
     {}},
};

class PnpQueries : public StackTest, public ::testing::WithParamInterface<QueryRow> {};

TEST_P(PnpQueries, AnswerStateAndIrps) {
    const QueryRow& row = GetParam();
    sim::DevNode* node = bus->Plug("modem");
    if (row.stopped) {
        ASSERT_EQ(sim::PnpStopDevice(node), STATUS_SUCCESS);
    }
    sim::FileHandle* handle = nullptr;
    if (row.open) {
        ASSERT_EQ(sim::OpenFile(node->fdo, &handle), STATUS_SUCCESS);
    }
    PDEVICE_OBJECT fdo = node->fdo;
    const size_t mark = node->irps.size();
    Timeline().clear();

    EXPECT_EQ(row.op(node), row.status);
    EXPECT_EQ(node->state, row.state);
    EXPECT_EQ(IrpsSince(node, mark), row.irps);
    if (!row.timeline.empty()) {
        EXPECT_EQ(Timeline(), row.timeline);
    }
    EXPECT_EQ(node->fdo, fdo); // nothing left the stack
    EXPECT_NE(sim::LoadedDriver("vxtest"), nullptr);
    if (handle == nullptr)
        return;
    // Once the handle is gone the same request goes through.
    EXPECT_EQ(sim::CloseFile(handle), STATUS_SUCCESS);
    EXPECT_EQ(row.op(node), STATUS_SUCCESS);
    EXPECT_NE(node->state, sim::DevNodeState::Started);
}

std::string QueryName(const ::testing::TestParamInfo<QueryRow>& row) {
    return row.param.name;
}
INSTANTIATE_TEST_SUITE_P(Table, PnpQueries, ::testing::ValuesIn(kQueryRows), QueryName);

TEST_F(PnpStopRemove, RemovedDeviceLeavesItsStack) {
    sim::DevNode* node = bus->Plug("modem");
    EXPECT_EQ(sim::PnpRemoveDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(node->state, sim::DevNodeState::Removed);
    EXPECT_EQ(node->fdo, nullptr);
    EXPECT_EQ(node->pdo->AttachedDevice, nullptr);
}

TEST_F(PnpStopRemove, DriverUnloadsOnlyAfterItsLastDevice) {
    sim::DevNode* a = bus->Plug("modem");
    sim::DevNode* b = bus->Plug("diagnostics");

    ASSERT_EQ(sim::PnpRemoveDevice(a), STATUS_SUCCESS);
    EXPECT_NE(sim::LoadedDriver("vxtest"), nullptr);
    EXPECT_EQ(FdoUnloads(), 0);

    ASSERT_EQ(sim::PnpRemoveDevice(b), STATUS_SUCCESS);
    EXPECT_EQ(sim::LoadedDriver("vxtest"), nullptr);
    EXPECT_EQ(FdoUnloads(), 1);
    EXPECT_EQ(sim::DriverUnloadCount("vxtest"), 1u);
    EXPECT_EQ(TimelineOf("fdo:Unload").size(), 1u);
    EXPECT_EQ(Timeline().back(), "fdo:Unload");
}

TEST_F(PnpStopRemove, RemovedDeviceEnabledAgainReloadsTheDriverAndKeepsItsName) {
    sim::DevNode* node = bus->Plug("modem");
    const unsigned port = node->comPort;
    ASSERT_EQ(sim::PnpRemoveDevice(node), STATUS_SUCCESS);

    EXPECT_EQ(sim::PnpReenableDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(node->state, sim::DevNodeState::Started);
    EXPECT_EQ(sim::DriverLoadCount("vxtest"), 2u);
    EXPECT_EQ(node->comPort, port);
    EXPECT_EQ(PortNameSeenAtStart(node->fdo), u"COM1");
}

using PnpStopRemoveDeathTest = PnpStopRemove;

TEST_F(PnpStopRemoveDeathTest, FailingARemoveIsAVerifierViolation) {
    sim::DevNode* node = bus->Plug("modem");
    g_fdo.failRemove = true;
    EXPECT_DEATH(sim::PnpRemoveDevice(node), "may not fail this request \\(PnpRemove rule\\)");
    g_fdo.failRemove = false;
}

TEST_F(PnpStopRemoveDeathTest, StoppingADeviceThatIsNotStartedIsAMisuse) {
    sim::PlugOptions noStart;
    noStart.start = false;
    sim::DevNode* node = bus->Plug("modem", noStart);
    EXPECT_DEATH(sim::PnpStopDevice(node), "is Added");
}

} // namespace
