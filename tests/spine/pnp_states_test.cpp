// The Plug and Play state table: every transition, every refusal, and what
// reaches the bus driver below.
#include "spine/port_fixture.h"

#include <algorithm>

namespace spine {
namespace {

using PnpStateTable = Port;
using PnpCapabilities = Port;
using PnpTeardown = Port;

bool Reached(const std::vector<ULONG>& minors, ULONG minor) {
    return std::find(minors.begin(), minors.end(), minor) != minors.end();
}

TEST_F(PnpStateTable, StartedPortAgreesToAStopQueryAndCancelRestoresStarted) {
    ASSERT_EQ(Ext()->PnpState, Started);
    EXPECT_EQ(sim::PnpSendIrp(node_, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->PnpState, StopPending);
    EXPECT_EQ(sim::PnpSendIrp(node_, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->PnpState, Started);
}

TEST_F(PnpStateTable, StopQueryOfAStoppedPortIsPassedDownAndChangesNothing) {
    ASSERT_EQ(sim::PnpStopDevice(node_), STATUS_SUCCESS);
    ASSERT_EQ(Ext()->PnpState, Stopped);
    phone_->ClearTimeline();
    EXPECT_EQ(sim::PnpSendIrp(node_, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->PnpState, Stopped);
    EXPECT_TRUE(Reached(PnpAtBus(), IRP_MN_QUERY_STOP_DEVICE));
}

// An open port is never stopped or removed in an orderly way: both queries
// are refused without reaching the bus, whatever the state.
TEST_F(PnpStateTable, OpenPortRefusesStopAndRemoveQueries) {
    Ext()->PortOpen = TRUE; // as open sets it
    phone_->ClearTimeline();
    EXPECT_EQ(sim::PnpSendIrp(node_, IRP_MN_QUERY_STOP_DEVICE), STATUS_DEVICE_BUSY);
    EXPECT_EQ(Ext()->PnpState, Started);
    EXPECT_EQ(sim::PnpSendIrp(node_, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_DEVICE_BUSY);
    EXPECT_EQ(Ext()->PnpState, Started);
    Ext()->PnpState = StopPending;
    EXPECT_EQ(sim::PnpSendIrp(node_, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_DEVICE_BUSY);
    EXPECT_EQ(Ext()->PnpState, StopPending);
    EXPECT_FALSE(Reached(PnpAtBus(), IRP_MN_QUERY_STOP_DEVICE));
    EXPECT_FALSE(Reached(PnpAtBus(), IRP_MN_QUERY_REMOVE_DEVICE));
    Ext()->PnpState = Started;
    Ext()->PortOpen = FALSE;
}

TEST_F(PnpStateTable, CancelledRemoveQueryRestoresExactlyTheStateItFound) {
    for (PNP_STATE from : {Started, StopPending, Stopped}) {
        if (from == StopPending) {
            ASSERT_EQ(sim::PnpSendIrp(node_, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
        }
        if (from == Stopped) {
            ASSERT_EQ(sim::PnpSendIrp(node_, IRP_MN_STOP_DEVICE), STATUS_SUCCESS);
        }
        ASSERT_EQ(Ext()->PnpState, from);

        EXPECT_EQ(sim::PnpSendIrp(node_, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(Ext()->PnpState, RemovePending);
        EXPECT_EQ(Ext()->PreviousPnpState, from);
        EXPECT_EQ(sim::PnpSendIrp(node_, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(Ext()->PnpState, from);
    }
}

// A cancel without its own query pending (a driver above refused the query)
// goes down and leaves the state alone.
TEST_F(PnpStateTable, CancelOfTheOtherPendingQueryIsPassedDown) {
    ASSERT_EQ(sim::PnpSendIrp(node_, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    phone_->ClearTimeline();
    EXPECT_EQ(sim::PnpSendIrp(node_, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->PnpState, RemovePending);
    EXPECT_TRUE(Reached(PnpAtBus(), IRP_MN_CANCEL_STOP_DEVICE));
    ASSERT_EQ(sim::PnpSendIrp(node_, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);

    ASSERT_EQ(sim::PnpSendIrp(node_, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(sim::PnpSendIrp(node_, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->PnpState, StopPending);
    ASSERT_EQ(sim::PnpSendIrp(node_, IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->PnpState, Started);
}

// A pending removal already counts as gone; the cancel brings the port
// back, unless a transfer has marked the device lost for good.
TEST_F(PnpStateTable, RemovalQueryMakesTheDeviceCountAsRemovedUntilCancelled) {
    EXPECT_FALSE(IsDeviceRemoved(Ext()));
    ASSERT_EQ(sim::PnpSendIrp(node_, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(IsDeviceRemoved(Ext()));
    ASSERT_EQ(sim::PnpSendIrp(node_, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_FALSE(IsDeviceRemoved(Ext()));

    Ext()->DeviceLostCode = 9999;
    EXPECT_TRUE(IsDeviceRemoved(Ext()));
    ASSERT_EQ(sim::PnpSendIrp(node_, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(sim::PnpSendIrp(node_, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(IsDeviceRemoved(Ext()));
}

// A transfer failure marks the device lost for good: no cancel, no new
// state brings it back, and the port cannot be opened again.
TEST_F(PnpStateTable, LostDeviceCannotBeOpenedAgain) {
    Ext()->DeviceLostCode = 9999;
    sim::FileHandle* handle = nullptr;
    EXPECT_EQ(sim::OpenFile(Fdo(), &handle), STATUS_DELETE_PENDING);
    EXPECT_EQ(handle, nullptr);
    Ext()->DeviceLostCode = 0;
    ASSERT_EQ(sim::OpenFile(Fdo(), &handle), STATUS_SUCCESS);
    EXPECT_EQ(sim::CloseFile(handle), STATUS_SUCCESS);
}

// Minor codes past the table go down as they are, and the remove lock taken
// for them is given back: the removal that follows would wait for it forever.
TEST_F(PnpStateTable, MinorCodesPastTheTableArePassedDownAndReleaseTheLock) {
    phone_->ClearTimeline();
    for (UCHAR minor : {UCHAR(0x18), UCHAR(0x19), UCHAR(0xFF)}) {
        sim::PnpSendIrp(node_, minor);
        EXPECT_TRUE(Reached(PnpAtBus(), minor)) << int(minor);
    }
    EXPECT_EQ(sim::PnpRemoveDevice(node_), STATUS_SUCCESS);
}

// Minor functions the port does not handle reach the bus with the status
// the sender put in, not a success the port did not give.
TEST_F(PnpStateTable, UnhandledMinorCodesGoDownUntouched) {
    for (UCHAR minor : {UCHAR(IRP_MN_QUERY_INTERFACE), UCHAR(IRP_MN_EJECT), UCHAR(0x0E)}) {
        phone_->ClearTimeline();
        EXPECT_EQ(sim::PnpSendIrp(node_, minor), STATUS_NOT_SUPPORTED) << int(minor);
        EXPECT_TRUE(Reached(PnpAtBus(), minor));
    }
}

// ---------------------------------------------------------------- capabilities
TEST_F(PnpCapabilities, KeptCopyEqualsWhatTheCallerSees) {
    ASSERT_EQ(sim::PnpQueryCapabilities(node_), STATUS_SUCCESS);
    EXPECT_EQ(
        0, memcmp(&Ext()->DeviceCapabilities, &node_->capabilities, sizeof(DEVICE_CAPABILITIES)));
    EXPECT_TRUE(Ext()->DeviceCapabilities.Removable);
    EXPECT_TRUE(Ext()->DeviceCapabilities.SurpriseRemovalOK);
    EXPECT_EQ((bool)Ext()->DeviceCapabilities.UniqueID, (bool)VARIANT_MODEM);
}

TEST_F(PnpCapabilities, VersionZeroIsPassedDownUntouchedAndNothingKept) {
    DEVICE_CAPABILITIES before = Ext()->DeviceCapabilities;
    static DEVICE_CAPABILITIES caps;
    caps = DEVICE_CAPABILITIES{};
    caps.Size = sizeof caps;
    caps.Version = 0;
    NTSTATUS status = sim::PnpSendIrp(node_, IRP_MN_QUERY_CAPABILITIES, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.DeviceCapabilities.Capabilities = &caps;
    });
    UNREFERENCED_PARAMETER(status);
    EXPECT_FALSE(caps.Removable);
    EXPECT_FALSE(caps.SurpriseRemovalOK);
    EXPECT_EQ(0, memcmp(&before, &Ext()->DeviceCapabilities, sizeof before));
}

// ---------------------------------------------------------------- teardown
TEST_F(PnpTeardown, StopTearsTheNamingDownAndStartClearsTheRecordOfIt) {
    ASSERT_EQ(sim::PnpStopDevice(node_), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->SymbolicLinkName.Buffer, nullptr);
    EXPECT_EQ(Ext()->InterfaceName.Buffer, nullptr);
    EXPECT_NE(Ext()->DeviceName.Buffer, nullptr); // kept until removal
#if VARIANT_DIAG
    EXPECT_TRUE(Ext()->LinkDestroyed);
#endif
    ASSERT_EQ(sim::PnpStartDevice(node_), STATUS_SUCCESS);
    EXPECT_NE(Ext()->SymbolicLinkName.Buffer, nullptr);
#if VARIANT_DIAG
    EXPECT_FALSE(Ext()->LinkDestroyed);
#endif
}

// A port that never started still holds its interface name; its removal
// must give it back (the pool check at unload would find it otherwise).
TEST_F(PnpTeardown, RemovalOfAPortThatNeverStartedReleasesEverything) {
    usb::PhoneConfig config;
    config.serial = u"VX0002";
    config.interfaces = {kKind};
    config.enumerate = false;
    usb::Phone& other = bus_->PlugIn(config);
    sim::PlugOptions options;
    options.start = false;
    sim::DevNode* node =
        sim::PnpDeviceArrived(other.At(0).Pdo(), usb::InterfaceKindName(kKind), options);
    ASSERT_EQ(node->state, sim::DevNodeState::Added);
    EXPECT_NE(PortOf(node->fdo)->InterfaceName.Buffer, nullptr);
    other.Unplug();
    sim::RunUntilIdle();
    EXPECT_EQ(node->state, sim::DevNodeState::Deleted);
}

} // namespace
} // namespace spine
