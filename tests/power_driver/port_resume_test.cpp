// An open port across a system sleep: the sleep is noted (S3 and S4 only),
// the phone's transfers fail without marking the device lost, and at S0 the
// pipes are reset and reception restarted before the device is back in D0.
#include "power_driver/power_fixture.h"

namespace power_driver {
namespace {

using SleepFlag = PowerPort;
using OpenPortResume = PowerPort;

// Completions of transfers on `pipe` with `status` that the phone's timeline
// shows.
size_t Completions(usb::Phone& phone, usb::Pipe pipe, NTSTATUS status) {
    size_t n = 0;
    for (const auto& e : phone.Timeline())
        n += e.kind == usb::EventKind::Complete && e.pipe == pipe && e.status == status;
    return n;
}

class SleepWithPortOpen : public PowerPort,
                          public ::testing::WithParamInterface<SYSTEM_POWER_STATE> {};

TEST_P(SleepWithPortOpen, DataFlowsBeforeAndAfterAndTheSleepLeavesNoTrace) {
    Open();
    ASSERT_EQ(RoundTripIn("before sleep"), "before sleep");
    ASSERT_EQ(RoundTripOut("AT\r"), "AT\r");
    const LONG holds = RemoveLockCount();
    const unsigned resets = Resets();
    phone_->ClearTimeline();

    ASSERT_EQ(System(GetParam()), STATUS_SUCCESS);
    EXPECT_TRUE(Ext()->ResumeAfterSleep);
    // Powering the phone down failed the transfer it held; nothing was
    // aborted or reset for the sleep, and the device is not taken for lost.
    EXPECT_EQ(Completions(*phone_, usb::Pipe::BulkIn, STATUS_CANCELLED), 1u);
#if VARIANT_MODEM
    EXPECT_EQ(Completions(*phone_, usb::Pipe::InterruptIn, STATUS_CANCELLED), 1u);
#endif
    EXPECT_EQ(Interface().Aborts(usb::Pipe::BulkIn), 0u);
    EXPECT_EQ(Resets(), resets);
    EXPECT_EQ(Ext()->DeviceLostCode, 0u);
    EXPECT_EQ(Interface().Outstanding(usb::Pipe::BulkIn), 0u);

    ASSERT_EQ(System(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_FALSE(Ext()->ResumeAfterSleep);
    EXPECT_EQ(Ext()->DeviceLostCode, 0u);
    EXPECT_EQ(Interface().Resets(usb::Pipe::BulkIn), 2u);
    EXPECT_EQ(Interface().Resets(usb::Pipe::BulkOut), 2u);
    EXPECT_EQ(Interface().Resets(usb::Pipe::InterruptIn), 2u);
    // The resets came before the phone was powered again, and reception was
    // back on every receive pipe once it was.
    std::vector<std::string> order;
    for (const auto& e : phone_->Timeline())
        if (e.kind == usb::EventKind::Reset || e.kind == usb::EventKind::Power)
            order.push_back(e.Text());
    ASSERT_EQ(order.size(), 5u);
    EXPECT_EQ(order.back().find("power"), 0u) << order.back();
    EXPECT_EQ(Interface().Outstanding(usb::Pipe::BulkIn), 1u);
#if VARIANT_MODEM
    EXPECT_EQ(Interface().Outstanding(usb::Pipe::InterruptIn), 1u);
#endif
    EXPECT_EQ(RemoveLockCount(), holds);

    EXPECT_EQ(RoundTripIn("after wake"), "after wake");
    EXPECT_EQ(RoundTripOut("ATZ\r"), "ATZ\r");
    Close();
}

INSTANTIATE_TEST_SUITE_P(SleepingStates, SleepWithPortOpen,
                         ::testing::Values(PowerSystemSleeping3, PowerSystemHibernate), SleepName);

TEST_F(SleepFlag, ShallowSleepsLeaveTheFlagAloneAndWakeResetsNothing) {
    Open();
    const unsigned resets = Resets();
    for (SYSTEM_POWER_STATE s : {PowerSystemSleeping1, PowerSystemSleeping2}) {
        EXPECT_EQ(SendSystem(IRP_MN_QUERY_POWER, s), STATUS_SUCCESS);
        EXPECT_FALSE(Ext()->ResumeAfterSleep);
        ASSERT_EQ(System(s), STATUS_SUCCESS);
        EXPECT_FALSE(Ext()->ResumeAfterSleep) << "S" << s - 1;
        ASSERT_EQ(System(PowerSystemWorking), STATUS_SUCCESS);
    }
    EXPECT_EQ(Resets(), resets);
    Close();
}

TEST_F(SleepFlag, AQueryForS3OrS4SetsIt) {
    Open();
    for (SYSTEM_POWER_STATE s : {PowerSystemSleeping3, PowerSystemHibernate}) {
        EXPECT_EQ(SendSystem(IRP_MN_QUERY_POWER, s), STATUS_SUCCESS);
        EXPECT_TRUE(Ext()->ResumeAfterSleep) << "S" << s - 1;
        EXPECT_EQ(SendSystem(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
        EXPECT_FALSE(Ext()->ResumeAfterSleep);
    }
    EXPECT_EQ(RoundTripIn("still here"), "still here");
    Close();
}

TEST_F(SleepFlag, ShutdownLeavesItAlone) {
    Open();
    EXPECT_EQ(SendSystem(IRP_MN_QUERY_POWER, PowerSystemShutdown), STATUS_SUCCESS);
    EXPECT_FALSE(Ext()->ResumeAfterSleep);
    EXPECT_EQ(SendSystem(IRP_MN_SET_POWER, PowerSystemShutdown), STATUS_SUCCESS);
    EXPECT_FALSE(Ext()->ResumeAfterSleep);
    EXPECT_EQ(Ext()->SystemPower, PowerSystemShutdown);
    Close();
}

TEST_F(SleepFlag, WakeWithoutASleepResetsNothing) {
    Open();
    const unsigned resets = Resets();
    EXPECT_EQ(SendSystem(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(Resets(), resets);
    EXPECT_EQ(Interface().Outstanding(usb::Pipe::BulkIn), 1u);
    Close();
}

TEST_F(SleepFlag, ClosedPortIsNotTouchedAtWakeAndTheNextOpenClearsIt) {
    EXPECT_EQ(SendSystem(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_FALSE(Ext()->ResumeAfterSleep); // not open: nothing to note

    Open();
    EXPECT_EQ(SendSystem(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_TRUE(Ext()->ResumeAfterSleep);
    Close();
    const unsigned resets = Resets();
    EXPECT_EQ(SendSystem(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(Resets(), resets);
    EXPECT_EQ(Interface().Outstanding(usb::Pipe::BulkIn), 0u);
    EXPECT_TRUE(Ext()->ResumeAfterSleep);

    Open();
    EXPECT_FALSE(Ext()->ResumeAfterSleep);
    EXPECT_EQ(RoundTripIn("reopened"), "reopened");
    Close();
}

// The system noted a sleep that never reached the phone: another driver
// refused the query and the manager called it off with S0. The receive
// transfers are still pending at the bus; the wake must not send their URBs
// a second time.
TEST_F(OpenPortResume, CalledOffQueryRestartsReceptionOnce) {
    Open();
    const LONG holds = RemoveLockCount();
    sim::PowerFault fault;
    fault.device = Interface().Pdo();
    fault.minor = IRP_MN_QUERY_POWER;
    fault.type = SystemPowerState;
    fault.status = STATUS_UNSUCCESSFUL;
    sim::PoInjectFault(fault);

    EXPECT_EQ(System(PowerSystemSleeping3), STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(Ext()->ResumeAfterSleep);
    EXPECT_EQ(Ext()->DeviceLostCode, 0u);
    EXPECT_EQ(Interface().Outstanding(usb::Pipe::BulkIn), 1u);
#if VARIANT_MODEM
    EXPECT_EQ(Interface().Outstanding(usb::Pipe::InterruptIn), 1u);
#endif
    EXPECT_EQ(RemoveLockCount(), holds);
    EXPECT_EQ(RoundTripIn("no sleep after all"), "no sleep after all");
    Close();
}

// The same when the phone refused to power down: the system slept, the
// device never did.
TEST_F(OpenPortResume, PhoneThatNeverPoweredDownIsRestartedOnce) {
    Open();
    sim::PowerFault fault;
    fault.device = Interface().Pdo();
    fault.minor = IRP_MN_SET_POWER;
    fault.type = DevicePowerState;
    fault.status = STATUS_IO_DEVICE_ERROR;
    sim::PoInjectFault(fault);

    ASSERT_EQ(System(PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_TRUE(Ext()->ResumeAfterSleep);
    EXPECT_EQ(Interface().Outstanding(usb::Pipe::BulkIn), 1u);
    ASSERT_EQ(System(PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(Ext()->DeviceLostCode, 0u);
    EXPECT_EQ(Interface().Outstanding(usb::Pipe::BulkIn), 1u);
    EXPECT_EQ(RoundTripIn("awake"), "awake");
    Close();
}

#if VARIANT_DIAG
// Each sleep fails the transfer the phone held, and the driver counts failed
// transfers towards its limit of 20 since the open. Sleeps are not the
// phone's fault: after many of them one ordinary failure is still retried.
TEST_F(OpenPortResume, SleepsDoNotUseUpTheErrorAllowance) {
    Open();
    for (int i = 0; i < 25; i++) {
        ASSERT_EQ(System(PowerSystemSleeping3), STATUS_SUCCESS);
        ASSERT_EQ(System(PowerSystemWorking), STATUS_SUCCESS);
    }
    Interface().FailNext(usb::Pipe::BulkIn, STATUS_UNSUCCESSFUL, USBD_STATUS_CRC);
    sim::RunUntilIdle();
    EXPECT_EQ(Ext()->DeviceLostCode, 0u);
    EXPECT_EQ(Interface().Outstanding(usb::Pipe::BulkIn), 1u);
    EXPECT_EQ(RoundTripIn("still alive"), "still alive");
    Close();
}
#endif

} // namespace
} // namespace power_driver
