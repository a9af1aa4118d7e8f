// Power management of both ports, driven only through the power manager,
// the phone and the port's own requests. Each row is a script of steps run
// on a fresh machine for a port; the power steps each add one line to a
// transcript: the status, the power IRPs sent to the port's stack and their
// completions in the order they happened, what reached the phone (device
// power, pipe resets and aborts, receive transfers ended by the power-down),
// and whether reception is on. What the port believes the system state is
// shows in "probe": a system SET S0 the bus fails, which a port that believes
// it is asleep forwards first (no device IRP), and one that believes it is
// awake sends after its device IRP. Every row ends with the port closed and
// the phone unplugged, so a remove-lock hold a transition forgot stops the
// removal, and pool or IRPs it leaked stop the unload.
#include "common/fake_driver.h"
#include "common/pnp_rows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <sstream>

namespace {

using rig::Hex;
using rig::Lines;
using rig::Which;

// Runs one row's script on a port of a fresh machine.
class Script {
public:
    Script(Which which, rig::Machine& machine) : which_(which), m_(machine) {}

    Lines Run(const std::vector<std::string>& steps) {
        rig::PlaySteps(steps, [this](const std::string& step) { return Step(step); });
        Port().Close();
        EXPECT_TRUE(m_.Port(Other()).Close());
        // On a thread of its own: a remove-lock hold a transition left
        // behind makes the removal wait forever, reported here as a hang.
        auto unplug = std::make_unique<sim::Thread>("unplug", [this] { m_.Phone().Unplug(); });
        if (!rig::RunUntil([&] { return unplug->Finished(); }))
            rig::Machine::Hang("the unplug after " + ::testing::PrintToString(steps));
        unplug.reset();
        EXPECT_EQ(m_.Node(which_)->state, sim::DevNodeState::Deleted);
        EXPECT_EQ(m_.Leftovers(), "");
        return lines_;
    }

private:
    rig::ComPort& Port() { return m_.Port(which_); }
    Which Other() const { return which_ == Which::Modem ? Which::Diag : Which::Modem; }
    usb::Interface& Usb() { return *m_.Usb(which_); }
    sim::DevNode* Node() { return m_.Node(which_); }

    bool Step(const std::string& step) {
        if (step == "open") {
            EXPECT_EQ(Port().Open(), 0u);
        } else if (step == "open other") { // the phone's other port
            EXPECT_EQ(m_.Port(Other()).Open(), 0u);
        } else if (step == "close other") {
            EXPECT_TRUE(m_.Port(Other()).Close());
        } else if (step == "close") {
            EXPECT_TRUE(Port().Close());
        } else if (step == "read") {
            // A read left waiting for its bytes (no time-out).
            EXPECT_EQ(Port().SetTimeouts(0, 0, 0), STATUS_SUCCESS);
            pending_ = &Port().StartRead(4);
        } else if (step == "io") {
            lines_.push_back("io " + Exchange());
        } else if (step.rfind("!", 0) == 0) {
            return Fault(step.substr(1));
        } else {
            return Power(step);
        }
        return true;
    }

    // The phone sends a line and the application reads it; the application
    // writes one and the phone receives it.
    std::string Exchange() {
        Port().Receive("ping");
        if (pending_ == nullptr) {
            Port().SetTimeouts(MAXDWORD, 0, 0);
            pending_ = &Port().StartRead(64);
        }
        const rig::Request& read = Port().Finish(*pending_);
        pending_ = nullptr;
        if (read.Status() != STATUS_SUCCESS || read.Text() != "ping")
            return "read " + Hex(read.Status()) + " '" + read.Text() + "'";
        const NTSTATUS write = Port().Write("AT\r").Status();
        const std::string sent = Usb().TakeReceivedText();
        return write == STATUS_SUCCESS && sent == "AT\r"
                   ? "ok"
                   : "write " + Hex(write) + " '" + sent + "'";
    }

