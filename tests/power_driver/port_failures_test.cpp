// What the port does when a step of a power transition fails: no memory, no
// device IRP from the power manager, a device IRP refused,
// the lower driver failing the system or device IRP. Every case ends with
// the remove lock back where it was.
#include "power_driver/power_fixture.h"

namespace power_driver {
namespace {

using PowerFailures = PowerPort;
using OtherPowerIrps = PowerPort;

using Strings = std::vector<std::string>;

void FailAtPdo(PDEVICE_OBJECT pdo, POWER_STATE_TYPE type, NTSTATUS status) {
    sim::PowerFault fault;
    fault.device = pdo;
    fault.minor = IRP_MN_SET_POWER;
    fault.type = type;
    fault.status = status;
    sim::PoInjectFault(fault);
}

TEST_F(PowerFailures, NoMemoryAndNoDeviceIrpStillTakeTheSystemDown) {
    // A system SET_POWER may not be failed: the context needs no memory, and
    // without a device IRP the system IRP goes down on its own.
    const LONG holds = RemoveLockCount();
    sim::FaultPlan plan;
    plan.kind = sim::AllocKind::Pool;
    plan.site = "DispatchPower";
    plan.failNth = 1;
    sim::AddFaultPlan(plan);
    sim::PoFailRequestPowerIrp(STATUS_NO_MEMORY);
    EXPECT_EQ(SendSystem(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_TRUE(sim::InjectedFaults().empty());
    EXPECT_EQ(Sequence(), (Strings{"send S-SET S3", "done S-SET S3 0x0"}));
    EXPECT_EQ(Ext()->SystemPower, PowerSystemSleeping3);
    EXPECT_EQ(Ext()->DevicePower, PowerDeviceD0);
    EXPECT_EQ(RemoveLockCount(), holds);
}

TEST_F(PowerFailures, NoDeviceIrpWhileWakingEndsWithTheLowerDriversStatus) {
    ASSERT_EQ(System(PowerSystemSleeping3), STATUS_SUCCESS);
    const LONG holds = RemoveLockCount();
    sim::ClearPowerIrpLog();
    sim::PoFailRequestPowerIrp(STATUS_NO_MEMORY);
    ASSERT_EQ(System(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(Sequence(), (Strings{"send S-SET S0", "done S-SET S0 0x0"}));
    EXPECT_EQ(Ext()->SystemPower, PowerSystemWorking);
    EXPECT_EQ(Ext()->DevicePower, PowerDeviceD3);
    EXPECT_EQ(RemoveLockCount(), holds);

    // Whoever powers the device up later is followed.
    EXPECT_EQ(SendDevice(IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->DevicePower, PowerDeviceD0);
}

TEST_F(PowerFailures, DeviceRefusingToSleepFailsTheSystemIrpWithItsStatus) {
    const LONG holds = RemoveLockCount();
    FailAtPdo(Interface().Pdo(), DevicePowerState, STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(SendSystem(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_IO_DEVICE_ERROR);
    EXPECT_EQ(Sequence(), (Strings{"send S-SET S3", "send D-SET D3", "done D-SET D3 0xC0000185",
                                   "done S-SET S3 0xC0000185"}));
    EXPECT_EQ(Ext()->SystemPower, PowerSystemWorking);
    // The power-down was recorded before it went down, and stays recorded.
    EXPECT_EQ(Ext()->DevicePower, PowerDeviceD3);
    EXPECT_TRUE(BusPowerEvents().empty());
    EXPECT_EQ(RemoveLockCount(), holds);
}

TEST_F(PowerFailures, DeviceFailingToWakeFailsTheHeldSystemIrp) {
    ASSERT_EQ(System(PowerSystemSleeping3), STATUS_SUCCESS);
    const LONG holds = RemoveLockCount();
    sim::ClearPowerIrpLog();
    FailAtPdo(Interface().Pdo(), DevicePowerState, STATUS_IO_DEVICE_ERROR);
    ASSERT_EQ(System(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(Sequence(), (Strings{"send S-SET S0", "send D-SET D0", "done D-SET D0 0xC0000185",
                                   "done S-SET S0 0xC0000185"}));
    EXPECT_EQ(Ext()->SystemPower, PowerSystemWorking);
    EXPECT_EQ(Ext()->DevicePower, PowerDeviceD3);
    EXPECT_EQ(RemoveLockCount(), holds);
}

TEST_F(PowerFailures, LowerDriverFailingTheWakeMeansNoDeviceIrp) {
    ASSERT_EQ(System(PowerSystemSleeping3), STATUS_SUCCESS);
    const LONG holds = RemoveLockCount();
    sim::ClearPowerIrpLog();
    FailAtPdo(Interface().Pdo(), SystemPowerState, STATUS_UNSUCCESSFUL);
    ASSERT_EQ(System(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(Sequence(), (Strings{"send S-SET S0", "done S-SET S0 0xC0000001"}));
    EXPECT_EQ(Ext()->SystemPower, PowerSystemSleeping3);
    EXPECT_EQ(Ext()->DevicePower, PowerDeviceD3);
    EXPECT_EQ(RemoveLockCount(), holds);
}

TEST_F(PowerFailures, LowerDriverFailingTheSleepStillRecordsIt) {
    const LONG holds = RemoveLockCount();
    FailAtPdo(Interface().Pdo(), SystemPowerState, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SendSystem(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Sequence(), (Strings{"send S-SET S3", "send D-SET D3", "done D-SET D3 0x0",
                                   "done S-SET S3 0xC0000001"}));
    EXPECT_EQ(Ext()->SystemPower, PowerSystemSleeping3);
    EXPECT_EQ(Ext()->DevicePower, PowerDeviceD3);
    EXPECT_EQ(RemoveLockCount(), holds);
}

TEST_F(PowerFailures, RefusedSystemQueryIsPassedUp) {
    sim::PowerFault fault;
    fault.device = Interface().Pdo();
    fault.minor = IRP_MN_QUERY_POWER;
    fault.type = SystemPowerState;
    fault.status = STATUS_UNSUCCESSFUL;
    sim::PoInjectFault(fault);
    EXPECT_EQ(System(PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
    // The manager calls the query off with S0; the system never slept.
    EXPECT_EQ(Sequence(), (Strings{"send S-QUERY S3", "send D-QUERY D3", "done D-QUERY D3 0x0",
                                   "done S-QUERY S3 0xC0000001", "send S-SET S0", "send D-SET D0",
                                   "done D-SET D0 0x0", "done S-SET S0 0x0"}));
    EXPECT_EQ(Ext()->SystemPower, PowerSystemWorking);
    EXPECT_EQ(Ext()->DevicePower, PowerDeviceD0);
}

// Power IRPs other than SET and QUERY go down as they came: no context, no
// device IRP, no state, no flag.
TEST_F(OtherPowerIrps, WaitWakeAndPowerSequenceArePassedDown) {
    Open();
    const LONG holds = RemoveLockCount();
    for (UCHAR minor : {UCHAR(IRP_MN_WAIT_WAKE), UCHAR(IRP_MN_POWER_SEQUENCE)}) {
        sim::ClearPowerIrpLog();
        const size_t pool = sim::PoolAllocations(node_->driver);
        // The bus has nothing to say to either and leaves the status alone.
        EXPECT_EQ(Send(minor, SystemPowerState, SystemState(PowerSystemSleeping3)),
                  STATUS_NOT_SUPPORTED);
        EXPECT_EQ(Log().size(), 1u);
        EXPECT_EQ(Requested(), 0u);
        EXPECT_EQ(sim::PoolAllocations(node_->driver), pool);
        EXPECT_FALSE(Ext()->ResumeAfterSleep);
        EXPECT_EQ(Ext()->SystemPower, PowerSystemWorking);
        EXPECT_EQ(RemoveLockCount(), holds);
    }
    Close();
}

} // namespace
} // namespace power_driver
