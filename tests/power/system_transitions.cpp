// System sleep and wake: which stacks get which power IRPs, in which order,
// how they complete, and what a refusal or a failure at any step does.
#include "pnp/stack.h"

#include <gmock/gmock.h>

#include <algorithm>

using namespace pnptest;
using ::testing::ElementsAre;

namespace {

std::string Text(const sim::PowerIrpRecord& r) {
    std::string text = r.type == SystemPowerState ? "sys " : "dev ";
    text += r.minor == IRP_MN_SET_POWER ? "SET " : r.minor == IRP_MN_QUERY_POWER ? "QUERY " : "OTHER ";
    if (r.type == SystemPowerState)
        text.append("S").append(std::to_string(r.state.SystemState - 1));
    else
        text.append("D").append(std::to_string(r.state.DeviceState - 1));
    return text;
}

std::vector<std::string> Sent(const std::vector<sim::PowerIrpRecord>& log) {
    std::vector<std::string> out;
    for (const auto& r : log)
        out.push_back(Text(r));
    return out;
}

std::vector<std::string> CompletionOrder(std::vector<sim::PowerIrpRecord> log) {
    std::sort(log.begin(), log.end(),
              [](const auto& a, const auto& b) { return a.completedSeq < b.completedSeq; });
    std::vector<std::string> out;
    for (const auto& r : log)
        out.push_back(Text(r));
    return out;
}

// The system IRPs of the log, as "<minor> <state> -> node order".
std::vector<std::string> SystemIrpTargets(const std::vector<sim::PowerIrpRecord>& log) {
    std::vector<std::string> out;
    for (const auto& r : log)
        if (r.type == SystemPowerState)
            out.push_back(Text(r) + " -> " + std::to_string(r.node ? r.node->order : 0));
    return out;
}

class PowerSystemTransitions : public StackTest {};

TEST_F(PowerSystemTransitions, SleepQueriesThenSetsWithTheDeviceIrpsInsideAndWakeHoldsS0UntilD0) {
    sim::DevNode* node = bus->Plug("modem");
    Timeline().clear();

    ASSERT_EQ(sim::SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(sim::CurrentSystemPowerState(), PowerSystemSleeping3);

    const auto log = sim::PowerIrpLog();
    EXPECT_THAT(Sent(log), ElementsAre("sys QUERY S3", "dev QUERY D3", "sys SET S3", "dev SET D3"));
    // Each device IRP finishes inside the system IRP that asked for it; the
    // query is over before the set is sent.
    EXPECT_THAT(CompletionOrder(log),
                ElementsAre("dev QUERY D3", "sys QUERY S3", "dev SET D3", "sys SET S3"));
    EXPECT_LT(log[0].completedSeq, log[2].sentSeq);
    for (const auto& r : log) {
        EXPECT_EQ(r.target, node->fdo) << Text(r); // always the top of the stack
        EXPECT_EQ(r.status, STATUS_SUCCESS) << Text(r);
        EXPECT_EQ(r.action, PowerActionSleep) << Text(r);
        EXPECT_EQ(r.requested, r.type == DevicePowerState) << Text(r);
    }
    EXPECT_EQ(log[1].requester, node->driver);
    // The device went down before the bus heard of the system state.
    EXPECT_THAT(TimelineOf("bus:"), ElementsAre("bus:QUERY D3 at IRQL 0", "bus:QUERY S3 at IRQL 0",
                                               "bus:SET D3 at IRQL 0", "bus:SET S3 at IRQL 0"));
    EXPECT_EQ(sim::PoRecordedDeviceState(node->fdo), PowerDeviceD3);
    EXPECT_EQ(sim::PoRecordedDeviceState(node->pdo), PowerDeviceD3);

    // Waking sets S0 first and holds it until the device is back in D0.
    sim::ClearPowerIrpLog();
    Timeline().clear();
    ASSERT_EQ(sim::SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(sim::CurrentSystemPowerState(), PowerSystemWorking);
    const auto wake = sim::PowerIrpLog();
    EXPECT_THAT(Sent(wake), ElementsAre("sys SET S0", "dev SET D0"));
    EXPECT_THAT(CompletionOrder(wake), ElementsAre("dev SET D0", "sys SET S0"));
    EXPECT_EQ(wake[0].action, PowerActionSleep); // the action being undone
    EXPECT_THAT(TimelineOf("bus:"), ElementsAre("bus:SET S0 at IRQL 0", "bus:SET D0 at IRQL 0"));
    EXPECT_EQ(sim::PoRecordedDeviceState(node->fdo), PowerDeviceD0);
}

TEST_F(PowerSystemTransitions, ChildrenSleepBeforeParentsAndWakeAfterThem) {
    sim::DevNode* parent = bus->Plug("modem");
    sim::PlugOptions child;
    child.parent = parent;
    bus->Plug("diagnostics", child);
    bus->Plug("modem");

    ASSERT_EQ(sim::SetSystemPowerState(PowerSystemHibernate), STATUS_SUCCESS);
    EXPECT_THAT(SystemIrpTargets(sim::PowerIrpLog()),
                ElementsAre("sys QUERY S4 -> 2", "sys QUERY S4 -> 3", "sys QUERY S4 -> 1",
                            "sys SET S4 -> 2", "sys SET S4 -> 3", "sys SET S4 -> 1"));
    EXPECT_EQ(sim::PowerIrpLog()[0].action, PowerActionHibernate);

    sim::ClearPowerIrpLog();
    ASSERT_EQ(sim::SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_THAT(SystemIrpTargets(sim::PowerIrpLog()),
                ElementsAre("sys SET S0 -> 1", "sys SET S0 -> 3", "sys SET S0 -> 2"));
}

// The bus fails the next power IRP of this kind at `pdo`.
void Fault(PDEVICE_OBJECT pdo, UCHAR minor, int type, NTSTATUS status) {
    sim::PowerFault fault;
    fault.device = pdo;
    fault.minor = minor;
    fault.type = type;
    fault.status = status;
    sim::PoInjectFault(fault);
}

// A refusal or a failure on the way: the machine set up by `prep`, the
// state asked for, what that returned, every power IRP sent ("<IRP> -> <node
// order> <final status>") and the state the machine is left in; from a
// sleep, the machine must then wake.
struct FailureRow {
    const char* name;
    std::function<void(StackTest&)> prep;
    SYSTEM_POWER_STATE target;
    NTSTATUS status;
    std::vector<std::string> log;
    SYSTEM_POWER_STATE after;
};

const FailureRow kFailures[] = {
    // The bus refuses the device query of the stack asked second; the refused
    // query comes back as the driver passed it up, and S0 cancels it.
    {"RefusedQueryKeepsTheSystemInS0AndCancelsWithS0",
     [](StackTest& t) {
         PDEVICE_OBJECT first = t.bus->Plug("modem")->pdo;
         t.bus->Plug("modem");
         Fault(first, IRP_MN_QUERY_POWER, DevicePowerState, STATUS_DEVICE_BUSY);
     },
     PowerSystemSleeping3, STATUS_DEVICE_BUSY,
     {"sys QUERY S3 -> 2 0x0", "dev QUERY D3 -> 2 0x0", "sys QUERY S3 -> 1 0x80000011",
      "dev QUERY D3 -> 1 0x80000011", "sys SET S0 -> 1 0x0", "dev SET D0 -> 1 0x0",
      "sys SET S0 -> 2 0x0", "dev SET D0 -> 2 0x0"},
     PowerSystemWorking},
    {"RefusedQueryWithoutCancellationSendsNoSet",
     [](StackTest& t) {
         t.bus->Plug("modem");
         sim::SetCancelQueryWithS0(false);
         g_fdo.systemQueryStatus = STATUS_UNSUCCESSFUL;
     },
     PowerSystemSleeping1, STATUS_UNSUCCESSFUL, {"sys QUERY S1 -> 1 0xC0000001"},
     PowerSystemWorking},
    // The device's failed SET is logged, the driver fails the system SET
    // with it, and the machine sleeps anyway.
    {"FailedDeviceSetIsLoggedAndTheMachineSleepsAnyway",
     [](StackTest& t) {
         Fault(t.bus->Plug("modem")->pdo, IRP_MN_SET_POWER, DevicePowerState,
               STATUS_IO_DEVICE_ERROR);
     },
     PowerSystemSleeping3, STATUS_SUCCESS,
     {"sys QUERY S3 -> 1 0x0", "dev QUERY D3 -> 1 0x0", "sys SET S3 -> 1 0xC0000185",
      "dev SET D3 -> 1 0xC0000185"},
     PowerSystemSleeping3},
    // No device IRP was made; the query came back with the request's failure.
    {"FailedDeviceIrpRequestFailsTheSystemQuery",
     [](StackTest& t) {
         t.bus->Plug("modem");
         sim::PoFailRequestPowerIrp(STATUS_INSUFFICIENT_RESOURCES);
     },
     PowerSystemSleeping3, STATUS_INSUFFICIENT_RESOURCES,
     {"sys QUERY S3 -> 1 0xC000009A", "sys SET S0 -> 1 0x0", "dev SET D0 -> 1 0x0"},
     PowerSystemWorking},
    {"FailedWakeOfTheBusIsPassedUpWithoutAskingForD0",
     [](StackTest& t) {
         PDEVICE_OBJECT pdo = t.bus->Plug("modem")->pdo;
         ASSERT_EQ(sim::SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
         sim::ClearPowerIrpLog();
         Fault(pdo, IRP_MN_SET_POWER, SystemPowerState, STATUS_UNSUCCESSFUL);
     },
     PowerSystemWorking, STATUS_SUCCESS, {"sys SET S0 -> 1 0xC0000001"}, PowerSystemWorking},
    {"StacksWithoutAStartedFunctionDriverGetNothing",
     [](StackTest& t) {
         sim::PlugOptions noStart;
         noStart.start = false;
         t.bus->Plug("modem", noStart);
     },
     PowerSystemSleeping3, STATUS_SUCCESS, {}, PowerSystemSleeping3},
};

class PowerFailures : public StackTest, public ::testing::WithParamInterface<FailureRow> {};

TEST_P(PowerFailures, Log) {
    const FailureRow& row = GetParam();
    row.prep(*this);
    EXPECT_EQ(sim::SetSystemPowerState(row.target), row.status);
    std::vector<std::string> log;
    char status[16];
    for (const auto& r : sim::PowerIrpLog()) {
        std::snprintf(status, sizeof status, " 0x%X", static_cast<unsigned>(r.status));
        log.push_back(Text(r) + " -> " + std::to_string(r.node ? r.node->order : 0) + status);
    }
    EXPECT_EQ(log, row.log) << ::testing::PrintToString(log);
    EXPECT_EQ(sim::CurrentSystemPowerState(), row.after);
    if (row.after != PowerSystemWorking) {
        EXPECT_EQ(sim::SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
    }
}
void PrintTo(const FailureRow& row, std::ostream* os) {
    *os << row.name;
}
INSTANTIATE_TEST_SUITE_P(, PowerFailures, ::testing::ValuesIn(kFailures), RowName<FailureRow>);

} // namespace