    bool Fault(const std::string& what) {
        if (what == "no-context") {
            Port().FailAllocation(sim::AllocKind::Pool, "DispatchPower");
        } else if (what == "no-device-irp") {
            sim::PoFailRequestPowerIrp(STATUS_NO_MEMORY);
        } else if (what == "rx-error") {
            Usb().FailNext(usb::Pipe::BulkIn, STATUS_UNSUCCESSFUL, USBD_STATUS_CRC);
            sim::RunUntilIdle();
        } else if (what.rfind("bus-fails ", 0) == 0) {
            // "bus-fails S-SET", "D-SET", "S-QUERY": the bus fails the next such
            // IRP, a device IRP as a phone that cannot do it would.
            const bool system = what[10] == 'S';
            rig::FailPowerAtBus(Usb().Pdo(),
                                what.ends_with("SET") ? IRP_MN_SET_POWER : IRP_MN_QUERY_POWER,
                                system ? SystemPowerState : DevicePowerState,
                                system ? STATUS_UNSUCCESSFUL : STATUS_IO_DEVICE_ERROR);
        } else {
            return false;
        }
        return true;
    }

    // "sleep S3" and "wake" go through the power manager; "set S0",
    // "query D3", "wait-wake", ... are sent to the top of the port's stack;
    // "probe" is described at the top.
    bool Power(const std::string& step) {
        std::istringstream words(step);
        std::string verb, state;
        words >> verb >> state;
        const bool system = state.size() == 2 && state[0] == 'S';
        const ULONG n = state.size() == 2 ? static_cast<ULONG>(state[1] - '0') + 1 : 0;
        sim::ClearPowerIrpLog();
        Usb().ClearFaults(usb::Pipe::BulkIn);
        m_.Phone().ClearTimeline();
        NTSTATUS status;
        if (verb == "sleep") {
            status = sim::SetSystemPowerState(static_cast<SYSTEM_POWER_STATE>(n));
        } else if (verb == "wake") {
            status = sim::SetSystemPowerState(PowerSystemWorking);
        } else if (verb == "probe") {
            Fault("bus-fails S-SET");
            status = Send(IRP_MN_SET_POWER, SystemPowerState, PowerSystemWorking);
            sim::RunUntilIdle();
            const auto log = Log();
            const bool awake =
                std::any_of(log.begin(), log.end(), [](auto& r) { return r.requested; });
            lines_.push_back(awake ? "probe: awake" : "probe: asleep");
            return true;
        } else if (verb == "wait-wake" || verb == "power-sequence") {
            status = Send(verb == "wait-wake" ? IRP_MN_WAIT_WAKE : IRP_MN_POWER_SEQUENCE,
                          SystemPowerState, PowerSystemSleeping3);
        } else if ((verb == "set" || verb == "query") && n != 0) {
            status = Send(verb == "set" ? IRP_MN_SET_POWER : IRP_MN_QUERY_POWER,
                          system ? SystemPowerState : DevicePowerState, n);
        } else {
            return false;
        }
        sim::RunUntilIdle();
        lines_.push_back(step + " " + Hex(status) + ": " +
                         rig::PowerSequence(Log(), rig::PowerIrpName) + " | bus" + AtPhone() +
                         " | rx " + Reception());
        return true;
    }

    NTSTATUS Send(UCHAR minor, POWER_STATE_TYPE type, ULONG state) {
        return sim::PoSendPowerIrp(Node()->fdo, minor, type,
                                   type == SystemPowerState
                                       ? fake::SystemState(static_cast<SYSTEM_POWER_STATE>(state))
                                       : fake::DeviceState(static_cast<DEVICE_POWER_STATE>(state)));
    }

    std::vector<sim::PowerIrpRecord> Log() {
        std::vector<sim::PowerIrpRecord> mine;
        for (const auto& r : sim::PowerIrpLog())
            if (r.node == Node())
                mine.push_back(r);
        return mine;
    }

