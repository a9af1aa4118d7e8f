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
    text += r.minor == IRP_MN_SET_POWER     ? "SET "
            : r.minor == IRP_MN_QUERY_POWER ? "QUERY "
                                            : "OTHER ";
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
    return Sent(log);
}

// The system IRPs of the log, as "<minor> <state> -> node order".
std::vector<std::string> SystemIrpTargets(const std::vector<sim::PowerIrpRecord>& log) {
    std::vector<std::string> out;
    for (const auto& r : log)
        if (r.type == SystemPowerState)
            out.push_back(Text(r) + " -> " + std::to_string(r.node ? r.node->order : 0));
    return out;
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

TEST_F(PowerSystemTransitions, RefusedQueryKeepsTheSystemInS0AndCancelsWithS0) {
    sim::DevNode* first = bus->Plug("modem");
    bus->Plug("modem");
    // The bus refuses the device query of the stack asked second.
    Fault(first->pdo, IRP_MN_QUERY_POWER, DevicePowerState, STATUS_DEVICE_BUSY);

    EXPECT_EQ(sim::SetSystemPowerState(PowerSystemSleeping3), STATUS_DEVICE_BUSY);
    EXPECT_EQ(sim::CurrentSystemPowerState(), PowerSystemWorking);
    const auto log = sim::PowerIrpLog();
    EXPECT_THAT(SystemIrpTargets(log), ElementsAre("sys QUERY S3 -> 2", "sys QUERY S3 -> 1",
                                                   "sys SET S0 -> 1", "sys SET S0 -> 2"));
    EXPECT_EQ(log[2].status, STATUS_DEVICE_BUSY); // the refused query, as the driver passed it up
}

TEST_F(PowerSystemTransitions, RefusedQueryWithoutCancellationSendsNoSet) {
    bus->Plug("modem");
    sim::SetCancelQueryWithS0(false);
    g_fdo.systemQueryStatus = STATUS_UNSUCCESSFUL;

    EXPECT_EQ(sim::SetSystemPowerState(PowerSystemSleeping1), STATUS_UNSUCCESSFUL);
    EXPECT_THAT(Sent(sim::PowerIrpLog()), ElementsAre("sys QUERY S1"));
    EXPECT_EQ(sim::CurrentSystemPowerState(), PowerSystemWorking);
}

TEST_F(PowerSystemTransitions, FailedDeviceSetIsLoggedAndTheMachineSleepsAnyway) {
    sim::DevNode* node = bus->Plug("modem");
    Fault(node->pdo, IRP_MN_SET_POWER, DevicePowerState, STATUS_IO_DEVICE_ERROR);

    EXPECT_EQ(sim::SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(sim::CurrentSystemPowerState(), PowerSystemSleeping3);
    const auto log = sim::PowerIrpLog();
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log[3].status, STATUS_IO_DEVICE_ERROR); // dev SET D3
    EXPECT_EQ(log[2].status, STATUS_IO_DEVICE_ERROR); // sys SET S3, failed by the driver
    EXPECT_EQ(sim::SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
}

TEST_F(PowerSystemTransitions, FailedDeviceIrpRequestFailsTheSystemQuery) {
    bus->Plug("modem");
    sim::PoFailRequestPowerIrp(STATUS_INSUFFICIENT_RESOURCES);

    EXPECT_EQ(sim::SetSystemPowerState(PowerSystemSleeping3), STATUS_INSUFFICIENT_RESOURCES);
    // No device IRP was made; the query came back with the request's failure.
    EXPECT_THAT(Sent(sim::PowerIrpLog()), ElementsAre("sys QUERY S3", "sys SET S0", "dev SET D0"));
    EXPECT_EQ(sim::CurrentSystemPowerState(), PowerSystemWorking);
}

TEST_F(PowerSystemTransitions, FailedWakeOfTheBusIsPassedUpWithoutAskingForD0) {
    sim::DevNode* node = bus->Plug("modem");
    ASSERT_EQ(sim::SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
    sim::ClearPowerIrpLog();
    Fault(node->pdo, IRP_MN_SET_POWER, SystemPowerState, STATUS_UNSUCCESSFUL);

    ASSERT_EQ(sim::SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
    const auto log = sim::PowerIrpLog();
    EXPECT_THAT(Sent(log), ElementsAre("sys SET S0"));
    EXPECT_EQ(log[0].status, STATUS_UNSUCCESSFUL);
}

TEST_F(PowerSystemTransitions, StacksWithoutAStartedFunctionDriverGetNothing) {
    sim::PlugOptions noStart;
    noStart.start = false;
    bus->Plug("modem", noStart);
    ASSERT_EQ(sim::SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_TRUE(sim::PowerIrpLog().empty());
}

using PowerSystemTransitionsDeathTest = PowerSystemTransitions;

TEST_F(PowerSystemTransitionsDeathTest, DriverThatNeverStartsTheNextPowerIrpIsCaught) {
    bus->Plug("modem");
    g_fdo.forgetStartNextOnDeviceIrp = true;
    EXPECT_DEATH(sim::SetSystemPowerState(PowerSystemSleeping3),
                 "0x0000009F.*without calling PoStartNextPowerIrp");
    g_fdo.forgetStartNextOnDeviceIrp = false;
}

TEST_F(PowerSystemTransitionsDeathTest, SleepToSleepIsNotATransition) {
    bus->Plug("modem");
    ASSERT_EQ(sim::SetSystemPowerState(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_DEATH(sim::SetSystemPowerState(PowerSystemHibernate), "S3 to S4");
    ASSERT_EQ(sim::SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
}

} // namespace
