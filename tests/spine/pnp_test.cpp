// The Plug and Play state table of both ports, as the Plug and Play manager
// drives it and an application sees it: which queries each state agrees to,
// what a cancel restores, what reaches the bus driver below, and which state
// lets the port be opened (only Started) or named at all (not Stopped).
#include "common/port_test.h"

#include <algorithm>

namespace {

using usb::EventKind;

class PnpStates : public rig::EachPort {
protected:
    NTSTATUS Send(UCHAR minor) { return sim::PnpSendIrp(Port().Node(), minor); }
    // The minor codes of this port's PnP IRPs that reached the bus.
    bool Reached(ULONG minor) {
        for (const auto& e : Port().Events(EventKind::Pnp))
            if (e.code == minor)
                return true;
        return false;
    }
    // What an open finds: 0 (Started), refused (a pending state), or no
    // name at all (Stopped: the COM name is torn down).
    DWORD OpenAndClose() {
        DWORD error = Port().Open();
        EXPECT_TRUE(Port().Close());
        return error;
    }
};
RIG_ON_BOTH_PORTS(PnpStates);

constexpr DWORD kOpens = 0;
const DWORD kRefused = RtlNtStatusToDosError(STATUS_DELETE_PENDING);
constexpr DWORD kNoName = ERROR_FILE_NOT_FOUND;

// A started port agrees to a stop query, and is no longer opened until the
// cancel; a stop tears its name down until the next start.
TEST_P(PnpStates, StopQueryCancelAndStop) {
    EXPECT_EQ(Send(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_NE(OpenAndClose(), kOpens);
    EXPECT_EQ(Send(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(OpenAndClose(), kOpens);

    ASSERT_EQ(sim::PnpStopDevice(Port().Node()), STATUS_SUCCESS);
    EXPECT_EQ(OpenAndClose(), kNoName);
    // A stop query of a stopped port goes down and changes nothing.
    Phone().ClearTimeline();
    EXPECT_EQ(Send(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(Reached(IRP_MN_QUERY_STOP_DEVICE));
    EXPECT_EQ(OpenAndClose(), kNoName);
    ASSERT_EQ(sim::PnpStartDevice(Port().Node()), STATUS_SUCCESS);
    EXPECT_EQ(OpenAndClose(), kOpens);
}

// An open port is never stopped or removed in an orderly way: both queries
// are refused without reaching the bus, and the handle keeps working.
TEST_P(PnpStates, AnOpenPortRefusesStopAndRemoveQueries) {
    ASSERT_EQ(Port().Open(), 0u);
    Phone().ClearTimeline();
    EXPECT_EQ(Send(IRP_MN_QUERY_STOP_DEVICE), STATUS_DEVICE_BUSY);
    EXPECT_EQ(Send(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_DEVICE_BUSY);
    EXPECT_FALSE(Reached(IRP_MN_QUERY_STOP_DEVICE));
    EXPECT_FALSE(Reached(IRP_MN_QUERY_REMOVE_DEVICE));
    EXPECT_EQ(Port().Write("still open").Status(), STATUS_SUCCESS);
    ASSERT_TRUE(Port().Close());
    EXPECT_EQ(OpenAndClose(), kOpens);
}

// A remove query makes the port count as removed; its cancel restores
// exactly the state the query found: Started, StopPending or Stopped.
TEST_P(PnpStates, CancelledRemoveQueryRestoresTheStateItFound) {
    const struct {
        const char* name;
        UCHAR before; // 0: none
        DWORD open;   // what an open finds after the cancel
        UCHAR after;  // what brings the port back to Started
    } rows[] = {{"Started", 0, kOpens, 0},
                {"StopPending", IRP_MN_QUERY_STOP_DEVICE, kRefused, IRP_MN_CANCEL_STOP_DEVICE},
                {"Stopped", IRP_MN_STOP_DEVICE, kNoName, 0}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        // Raw IRPs, so that the manager's view of the node stays Started.
        if (row.before == IRP_MN_STOP_DEVICE) {
            ASSERT_EQ(Send(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
        }
        if (row.before != 0) {
            ASSERT_EQ(Send(row.before), STATUS_SUCCESS);
        }
        EXPECT_EQ(Send(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
        EXPECT_NE(OpenAndClose(), kOpens);
        EXPECT_EQ(Send(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
        DWORD open = OpenAndClose();
        EXPECT_EQ(open == kOpens, row.open == kOpens);
        EXPECT_EQ(open == kNoName, row.open == kNoName);
        if (row.after != 0) {
            ASSERT_EQ(Send(row.after), STATUS_SUCCESS);
        }
        if (row.open != kNoName) { // the last row: the name comes back with a start
            EXPECT_EQ(OpenAndClose(), kOpens);
        }
    }
}

// A cancel without its own query pending (a driver above refused the query)
// goes down and leaves the state alone.
TEST_P(PnpStates, ACancelOfTheOtherQueryIsPassedDown) {
    ASSERT_EQ(Send(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    Phone().ClearTimeline();
    EXPECT_EQ(Send(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_TRUE(Reached(IRP_MN_CANCEL_STOP_DEVICE));
    EXPECT_NE(OpenAndClose(), kOpens) << "no longer remove-pending";
    ASSERT_EQ(Send(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);

    ASSERT_EQ(Send(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Send(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_NE(OpenAndClose(), kOpens) << "no longer stop-pending";
    ASSERT_EQ(Send(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(OpenAndClose(), kOpens);
}

// A device a transfer has marked lost stays lost: a remove query and its
// cancel do not bring it back.
TEST_P(PnpStates, ALostDeviceStaysLostAcrossACancelledRemoval) {
    ASSERT_EQ(Port().Open(), 0u);
    Port().Usb()->FailNext(usb::Pipe::BulkIn, STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_CRC);
    sim::RunUntilIdle();
    ASSERT_TRUE(Port().Close());
    EXPECT_EQ(Send(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(Send(IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(OpenAndClose(), kRefused);
}

// Minor codes the port does not handle, and codes past the table, reach the
// bus with the status the sender put in; the remove lock taken for them is
// given back, or the removal that follows would wait for it for ever.
TEST_P(PnpStates, UnhandledMinorCodesGoDownUntouched) {
    for (UCHAR minor : {UCHAR(IRP_MN_QUERY_INTERFACE), UCHAR(IRP_MN_EJECT), UCHAR(0x0E),
                        UCHAR(0x18), UCHAR(0x19), UCHAR(0xFF)}) {
        Phone().ClearTimeline();
        NTSTATUS status = Send(minor);
        if (minor < 0x18) {
            EXPECT_EQ(status, STATUS_NOT_SUPPORTED) << int(minor);
        }
        EXPECT_TRUE(Reached(minor)) << int(minor);
    }
    EXPECT_EQ(sim::PnpRemoveDevice(Port().Node()), STATUS_SUCCESS);
}

// The capabilities the bus reports, with the port's additions: removable,
// surprise removal is fine, and a unique id only for the modem. A query of
// another version goes down untouched.
TEST_P(PnpStates, Capabilities) {
    ASSERT_EQ(sim::PnpQueryCapabilities(Port().Node()), STATUS_SUCCESS);
    const DEVICE_CAPABILITIES& caps = Port().Node()->capabilities;
    EXPECT_TRUE(caps.Removable);
    EXPECT_TRUE(caps.SurpriseRemovalOK);
    EXPECT_EQ(bool(caps.UniqueID), IsModem());

    static DEVICE_CAPABILITIES zero;
    zero = DEVICE_CAPABILITIES{};
    zero.Size = sizeof zero;
    zero.Version = 0;
    sim::PnpSendIrp(Port().Node(), IRP_MN_QUERY_CAPABILITIES, [](PIO_STACK_LOCATION sp) {
        sp->Parameters.DeviceCapabilities.Capabilities = &zero;
    });
    EXPECT_FALSE(zero.Removable);
    EXPECT_FALSE(zero.SurpriseRemovalOK);
}

// A port that never started still holds what AddDevice gave it; its removal
// gives all of it back (the pool check at unload finds anything left).
TEST_P(PnpStates, RemovalOfAPortThatNeverStarted) {
    usb::PhoneConfig config;
    config.serial = u"VX0002";
    config.interfaces = {IsModem() ? usb::InterfaceKind::Modem : usb::InterfaceKind::Diagnostics};
    config.enumerate = false;
    usb::Phone& other = m_.Bus().PlugIn(config);
    sim::PlugOptions options;
    options.start = false;
    sim::DevNode* node = sim::PnpDeviceArrived(
        other.At(0).Pdo(), usb::InterfaceKindName(config.interfaces[0]), options);
    ASSERT_EQ(node->state, sim::DevNodeState::Added);
    other.Unplug();
    sim::RunUntilIdle();
    EXPECT_EQ(node->state, sim::DevNodeState::Deleted);
}

} // namespace