    // What reached this port's interface: " D3", " reset x3 D0",
    // " rx-cancelled" (one per receive pipe that was running), " abort".
    // Each kind once, where it first happened, with its count ("reset x3");
    // aborts and cancelled receive transfers count per receive pipe, so both
    // ports read alike (the modem's wake also aborts bulk-out, for a write
    // piece held there: the race rows check that).
    std::string AtPhone() {
        std::vector<std::pair<std::string, size_t>> kinds;
        for (const auto& e : m_.Phone().Timeline()) {
            using K = usb::EventKind;
            const std::string kind =
                e.interfaceNumber != Usb().Number() ? ""
                : e.kind == K::Power
                    ? (e.code == PowerDeviceD0 ? "D0" : "D" + std::to_string(e.code - 1))
                : e.kind == K::Reset ? "reset"
                : e.kind == K::Abort && e.pipe != usb::Pipe::BulkOut ? "abort"
                : e.kind == K::Complete && e.status == STATUS_CANCELLED &&
                        e.pipe != usb::Pipe::BulkOut
                    ? "rx-cancelled"
                    : "";
            auto it = std::find_if(kinds.begin(), kinds.end(),
                                   [&](const auto& k) { return k.first == kind; });
            if (kind.empty())
                continue;
            if (it == kinds.end())
                kinds.emplace_back(kind, 1);
            else
                ++it->second;
        }
        std::string text;
        for (auto& [kind, count] : kinds) {
            if ((kind == "abort" || kind == "rx-cancelled") && count % ReceivePipes().size() == 0)
                count /= ReceivePipes().size();
            text += " " + kind + (count > 1 ? " x" + std::to_string(count) : "");
        }
        return text.empty() ? " -" : text;
    }

    std::vector<usb::Pipe> ReceivePipes() const {
        if (which_ == Which::Modem)
            return {usb::Pipe::BulkIn, usb::Pipe::InterruptIn};
        return {usb::Pipe::BulkIn};
    }
    // "on": one transfer waiting on every receive pipe; "off": none.
    std::string Reception() {
        std::string counts;
        size_t on = 0, off = 0;
        for (usb::Pipe pipe : ReceivePipes()) {
            size_t n = Usb().Outstanding(pipe);
            on += n == 1;
            off += n == 0;
            counts.append(" ").append(std::to_string(n));
        }
        if (on == ReceivePipes().size())
            return "on";
        return off == ReceivePipes().size() ? "off" : "odd:" + counts;
    }

