// The Plug and Play state table of both ports, as the Plug and Play manager
// drives it and an application sees it: which queries each state agrees to,
// what a cancel restores, what reaches the bus driver below, and which state
// lets the port be opened (only Started) or named at all (not Stopped).
#include "common/port_test.h"

#include <vector>

namespace {

using usb::EventKind;

// One step of a walk through the states, sent to the port or done by an
// application, and what it must answer.
// clang-format off
enum Step { kQueryStop, kCancelStop, kQueryRemove, kCancelRemove, kStopIrp, kStop, kStart,
            kOpen, kHold, kWrite, kClose, kInternal };
// clang-format on
const UCHAR kMinor[] = {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                        IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE,
                        IRP_MN_STOP_DEVICE};
enum Bus { kEither, kDown, kHeld }; // whether a raw PnP IRP must reach the bus
struct Move {
    Step step;
    long want;
    Bus bus = kEither;
};
struct Walk {
    const char* name;
    std::vector<Move> moves;
};

// What an open finds: it opens, is refused (a pending state; any error but
// a missing name), or finds no name at all (Stopped: the COM name is torn
// down).
constexpr long kOpens = 0;
constexpr long kRefused = -1;
constexpr long kNoName = ERROR_FILE_NOT_FOUND;
constexpr long kOk = STATUS_SUCCESS;
constexpr long kBusy = STATUS_DEVICE_BUSY;
constexpr long kGone = STATUS_DELETE_PENDING;

// Raw IRPs, so that the manager's view of the node stays Started; kStop and
// kStart are the manager's own. kInternal is a request with no handle that
// only a removal refuses (the modem port answers the serial stack's internal
// requests itself; the diagnostics port passes them down, so its answer is
// not checked).
// clang-format off
const Walk kWalks[] = {
    // A started port agrees to a stop query and is not opened until the
    // cancel; a stop tears its name down until the next start, and a stop
    // query of a stopped port goes down and changes nothing.
    {"StopQueryCancelAndStop",
     {{kQueryStop, kOk}, {kOpen, kRefused}, {kCancelStop, kOk}, {kOpen, kOpens}, {kStop, kOk},
      {kOpen, kNoName}, {kQueryStop, kOk, kDown}, {kOpen, kNoName}, {kStart, kOk},
      {kOpen, kOpens}}},
    // An open port is never stopped or removed in an orderly way: both
    // queries are refused without reaching the bus; the handle keeps working.
    {"AnOpenPortRefusesStopAndRemoveQueries",
     {{kHold, kOpens}, {kQueryStop, kBusy, kHeld}, {kQueryRemove, kBusy, kHeld}, {kWrite, kOk},
      {kClose, 1}, {kOpen, kOpens}}},
    // A remove query makes the port count as removed; its cancel restores
    // exactly the state the query found: Started, StopPending or Stopped.
    {"CancelledRemoveQueryFromStarted",
     {{kQueryRemove, kOk}, {kOpen, kRefused}, {kInternal, kGone}, {kCancelRemove, kOk},
      {kInternal, kOk}, {kOpen, kOpens}}},
    {"CancelledRemoveQueryFromStopPending",
     {{kQueryStop, kOk}, {kQueryRemove, kOk}, {kOpen, kRefused}, {kInternal, kGone},
      {kCancelRemove, kOk}, {kInternal, kOk}, {kOpen, kRefused}, {kCancelStop, kOk},
      {kOpen, kOpens}}},
    {"CancelledRemoveQueryFromStopped",
     {{kQueryStop, kOk}, {kStopIrp, kOk}, {kQueryRemove, kOk}, {kOpen, kNoName},
      {kInternal, kGone}, {kCancelRemove, kOk}, {kInternal, kOk}, {kOpen, kNoName}}},
    // A cancel without its own query pending (a driver above refused the
    // query) goes down and leaves the state alone.
    {"ACancelOfTheOtherQueryIsPassedDown",
     {{kQueryRemove, kOk}, {kCancelStop, kOk, kDown}, {kOpen, kRefused}, {kCancelRemove, kOk},
      {kQueryStop, kOk}, {kCancelRemove, kOk, kDown}, {kOpen, kRefused}, {kCancelStop, kOk},
      {kOpen, kOpens}}},
};
// clang-format on

class PnpStates : public rig::EachPort {
protected:
    NTSTATUS Send(UCHAR minor) { return sim::PnpSendIrp(Port().Node(), minor); }
    // Whether this port's PnP IRP of `minor` reached the bus since the
    // timeline was last cleared.
    bool Reached(ULONG minor) {
        for (const auto& e : Port().Events(EventKind::Pnp))
            if (e.code == minor)
                return true;
        return false;
    }
    long Do(Step step) {
        switch (step) {
        case kStop:
            return sim::PnpStopDevice(Port().Node());
        case kStart:
            return sim::PnpStartDevice(Port().Node());
        case kOpen: {
            long error = long(Port().Open());
            EXPECT_TRUE(Port().Close());
            return error;
        }
        case kHold:
            return long(Port().Open());
        case kWrite:
            return Port().Write("still open").Status();
        case kClose:
            return Port().Close();
        case kInternal: {
            rig::IrpToSend what;
            what.major = IRP_MJ_INTERNAL_DEVICE_CONTROL;
            what.code = IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE;
            return Port().Send(what).status;
        }
        default:
            return Send(kMinor[step]);
        }
    }
};
RIG_ON_BOTH_PORTS(PnpStates);

TEST_P(PnpStates, Walks) {
    for (const Walk& walk : kWalks) {
        SCOPED_TRACE(walk.name);
        for (size_t i = 0; i < walk.moves.size(); i++) {
            const Move& move = walk.moves[i];
            Phone().ClearTimeline();
            long got = Do(move.step);
            if (move.want == kRefused) {
                EXPECT_TRUE(got != kOpens && got != kNoName) << "step " << i << ": " << got;
            } else if (move.step != kInternal || IsModem()) {
                EXPECT_EQ(got, move.want) << "step " << i;
            }
            if (move.bus != kEither) {
                EXPECT_EQ(Reached(kMinor[move.step]), move.bus == kDown) << "step " << i;
            }
        }
        // A walk that ends stopped by a raw IRP is restarted for the next.
        if (Port().Open() != kOpens) {
            ASSERT_EQ(sim::PnpStopDevice(Port().Node()), STATUS_SUCCESS);
            ASSERT_EQ(sim::PnpStartDevice(Port().Node()), STATUS_SUCCESS);
        }
        ASSERT_TRUE(Port().Close());
        ASSERT_EQ(Port().Open(), DWORD(kOpens)) << "the walk left the port unusable";
        ASSERT_TRUE(Port().Close());
    }
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
