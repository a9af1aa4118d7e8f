// System sleep and wake: which stacks get which power IRPs, in which order,
// how they complete, and what a refusal or a failure at any step does. Each
// row plugs its stacks, arranges its fault and moves the system from state to
// state; each move writes one line: the move's status, the state the system
// is in after it and the action its IRPs carry, then the IRPs sent and
// completed in the order they happened (a system IRP with the order of the
// stack it went to), what reached the bus, and each stack's recorded device
// states (FDO and PDO; D? for none yet). A fault the power manager injects
// at the bus ends the IRP before the bus driver sees it. A row with `systemOnly` writes the system
// IRPs alone, each with how it ended. Every IRP goes to the top of its stack, and the device IRPs
// are the ones the function driver asked for.
#include "pnp/stack.h"

#include <algorithm>

using namespace pnptest;

namespace {

// A system IRP with the order of the stack it went to: "S-SET S3@2".
std::string Text(const sim::PowerIrpRecord& r) {
    if (r.type != SystemPowerState)
        return rig::PowerIrpName(r);
    return rig::PowerIrpName(r) + "@" + std::to_string(r.node ? r.node->order : 0);
}
std::string Ended(NTSTATUS status) {
    return status == STATUS_SUCCESS ? "ok" : rig::Hex(status);
}

struct TransitionRow {
    const char* name;
    std::vector<std::string> plugs; // "modem"; "child" of the first; "idle": never started
    std::vector<SYSTEM_POWER_STATE> moves;
    rig::Lines lines; // or one "dies: <report>"
    std::function<void(const std::vector<sim::DevNode*>&, size_t move)> arrange = nullptr;
    bool systemOnly = false;
};
void PrintTo(const TransitionRow& row, std::ostream* os) {
    *os << row.name;
}

class PowerSystemTransitions : public StackTest,
                               public ::testing::WithParamInterface<TransitionRow> {
protected:
    rig::Lines Play(const TransitionRow& row) {
        std::vector<sim::DevNode*> nodes;
        for (const std::string& plug : row.plugs) {
            sim::PlugOptions options;
            options.start = plug != "idle";
            options.parent = plug == "child" ? nodes.front() : nullptr;
            nodes.push_back(Plug(plug == "child" ? "diagnostics" : "modem", options));
        }
        rig::Lines lines;
        for (size_t i = 0; i < row.moves.size(); ++i) {
            if (row.arrange)
                row.arrange(nodes, i);
            sim::ClearPowerIrpLog();
            Timeline().clear();
            const NTSTATUS status = sim::SetSystemPowerState(row.moves[i]);
            lines.push_back("S" + std::to_string(row.moves[i] - 1) + " " + Ended(status) +
                            ", in S" + std::to_string(sim::CurrentSystemPowerState() - 1) + ": " +
                            Irps(row.systemOnly) + (row.systemOnly ? "" : Stacks(nodes)));
        }
        return lines;
    }
    std::string Irps(bool systemOnly) {
        static const char* const kActions[] = {"none", "?", "sleep", "hibernate", "shutdown"};
        const std::vector<sim::PowerIrpRecord> log = sim::PowerIrpLog();
        std::string action, text;
        for (const auto& r : log) {
            EXPECT_EQ(r.target, r.node->fdo) << Text(r);
            EXPECT_EQ(r.requested, r.type == DevicePowerState) << Text(r);
            EXPECT_TRUE(!r.requested || r.requester == r.node->driver) << Text(r);
            const char* name = kActions[std::min<int>(r.action, 4)];
            action = action.empty() || action == name ? name : "mixed";
            if (systemOnly && r.type == SystemPowerState)
                text += (text.empty() ? "" : ", ") + Text(r) + " " + Ended(r.status);
        }
        if (!systemOnly)
            text = rig::PowerSequence(log, Text);
        return action.empty() ? "-" : action + ": " + text;
    }
    std::string Stacks(const std::vector<sim::DevNode*>& nodes) {
        std::string text = " | bus";
        for (const std::string& event : TimelineOf("bus:")) {
            std::string e = event.substr(4);
            if (e.ends_with(" at IRQL 0"))
                e.resize(e.size() - 10);
            text += (text.ends_with("bus") ? " " : ", ") + e;
        }
        for (sim::DevNode* node : nodes)
            if (node->fdo != nullptr)
                text += " | " + rig::PowerStateName(false, sim::PoRecordedDeviceState(node->fdo)) +
                        " " + rig::PowerStateName(false, sim::PoRecordedDeviceState(node->pdo));
        return text;
    }
};

TEST_P(PowerSystemTransitions, Transcript) {
    const TransitionRow& row = GetParam();
    if (row.lines[0].starts_with("dies: ")) {
        EXPECT_DEATH(Play(row), row.lines[0].substr(6));
        return;
    }
    const rig::Lines lines = Play(row);
    EXPECT_EQ(lines, row.lines) << ::testing::PrintToString(lines);
}

const auto kFirst = [](UCHAR minor, int type, NTSTATUS status, size_t at = 0) {
    return [=](const std::vector<sim::DevNode*>& nodes, size_t move) {
        if (move == at)
            rig::FailPowerAtBus(nodes.front()->pdo, minor, type, status);
    };
};

// clang-format off
const TransitionRow kRows[] = {
    // Each device IRP finishes inside the system IRP that asked for it, the
    // query is over before the set is sent, and the device went down before
    // the bus heard of the system state. Waking sets S0 first and holds it
    // until the device is back in D0 (the action is the one being undone).
    {"SleepQueriesThenSetsWithTheDeviceIrpsInsideAndWakeHoldsS0UntilD0", {"modem"},
     {PowerSystemSleeping3, PowerSystemWorking},
     {"S3 ok, in S3: sleep: S-QUERY S3@1, D-QUERY D3, D-QUERY D3 ok, S-QUERY S3@1 ok, S-SET S3@1, D-SET D3, D-SET D3 ok, S-SET S3@1 ok | bus QUERY D3, QUERY S3, SET D3, SET S3 | D3 D3",
      "S0 ok, in S0: sleep: S-SET S0@1, D-SET D0, D-SET D0 ok, S-SET S0@1 ok | bus SET S0, SET D0 | D0 D0"}},
    {"ChildrenSleepBeforeParentsAndWakeAfterThem", {"modem", "child", "modem"},
     {PowerSystemHibernate, PowerSystemWorking},
     {"S4 ok, in S4: hibernate: S-QUERY S4@2 ok, S-QUERY S4@3 ok, S-QUERY S4@1 ok, S-SET S4@2 ok, S-SET S4@3 ok, S-SET S4@1 ok",
      "S0 ok, in S0: hibernate: S-SET S0@1 ok, S-SET S0@3 ok, S-SET S0@2 ok"}, nullptr, true},
    // The bus refuses the device query of the stack asked second; the
    // refused query goes up as the driver passed it.
    {"RefusedQueryKeepsTheSystemInS0AndCancelsWithS0", {"modem", "modem"}, {PowerSystemSleeping3},
     {"S3 0x80000011, in S0: sleep: S-QUERY S3@2 ok, S-QUERY S3@1 0x80000011, S-SET S0@1 ok, S-SET S0@2 ok"},
     kFirst(IRP_MN_QUERY_POWER, DevicePowerState, STATUS_DEVICE_BUSY), true},
    {"RefusedQueryWithoutCancellationSendsNoSet", {"modem"}, {PowerSystemSleeping1},
     {"S1 0xC0000001, in S0: sleep: S-QUERY S1@1, S-QUERY S1@1 0xC0000001 | bus | D? D?"},
     [](const std::vector<sim::DevNode*>&, size_t) {
         sim::SetCancelQueryWithS0(false);
         g_fdo.systemQueryStatus = STATUS_UNSUCCESSFUL;
     }},
    // The driver fails the system SET with the device's failure.
    {"FailedDeviceSetIsLoggedAndTheMachineSleepsAnyway", {"modem"}, {PowerSystemSleeping3, PowerSystemWorking},
     {"S3 ok, in S3: sleep: S-QUERY S3@1, D-QUERY D3, D-QUERY D3 ok, S-QUERY S3@1 ok, S-SET S3@1, D-SET D3, D-SET D3 0xC0000185, S-SET S3@1 0xC0000185 | bus QUERY D3, QUERY S3 | D3 D?",
      "S0 ok, in S0: sleep: S-SET S0@1, D-SET D0, D-SET D0 ok, S-SET S0@1 ok | bus SET S0, SET D0 | D0 D0"},
     kFirst(IRP_MN_SET_POWER, DevicePowerState, STATUS_IO_DEVICE_ERROR)},
    // No device IRP was made; the query came back with the request's failure.
    {"FailedDeviceIrpRequestFailsTheSystemQuery", {"modem"}, {PowerSystemSleeping3},
     {"S3 0xC000009A, in S0: sleep: S-QUERY S3@1, S-QUERY S3@1 0xC000009A, S-SET S0@1, D-SET D0, D-SET D0 ok, S-SET S0@1 ok | bus SET S0, SET D0 | D0 D0"},
     [](const std::vector<sim::DevNode*>&, size_t) { sim::PoFailRequestPowerIrp(STATUS_INSUFFICIENT_RESOURCES); }},
    {"FailedWakeOfTheBusIsPassedUpWithoutAskingForD0", {"modem"}, {PowerSystemSleeping3, PowerSystemWorking},
     {"S3 ok, in S3: sleep: S-QUERY S3@1, D-QUERY D3, D-QUERY D3 ok, S-QUERY S3@1 ok, S-SET S3@1, D-SET D3, D-SET D3 ok, S-SET S3@1 ok | bus QUERY D3, QUERY S3, SET D3, SET S3 | D3 D3",
      "S0 ok, in S0: sleep: S-SET S0@1, S-SET S0@1 0xC0000001 | bus | D3 D3"},
     kFirst(IRP_MN_SET_POWER, SystemPowerState, STATUS_UNSUCCESSFUL, 1)},
    {"StacksWithoutAStartedFunctionDriverGetNothing", {"idle"}, {PowerSystemSleeping3},
     {"S3 ok, in S3: - | bus | D? D?"}},
    // What the power manager does not let pass.
    {"DriverThatNeverStartsTheNextPowerIrpIsCaught", {"modem"}, {PowerSystemSleeping3},
     {"dies: 0x0000009F.*without calling PoStartNextPowerIrp"},
     [](const std::vector<sim::DevNode*>&, size_t) { g_fdo.forgetStartNextOnDeviceIrp = true; }},
    {"AskingForTheIrpPointerBreaksTheRequestedPowerIrpRule", {"modem"}, {PowerSystemSleeping3},
     {"dies: RequestedPowerIrp rule"},
     [](const std::vector<sim::DevNode*>&, size_t) { g_fdo.passIrpPointerToRequest = true; }},
    {"SleepToSleepIsNotATransition", {"modem"}, {PowerSystemSleeping3, PowerSystemHibernate},
     {"dies: S3 to S4"}},
};
// clang-format on
INSTANTIATE_TEST_SUITE_P(, PowerSystemTransitions, ::testing::ValuesIn(kRows),
                         rig::RowName<TransitionRow>);

} // namespace
