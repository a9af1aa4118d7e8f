// PoRequestPowerIrp: the device power IRP goes to the top of the stack, the
// completion function gets what Windows gives it, one IRP of a type at a
// time per device, PASSIVE_LEVEL for pagable devices, and injected failures.
#include "pnp/stack.h"
#include "platform/sim/api_pnp.h"

#include <gmock/gmock.h>

using namespace pnptest;
using ::testing::ElementsAre;

namespace {

struct Seen {
    int calls = 0;
    std::vector<DEVICE_POWER_STATE> order;
};

// The completion function is told the device named in the request (the
// PDO, not the top of the stack) and the context it was given.
PDEVICE_OBJECT g_requestedFor;
VOID NTAPI Record(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                  PIO_STATUS_BLOCK io) {
    auto* seen = static_cast<Seen*>(context);
    EXPECT_EQ(device, g_requestedFor);
    EXPECT_EQ(minor, IRP_MN_SET_POWER);
    EXPECT_EQ(io->Status, STATUS_SUCCESS);
    ++seen->calls;
    seen->order.push_back(state.DeviceState);
}

// A script of requests on one plugged stack: "SET D2" asks for a device IRP
// ("SEQUENCE D0" for a kind the power manager does not make; "dispatch SET
// D3" at DISPATCH_LEVEL), "release" lets the oldest parked IRP go on, "run"
// lets the machine run. Each adds a line: what the request returned, the
// completions so far, the power IRPs made by it, the stack's timeline and
// the device state the power manager recorded. Steps starting with '!' set
// up a fault and add no line; a row whose one line is "dies: <report>" stops
// the run with that report (D?: no device state recorded yet). Every IRP made goes to the top of
// the stack as a device IRP outside any system transition.
struct RequestRow {
    const char* name;
    std::vector<std::string> steps;
    rig::Lines lines;
};
void PrintTo(const RequestRow& row, std::ostream* os) {
    *os << row.name;
}

class PowerRequestIrp : public StackTest, public ::testing::WithParamInterface<RequestRow> {
protected:
    std::string Step(sim::DevNode* node, const std::string& step) {
        static const std::pair<const char*, UCHAR> kMinors[] = {
            {"SET", IRP_MN_SET_POWER},
            {"QUERY", IRP_MN_QUERY_POWER},
            {"SEQUENCE", IRP_MN_POWER_SEQUENCE}};
        if (step == "!park")
            g_fdo.parkDeviceSetIrps = true;
        else if (step == "!fail-second")
            sim::PoFailRequestPowerIrp(STATUS_INSUFFICIENT_RESOURCES, /*skip*/ 1);
        else if (step == "!irp-pointer")
            g_fdo.passIrpPointerToRequest = true;
        else if (step == "sleep")
            return rig::Hex(sim::SetSystemPowerState(PowerSystemSleeping3));
        else if (step == "delete")
            sim::PoDeviceDeleted(node->fdo);
        else if (step == "release")
            fdo_->ReleaseParked();
        else if (step == "run")
            sim::RunUntilIdle();
        else {
            const bool dispatch = step.starts_with("dispatch ");
            const std::string request = step.substr(dispatch ? 9 : 0);
            const size_t space = request.find(' ');
            for (const auto& [name, minor] : kMinors)
                if (request.substr(0, space) == name) {
                    KIRQL old = PASSIVE_LEVEL;
                    if (dispatch)
                        KeRaiseIrql(DISPATCH_LEVEL, &old);
                    const DEVICE_POWER_STATE state =
                        static_cast<DEVICE_POWER_STATE>(request[space + 2] - '0' + 1);
                    const NTSTATUS status = PoRequestPowerIrp(
                        node->pdo, minor, fake::DeviceState(state), Record, &seen_, nullptr);
                    if (dispatch)
                        KeLowerIrql(old);
                    return rig::Hex(status);
                }
            ADD_FAILURE() << "unknown step " << step;
        }
        return "";
    }
    rig::Lines Play(const RequestRow& row) {
        sim::DevNode* node = bus->Plug("modem");
        g_requestedFor = node->pdo;
        rig::Lines lines;
        for (const std::string& step : row.steps) {
            Timeline().clear();
            const size_t made = sim::PowerIrpLog().size();
            const std::string returned = Step(node, step);
            if (step[0] == '!')
                continue;
            std::string line = step + (returned.empty() ? "" : " " + returned) + ": done";
            for (DEVICE_POWER_STATE d : seen_.order)
                line += " D" + std::to_string(d - 1);
            const auto log = sim::PowerIrpLog();
            for (size_t i = made; i < log.size(); ++i) {
                EXPECT_TRUE(log[i].requested && log[i].type == DevicePowerState);
                EXPECT_EQ(log[i].target, node->fdo);
                EXPECT_EQ(log[i].action, PowerActionNone);
            }
            const DEVICE_POWER_STATE now = sim::PoRecordedDeviceState(node->fdo);
            line += " | made " + std::to_string(log.size() - made) + " | " +
                    ::testing::PrintToString(Timeline()) + " | " +
                    (now == PowerDeviceUnspecified ? "D?" : "D" + std::to_string(now - 1));
            lines.push_back(line);
        }
        return lines;
    }

