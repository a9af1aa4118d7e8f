// Arrival of a device: driver selection and loading, AddDevice, the COM-port
// installer, START and the capabilities query that follows it.
#include "pnp/stack.h"

#include "platform/sim/api_ob.h"

#include <gmock/gmock.h>

using namespace pnptest;
using ::testing::ElementsAre;

namespace {

std::vector<UCHAR> Minors(const sim::DevNode* node) {
    std::vector<UCHAR> out;
    for (const auto& irp : node->irps)
        out.push_back(irp.minor);
    return out;
}

class PnpStart : public StackTest {};

TEST_F(PnpStart, PlugLoadsAddsStartsThenQueriesCapabilitiesAsWindowsInitialisesThemAndTheState) {
    sim::DevNode* node = bus->Plug("modem");

    EXPECT_EQ(node->state, sim::DevNodeState::Started);
    ASSERT_NE(node->fdo, nullptr);
    EXPECT_EQ(node->pdo->AttachedDevice, node->fdo);
    EXPECT_THAT(Minors(node), ElementsAre(IRP_MN_START_DEVICE, IRP_MN_QUERY_CAPABILITIES,
                                          IRP_MN_QUERY_PNP_DEVICE_STATE));
    EXPECT_EQ(node->irps[0].status, STATUS_SUCCESS);
    // Every request goes to the top of the stack first and reaches the bus
    // only through the function driver.
    EXPECT_THAT(Timeline(), ElementsAre("fdo:DriverEntry", "fdo:AddDevice", "fdo:START", "bus:START",
                                        "fdo:QUERY_CAPABILITIES", "bus:QUERY_CAPABILITIES",
                                        "bus:caps size=" + std::to_string(sizeof(DEVICE_CAPABILITIES)) +
                                            " version=1 address=-1 ui=-1",
                                        "fdo:OTHER", "bus:OTHER"));
    // What came back up, with the function driver's change on the bus's answer.
    ASSERT_TRUE(node->capabilitiesValid);
    EXPECT_EQ(node->capabilities.SurpriseRemovalOK, 1u);
    EXPECT_EQ(node->capabilities.Address, 2u);
    EXPECT_EQ(node->capabilities.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
}

TEST_F(PnpStart, OneDriverLoadServesTwoDevices) {
    sim::DevNode* modem = bus->Plug("modem");
    sim::DevNode* diag = bus->Plug("diagnostics");

    EXPECT_EQ(FdoEntries(), 1);
    EXPECT_EQ(sim::DriverLoadCount("vxtest"), 1u);
    EXPECT_EQ(modem->driver, diag->driver);
    EXPECT_EQ(sim::LoadedDriver("vxtest"), modem->driver);
    EXPECT_EQ(diag->state, sim::DevNodeState::Started);
}

TEST_F(PnpStart, InstallerGivesLowestFreeComNameBeforeStart) {
    // The machine has COM1 and COM3 of its own.
    sim::ComDbClaim(1);
    sim::ComDbClaim(3);
    sim::DevNode* a = bus->Plug("modem");
    sim::DevNode* b = bus->Plug("diagnostics");
    sim::DevNode* c = bus->Plug("modem");

    EXPECT_EQ(a->comPort, 2u);
    EXPECT_EQ(b->comPort, 4u);
    EXPECT_EQ(c->comPort, 5u);
    // The driver found the name in the hardware key when START reached it.
    EXPECT_EQ(PortNameSeenAtStart(a->fdo), u"COM2");
    EXPECT_EQ(PortNameSeenAtStart(b->fdo), u"COM4");
    auto value = sim::RegGetValue(sim::DeviceParametersKey(c->pdo), u"PortName");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(value->Text(), u"COM5");
    EXPECT_THAT(sim::ComDbInUse(), ElementsAre(1u, 2u, 3u, 4u, 5u));
}

TEST_F(PnpStart, SameInstanceKeepsItsNameAndUninstallFreesIt) {
    sim::PlugOptions phone;
    phone.instanceId = u"USB\\VID_FFF0&PID_7070&MI_00\\VX0001";
    sim::DevNode* first = bus->Plug("modem", phone);
    sim::DevNode* other = bus->Plug("modem");
    ASSERT_EQ(first->comPort, 1u);
    ASSERT_EQ(other->comPort, 2u);

    bus->Unplug(first->pdo);
    sim::DevNode* again = bus->Plug("modem", phone);
    EXPECT_EQ(again->comPort, 1u);

    bus->Unplug(again->pdo);
    sim::PnpUninstall(phone.instanceId);
    sim::DevNode* fresh = bus->Plug("diagnostics");
    EXPECT_EQ(fresh->comPort, 1u);
}

TEST_F(PnpStart, FailedAddDeviceLeavesNodeWithoutFunctionDriver) {
    fdo_->config.addDeviceStatus = STATUS_INSUFFICIENT_RESOURCES;
    sim::DevNode* node = bus->Plug("modem");

    EXPECT_EQ(node->state, sim::DevNodeState::NoDriver);
    EXPECT_EQ(node->problem, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(node->fdo, nullptr);
    EXPECT_EQ(node->pdo->AttachedDevice, nullptr);
    EXPECT_TRUE(node->irps.empty()); // nothing to start
    // The driver served no device, so it went again.
    EXPECT_EQ(sim::LoadedDriver("vxtest"), nullptr);
    EXPECT_EQ(FdoUnloads(), FdoEntries());
}

TEST_F(PnpStart, FailedStartIsFollowedByRemoveAndTheDriverLeaves) {
    g_bus.startStatus = STATUS_DEVICE_NOT_READY;
    sim::DevNode* node = bus->Plug("modem");

    EXPECT_THAT(Minors(node), ElementsAre(IRP_MN_START_DEVICE, IRP_MN_REMOVE_DEVICE));
    EXPECT_EQ(node->irps[0].status, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(node->state, sim::DevNodeState::Removed);
    EXPECT_EQ(node->problem, STATUS_DEVICE_NOT_READY);
    EXPECT_EQ(node->pdo->AttachedDevice, nullptr);
    EXPECT_EQ(sim::LoadedDriver("vxtest"), nullptr);
}

TEST_F(PnpStart, FailedStartCanBeKeptForInspectionThenRemoved) {
    g_bus.startStatus = STATUS_DEVICE_NOT_READY;
    sim::PlugOptions keep;
    keep.removeAfterFailedStart = false;
    sim::DevNode* node = bus->Plug("modem", keep);

    EXPECT_EQ(node->state, sim::DevNodeState::StartFailed);
    ASSERT_NE(node->fdo, nullptr);
    EXPECT_EQ(sim::PnpRemoveDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(node->state, sim::DevNodeState::Removed);
    EXPECT_EQ(sim::LoadedDriver("vxtest"), nullptr);
}

TEST_F(PnpStart, KindWithoutServiceGetsNoDriverAndNoRequests) {
    sim::MapInterfaceKind("modem", "");
    sim::DevNode* node = bus->Plug("modem");

    EXPECT_EQ(node->state, sim::DevNodeState::NoDriver);
    EXPECT_TRUE(node->irps.empty());
    EXPECT_EQ(FdoEntries(), 0);
    EXPECT_EQ(node->comPort, 0u); // nothing installed, no name taken
}

TEST_F(PnpStart, RequestsNobodyAnswersStayNotSupported) {
    sim::DevNode* node = bus->Plug("modem");
    EXPECT_EQ(sim::PnpSendIrp(node, IRP_MN_QUERY_RESOURCES), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(sim::PnpSendIrp(node, IRP_MN_QUERY_LEGACY_BUS_INFORMATION + 1), STATUS_NOT_SUPPORTED);
    EXPECT_EQ(node->irps.back().status, STATUS_NOT_SUPPORTED);
}

TEST_F(PnpStart, PoolReturnedByAQueryIsReadThenFreedByTheManager) {
    sim::DevNode* node = bus->Plug("modem");
    std::u16string id;
    const NTSTATUS status = sim::PnpSendIrp(
        node, IRP_MN_QUERY_ID,
        [](PIO_STACK_LOCATION sp) { sp->Parameters.QueryId.IdType = BusQueryDeviceID; },
        [&id](PIRP irp) { id = reinterpret_cast<const char16_t*>(irp->IoStatus.Information); });
    EXPECT_EQ(status, STATUS_SUCCESS);
    EXPECT_EQ(id, u"SIM\\TESTBUS");
    // The end-of-run pool check would name the string had it been kept.
}

} // namespace
