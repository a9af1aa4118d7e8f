// The order of power IRPs the port makes for each system transition, and
// the system and device states it records on the way.
#include "power_driver/power_fixture.h"

namespace power_driver {
namespace {

using SleepSequence = PowerPort;
using QueryAndCurrentState = PowerPort;
using DeviceStateChoice = PowerPort;

using Strings = std::vector<std::string>;

class SleepAndWake : public PowerPort, public ::testing::WithParamInterface<SYSTEM_POWER_STATE> {};

// The device goes to sleep before the system IRP goes down, and wakes only
// after the system IRP has come back up.
TEST_P(SleepAndWake, DeviceFirstGoingDownSystemFirstComingUp) {
    const SYSTEM_POWER_STATE sleep = GetParam();
    const std::string s = std::string("S").append(std::to_string(sleep - 1));
    std::vector<SYSTEM_POWER_STATE> systemAtBus;
    phone_->SetEventHook([&](const usb::BusEvent& e) {
        if (e.kind == usb::EventKind::Power)
            systemAtBus.push_back(Ext()->SystemPower);
    });
    const LONG holds = RemoveLockCount();

    ASSERT_EQ(System(sleep), STATUS_SUCCESS);
    EXPECT_EQ(Sequence(), (Strings{"send S-QUERY " + s, "send D-QUERY D3", "done D-QUERY D3 0x0",
                                   "done S-QUERY " + s + " 0x0", "send S-SET " + s, "send D-SET D3",
                                   "done D-SET D3 0x0", "done S-SET " + s + " 0x0"}));
    EXPECT_EQ(Ext()->SystemPower, sleep);
    EXPECT_EQ(Ext()->DevicePower, PowerDeviceD3);
    // When D3 reached the bus, the system IRP had not yet been down.
    EXPECT_EQ(systemAtBus, (std::vector<SYSTEM_POWER_STATE>{PowerSystemWorking}));
    EXPECT_EQ(RemoveLockCount(), holds);

    sim::ClearPowerIrpLog();
    ASSERT_EQ(System(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(Sequence(), (Strings{"send S-SET S0", "send D-SET D0", "done D-SET D0 0x0",
                                   "done S-SET S0 0x0"}));
    EXPECT_EQ(Ext()->SystemPower, PowerSystemWorking);
    EXPECT_EQ(Ext()->DevicePower, PowerDeviceD0);
    // When D0 reached the bus, the S0 IRP had been down and back.
    EXPECT_EQ(systemAtBus,
              (std::vector<SYSTEM_POWER_STATE>{PowerSystemWorking, PowerSystemWorking}));
    EXPECT_EQ(BusPowerEvents(), (std::vector<ULONG>{PowerDeviceD3, PowerDeviceD0}));
    EXPECT_EQ(RemoveLockCount(), holds);
    phone_->SetEventHook(nullptr);
}

INSTANTIATE_TEST_SUITE_P(SleepingStates, SleepAndWake,
                         ::testing::Values(PowerSystemSleeping3, PowerSystemHibernate), SleepName);

TEST_F(SleepSequence, ShallowSleepAlsoTakesTheDeviceToD3) {
    ASSERT_EQ(System(PowerSystemSleeping1), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->SystemPower, PowerSystemSleeping1);
    EXPECT_EQ(Ext()->DevicePower, PowerDeviceD3);
    ASSERT_EQ(System(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->DevicePower, PowerDeviceD0);
}

// A query asks the device the same question and changes nothing.
TEST_F(QueryAndCurrentState, SystemQueryBecomesDeviceQueryAndRecordsNothing) {
    const LONG holds = RemoveLockCount();
    EXPECT_EQ(SendSystem(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(Sequence(), (Strings{"send S-QUERY S3", "send D-QUERY D3", "done D-QUERY D3 0x0",
                                   "done S-QUERY S3 0x0"}));
    EXPECT_EQ(Ext()->SystemPower, PowerSystemWorking);
    EXPECT_EQ(Ext()->DevicePower, PowerDeviceD0);
    EXPECT_TRUE(BusPowerEvents().empty());
    EXPECT_EQ(RemoveLockCount(), holds);
}

TEST_F(QueryAndCurrentState, DeviceQueryIsPassedDownAndRecordsNothing) {
    EXPECT_EQ(SendDevice(IRP_MN_QUERY_POWER, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(Sequence(), (Strings{"send D-QUERY D3", "done D-QUERY D3 0x0"}));
    EXPECT_EQ(Ext()->DevicePower, PowerDeviceD0);
}

// A request for the state the system is already in takes the sleep order:
// the device is asked first. Seen by failing the system IRP below: the
// device IRP was requested all the same, before it.
TEST_F(QueryAndCurrentState, RequestForCurrentSystemStateAsksTheDeviceFirst) {
    sim::PowerFault fault;
    fault.device = Interface().Pdo();
    fault.minor = IRP_MN_SET_POWER;
    fault.type = SystemPowerState;
    fault.status = STATUS_UNSUCCESSFUL;
    sim::PoInjectFault(fault);

    EXPECT_EQ(SendSystem(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Sequence(), (Strings{"send S-SET S0", "send D-SET D0", "done D-SET D0 0x0",
                                   "done S-SET S0 0xC0000001"}));
    EXPECT_EQ(Ext()->SystemPower, PowerSystemWorking);
    EXPECT_EQ(Ext()->DevicePower, PowerDeviceD0);
}

TEST_F(QueryAndCurrentState, DeviceSetToCurrentStateIsForwardedAndChangesNothing) {
    const LONG holds = RemoveLockCount();
    EXPECT_EQ(SendDevice(IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(Sequence(), (Strings{"send D-SET D0", "done D-SET D0 0x0"}));
    EXPECT_EQ(BusPowerEvents(), (std::vector<ULONG>{PowerDeviceD0}));
    EXPECT_EQ(Ext()->DevicePower, PowerDeviceD0);
    EXPECT_EQ(RemoveLockCount(), holds);
}

// The bus offers D2 for S1 to S3; the port still asks for D3.
TEST_F(DeviceStateChoice, BusOffersD2ButD3IsAsked) {
    ASSERT_TRUE(node_->capabilitiesValid);
    ASSERT_EQ(Ext()->DeviceCapabilities.DeviceState[PowerSystemSleeping3], PowerDeviceD2);
    EXPECT_EQ(SendSystem(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    auto log = Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_TRUE(log[1].requested);
    EXPECT_EQ(log[1].state.DeviceState, PowerDeviceD3);
}

// With no capabilities stored (no query ever succeeded), or with D1 in the
// table, every sleeping state still maps to D3.
TEST_F(DeviceStateChoice, NoCapabilitiesOrD1EntryGivesD3) {
    RtlZeroMemory(&Ext()->DeviceCapabilities, sizeof(DEVICE_CAPABILITIES));
    for (SYSTEM_POWER_STATE s : {PowerSystemSleeping1, PowerSystemSleeping2, PowerSystemSleeping3,
                                 PowerSystemHibernate, PowerSystemShutdown}) {
        sim::ClearPowerIrpLog();
        EXPECT_EQ(SendSystem(IRP_MN_QUERY_POWER, s), STATUS_SUCCESS);
        auto log = Log();
        ASSERT_EQ(log.size(), 2u);
        EXPECT_EQ(log[1].state.DeviceState, PowerDeviceD3) << "S" << s - 1;
    }
    Ext()->DeviceCapabilities.DeviceState[PowerSystemSleeping1] = PowerDeviceD1;
    sim::ClearPowerIrpLog();
    EXPECT_EQ(SendSystem(IRP_MN_QUERY_POWER, PowerSystemSleeping1), STATUS_SUCCESS);
    auto log = Log();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1].state.DeviceState, PowerDeviceD3);
}

} // namespace
} // namespace power_driver