    Which which_;
    rig::Machine& m_;
    rig::Request* pending_ = nullptr;
    Lines lines_;
};

// A row's transcript is what a sound port does. Where the modem port is
// known not to, the row names the fault, and that port's run is skipped
// (and reported) while the fault stands.
const char* const kLostAfterShallowSleep =
    "the modem port takes the receive transfers the phone's power-down ends in S5 for a "
    "failing phone: it aborts its pipes and stops receiving, so an S0 after it finds the "
    "port lost";

// A system query for `s` with the device query for D3 it asks for inside.
std::string Query(const std::string& s) {
    return "S-QUERY " + s + ", D-QUERY D3, D-QUERY D3 ok, S-QUERY " + s + " ok";
}
// A system SET towards sleep in `s` with the device SET for D3 inside it,
// ending with `device` and `system`.
std::string Down(const std::string& s, const std::string& device = "ok",
                 const std::string& system = "") {
    return "S-SET " + s + ", D-SET D3, D-SET D3 " + device + ", S-SET " + s + " " +
           (system.empty() ? device : system);
}
std::string Sleep(const std::string& s) {
    return Query(s) + ", " + Down(s);
}
// A system SET S0 and the device SET D0 it holds it for, ending with `end`.
std::string Up(const std::string& end = "ok") {
    return "S-SET S0, D-SET D0, D-SET D0 " + end + ", S-SET S0 " + end;
}
// An open port waking from a noted sleep: its receive pipes are aborted
// (ending what a phone that never slept still held) and all three reset,
// before the phone is powered again; then reception is on once.
const std::string kResume = Up() + " | bus abort reset x3 D0 | rx on";
const std::string kResumeHeld = Up() + " | bus abort rx-cancelled reset x3 D0 | rx on";
// A row that sleeps and wakes `count` times after `steps`, S3 and S4 in
// turn when `s4Too`, with data each way before each sleep when `io`, then
// runs `last`: each sleep and wake reads as the single ones above.
rig::ScriptRow Sleeps(const char* name, std::vector<std::string> steps, int count, bool s4Too,
                      bool io, const std::vector<std::string>& last,
                      std::optional<Which> only = std::nullopt) {
    rig::ScriptRow row{name, std::move(steps), {}, only};
    for (int i = 0; i < count; ++i) {
        const std::string s = s4Too && i % 2 == 1 ? "S4" : "S3";
        if (io) {
            row.steps.push_back("io");
            row.lines.push_back("io ok");
        }
        row.steps.insert(row.steps.end(), {"sleep " + s, "wake"});
        row.lines.insert(row.lines.end(),
                         {"sleep " + s + " 0x0: " + Sleep(s) + " | bus D3 rx-cancelled | rx off",
                          "wake 0x0: " + kResume});
    }
    for (const std::string& step : last) {
        row.steps.push_back(step);
        if (step == "io")
            row.lines.push_back("io ok");
    }
    return row;
}
const std::string kCalledOff =
    "S-QUERY S3, D-QUERY D3, D-QUERY D3 ok, S-QUERY S3 0xC0000001, " + Up();

// clang-format off
const rig::ScriptRow kRows[] = {
    // ---- the port closed: the device sleeps before the system IRP goes
    // down and wakes after it came back up (the failing rows below show the
    // order: a bus failing the system IRP sees the device IRP first when
    // going down, none when coming up).
    {"SleepS3Closed", {"sleep S3", "wake", "probe"},
     {"sleep S3 0x0: " + Sleep("S3") + " | bus D3 | rx off", "wake 0x0: " + Up() + " | bus D0 | rx off", "probe: awake"}},
    {"EveryQueryAsksTheDeviceForD3AndChangesNothing",
     {"query S1", "query S2", "query S3", "query S4", "query S5", "query D3", "probe"},
     {"query S1 0x0: " + Query("S1") + " | bus - | rx off", "query S2 0x0: " + Query("S2") + " | bus - | rx off",
      "query S3 0x0: " + Query("S3") + " | bus - | rx off", "query S4 0x0: " + Query("S4") + " | bus - | rx off",
      "query S5 0x0: " + Query("S5") + " | bus - | rx off",
      "query D3 0x0: D-QUERY D3, D-QUERY D3 ok | bus - | rx off", "probe: awake"}},
    // A request for the state the system is in takes the sleep order.
    {"CurrentSystemStateAsksTheDeviceFirst", {"!bus-fails S-SET", "set S0", "set D0"},
     {"set S0 0xC0000001: S-SET S0, D-SET D0, D-SET D0 ok, S-SET S0 0xC0000001 | bus D0 | rx off",
      "set D0 0x0: D-SET D0, D-SET D0 ok | bus D0 | rx off"}},
    // ---- the port open: the phone's power-down ends the receive transfers;
    // nothing is aborted or reset for the sleep and the device is not taken
    // for lost.
    {"SleepS3Open", {"open", "io", "sleep S3", "wake", "io"},
     {"io ok", "sleep S3 0x0: " + Sleep("S3") + " | bus D3 rx-cancelled | rx off", "wake 0x0: " + kResume, "io ok"}},
    {"SleepS4Open", {"open", "sleep S4", "wake", "io"},
     {"sleep S4 0x0: " + Sleep("S4") + " | bus D3 rx-cancelled | rx off", "wake 0x0: " + kResume, "io ok"}},
    {"SleepWithAReadWaiting", {"open", "read", "sleep S3", "wake", "io"},
     {"sleep S3 0x0: " + Sleep("S3") + " | bus D3 rx-cancelled | rx off", "wake 0x0: " + kResume, "io ok"}},
    // The bus offers D2 for S1 to S3, but the port asks for D3 in every
    // sleeping state, so a standby ends the receive transfers too: S1 and S2
    // are noted and resumed like S3, and an S0 with no sleep noted resets
    // nothing.
    {"ShallowSleepsAreNotedLikeDeepOnes", {"open", "sleep S1", "wake", "sleep S2", "wake", "set S0", "io"},
     {"sleep S1 0x0: " + Sleep("S1") + " | bus D3 rx-cancelled | rx off", "wake 0x0: " + kResume,
      "sleep S2 0x0: " + Sleep("S2") + " | bus D3 rx-cancelled | rx off", "wake 0x0: " + kResume,
      "set S0 0x0: " + Up() + " | bus D0 | rx on", "io ok"}},
    {"AQueryForS3OrS4NotesTheSleep", {"open", "query S3", "set S0", "query S4", "set S0", "io"},
     {"query S3 0x0: " + Query("S3") + " | bus - | rx on", "set S0 0x0: " + kResumeHeld,
      "query S4 0x0: " + Query("S4") + " | bus - | rx on", "set S0 0x0: " + kResumeHeld, "io ok"}},
    {"ShutdownIsNoSleepToResumeFrom", {"open", "query S5", "set S5", "set S0"},
     {"query S5 0x0: " + Query("S5") + " | bus - | rx on", "set S5 0x0: " + Down("S5") + " | bus D3 rx-cancelled | rx on",
      "set S0 0x0: " + Up() + " | bus D0 | rx on"},
     std::nullopt, kLostAfterShallowSleep},
    {"ShutdownIsRecorded", {"set S5", "probe"}, {"set S5 0x0: " + Down("S5") + " | bus D3 | rx off", "probe: asleep"}},
    // A closed port is left alone at wake, and the next open forgets the
    // sleep it had noted.
    {"ClosedPortIsLeftAloneAndTheNextOpenForgets", {"open", "query S3", "close", "set S0", "open", "set S0", "io"},
     {"query S3 0x0: " + Query("S3") + " | bus - | rx on", "set S0 0x0: " + Up() + " | bus D0 | rx off",
      "set S0 0x0: " + Up() + " | bus D0 | rx on", "io ok"}},
    // Another driver refused the query and the manager called the sleep off
    // with S0: the receive transfers still pending at the bus are ended and
    // reception is on once, not twice.
    {"CalledOffSleepRestartsReceptionOnce", {"open", "!bus-fails S-QUERY", "sleep S3", "io", "probe"},
     {"sleep S3 0xC0000001: " + kCalledOff + " | bus abort rx-cancelled reset x3 D0 | rx on", "io ok", "probe: awake"}},
    // The phone refused to power down: the system slept, the device did not.
    {"PhoneThatNeverPoweredDownIsRestartedOnce", {"open", "!bus-fails D-SET", "sleep S3", "wake", "io"},
     {"sleep S3 0x0: " + Query("S3") + ", " + Down("S3", "0xC0000185") + " | bus - | rx on", "wake 0x0: " + kResumeHeld, "io ok"}},
    // Each sleep fails the transfer the phone held; those failures are not
    // the phone's and do not use up the diagnostics port's allowance of
    // failed transfers: one ordinary failure afterwards is still retried.
    Sleeps("SleepsDoNotUseUpTheErrorAllowance", {"open"}, 25, false, false, {"!rx-error", "io"},
           Which::Diag),
    // A hundred sleeps, S3 and S4 in turn, with data each way around each
    // and the other port (served by the other image) open too; closing it
    // leaves this one working.
    Sleeps("HundredSleepsWithDataFlowing", {"open", "open other"}, 100, true, true,
           {"io", "close other", "io"}),
    // ---- a step of a transition fails; the port's own state stays as the
    // probe shows, and the remove lock is released (the unplug at the end).
    // A system SET_POWER is never failed for the port's own want: its
    // context is kept in the port record, and without a device IRP the
    // system IRP goes down on its own.
    {"NoMemoryIsNeededForTheContext", {"!no-context", "set S3", "probe"}, {"set S3 0x0: " + Down("S3") + " | bus D3 | rx off", "probe: asleep"}},
    {"NoDeviceIrpGoingDownStillTakesTheSystemDown", {"!no-device-irp", "set S3", "probe"},
     {"set S3 0x0: S-SET S3, S-SET S3 ok | bus - | rx off", "probe: asleep"}},
    // Whoever powers the device up later is followed.
    {"NoDeviceIrpComingUpEndsWithTheBusStatus", {"sleep S3", "!no-device-irp", "set S0", "set D0"},
     {"sleep S3 0x0: " + Sleep("S3") + " | bus D3 | rx off", "set S0 0x0: S-SET S0, S-SET S0 ok | bus - | rx off",
      "set D0 0x0: D-SET D0, D-SET D0 ok | bus D0 | rx off"}},
    {"DeviceRefusingToSleepFailsTheSystemIrp", {"!bus-fails D-SET", "set S3", "probe"},
     {"set S3 0xC0000185: " + Down("S3", "0xC0000185") + " | bus - | rx off", "probe: awake"}},
    {"DeviceFailingToWakeFailsTheHeldSystemIrp", {"sleep S3", "!bus-fails D-SET", "wake"},
     {"sleep S3 0x0: " + Sleep("S3") + " | bus D3 | rx off", "wake 0x0: " + Up("0xC0000185") + " | bus - | rx off"}},
    {"BusFailingTheWakeMeansNoDeviceIrp", {"sleep S3", "!bus-fails S-SET", "wake", "probe"},
     {"sleep S3 0x0: " + Sleep("S3") + " | bus D3 | rx off", "wake 0x0: S-SET S0, S-SET S0 0xC0000001 | bus - | rx off", "probe: asleep"}},
    // A SET towards sleep cannot be refused: the state is recorded anyway.
    {"BusFailingTheSleepStillRecordsIt", {"!bus-fails S-SET", "set S3", "probe"},
     {"set S3 0xC0000001: " + Down("S3", "ok", "0xC0000001") + " | bus D3 | rx off", "probe: asleep"}},
    {"RefusedQueryIsPassedUpAndCalledOff", {"!bus-fails S-QUERY", "sleep S3", "probe"},
     {"sleep S3 0xC0000001: " + kCalledOff + " | bus D0 | rx off", "probe: awake"}},
    // Other power IRPs go down as they came (the bus leaves the status
    // alone): no device IRP, nothing noted.
    {"WaitWakeAndPowerSequenceArePassedDown", {"open", "wait-wake", "power-sequence", "set S0"},
     {"wait-wake 0xC00000BB: WAIT_WAKE, WAIT_WAKE 0xC00000BB | bus - | rx on",
      "power-sequence 0xC00000BB: POWER_SEQUENCE, POWER_SEQUENCE 0xC00000BB | bus - | rx on",
      "set S0 0x0: " + Up() + " | bus D0 | rx on"}},
};
// clang-format on

class PowerRows : public rig::PortRows {};

TEST_P(PowerRows, Transcript) {
    rig::Machine machine(VXQT70_MODEM_IMAGE, VXQT70_DIAG_IMAGE);
    ASSERT_TRUE(machine.Started(Port()));
    Expect(Script(Port(), machine).Run(Row().steps));
}
RIG_ROWS_ON_THEIR_PORTS(PowerRows, kRows);

} // namespace