    Seen seen_;
};

TEST_P(PowerRequestIrp, Transcript) {
    const RequestRow& row = GetParam();
    if (row.lines[0].starts_with("dies: ")) {
        EXPECT_DEATH(Play(row), row.lines[0].substr(6));
        return;
    }
    const rig::Lines lines = Play(row);
    EXPECT_EQ(lines, row.lines) << ::testing::PrintToString(lines);
}

// clang-format off
const RequestRow kRows[] = {
    {"IrpGoesToTheTopAndTheCompletionGetsWhatWindowsGives", {"SET D2"},
     {"SET D2 0x103: done D2 | made 1 | { \"fdo:SET D2\", \"bus:SET D2 at IRQL 0\" } | D2"}},
    // No IRP and no completion; the plan is used up: the next request goes through.
    {"InjectedFailureMeansNoIrpAndNoCompletion", {"!fail-second", "SET D1", "SET D3", "SET D0"},
     {"SET D1 0x103: done D1 | made 1 | { \"fdo:SET D1\", \"bus:SET D1 at IRQL 0\" } | D1",
      "SET D3 0xC000009A: done D1 | made 0 | {} | D1",
      "SET D0 0x103: done D1 D0 | made 1 | { \"fdo:SET D0\", \"bus:SET D0 at IRQL 0\" } | D0"}},
    {"OnlyPowerRequestsAPowerManagerMakesAreAccepted", {"SEQUENCE D0"},
     {"SEQUENCE D0 0xC000000D: done | made 0 | {} | D?"}},
    // The driver holds the first; the second is held by the power manager
    // until the first is let go.
    {"SecondIrpOfATypeWaitsForPoStartNextPowerIrp", {"!park", "SET D2", "SET D3", "release", "release"},
     {"SET D2 0x103: done | made 1 | { \"fdo:SET D2\" } | D2",
      "SET D3 0x103: done | made 1 | {} | D2",
      "release: done D2 | made 0 | { \"fdo:SET D3\", \"bus:SET D2 at IRQL 0\" } | D3",
      "release: done D2 D3 | made 0 | { \"bus:SET D3 at IRQL 0\" } | D3"}},
    // Handed to a worker thread.
    {"RequestAtDispatchLevelReachesAPagableStackAtPassive", {"dispatch SET D3", "run"},
     {"dispatch SET D3 0x103: done | made 1 | {} | D?",
      "run: done D3 | made 0 | { \"fdo:SET D3\", \"bus:SET D3 at IRQL 0\" } | D3"}},
    {"AskingForTheIrpPointerBreaksTheRequestedPowerIrpRule", {"!irp-pointer", "sleep"},
     {"dies: RequestedPowerIrp rule"}},
    {"DeletingADeviceWithAPowerIrpActiveIsCaught", {"!park", "SET D3", "delete"},
     {"dies: 0x0000009F.*still active"}},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(, PowerRequestIrp, ::testing::ValuesIn(kRows), rig::RowName<RequestRow>);

TEST_F(PowerRequestIrp, SystemAndDeviceIrpsAreSerialisedSeparately) {
    sim::DevNode* node = bus->Plug("modem");
    g_requestedFor = node->pdo;
    g_fdo.parkDeviceSetIrps = true;
    Timeline().clear();
    PoRequestPowerIrp(node->pdo, IRP_MN_SET_POWER, fake::DeviceState(PowerDeviceD1), Record, &seen_,
                      nullptr);
    ASSERT_EQ(fdo_->Parked(), 1u);

    NTSTATUS queryStatus = STATUS_PENDING;
    sim::Thread asker("system query", [&] {
        queryStatus = sim::PoSendPowerIrp(node->pdo, IRP_MN_QUERY_POWER, SystemPowerState,
                                          fake::SystemState(PowerSystemSleeping3));
    });
    sim::RunUntilIdle();
    // The system IRP reached the driver while a device IRP was active; the
    // device query it asked for waits behind the active device IRP.
    EXPECT_THAT(TimelineOf("fdo:"), ElementsAre("fdo:SET D1", "fdo:QUERY S3"));
    EXPECT_EQ(queryStatus, STATUS_PENDING);

    fdo_->ReleaseParked();
    asker.Join();
    EXPECT_THAT(TimelineOf("fdo:"), ElementsAre("fdo:SET D1", "fdo:QUERY S3", "fdo:QUERY D3",
                                                "fdo:device IRP done, passing system IRP down"));
    EXPECT_EQ(queryStatus, STATUS_SUCCESS);
    EXPECT_EQ(seen_.calls, 1);
}

} // namespace
