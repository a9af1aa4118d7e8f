// PoRequestPowerIrp: the device power IRP goes to the top of the stack, the
// completion function gets what Windows gives it, one IRP of a type at a
// time per device, PASSIVE_LEVEL for pagable devices, and injected failures.
#include "pnp/stack.h"
#include "platform/sim/api_pnp.h"

#include <gmock/gmock.h>

using namespace pnptest;
using ::testing::ElementsAre;

namespace {

// The completion function notes what it got ("done SET D2 0x0"), checking it
// is handed the device named in the request (not the top of its stack) and
// the caller's context.
VOID NTAPI Record(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                  PIO_STATUS_BLOCK io) {
    EXPECT_EQ(device, static_cast<sim::DevNode*>(context)->pdo);
    std::string note = minor == IRP_MN_SET_POWER ? "done SET D" : "done QUERY D";
    note += std::to_string(state.DeviceState - 1) + " ";
    Note(note + rig::Hex(io->Status));
}

// A started modem stack; Ask requests a device power IRP for its PDO as its
// function driver would.
class PowerRequestIrp : public StackTest {
protected:
    void SetUp() override {
        StackTest::SetUp();
        node_ = Plug("modem");
        Timeline().clear();
    }
    NTSTATUS Ask(DEVICE_POWER_STATE state, UCHAR minor = IRP_MN_SET_POWER) {
        return PoRequestPowerIrp(node_->pdo, minor, DeviceState(state), Record, node_, nullptr);
    }
    sim::DevNode* node_ = nullptr;
};

TEST_F(PowerRequestIrp, IrpGoesToTheTopAndTheCompletionGetsWhatWindowsGives) {
    EXPECT_EQ(Ask(PowerDeviceD2), STATUS_PENDING);
    EXPECT_THAT(Timeline(), ElementsAre("fdo:SET D2", "bus:SET D2 at IRQL 0", "done SET D2 0x0"));
    const auto log = sim::PowerIrpLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(log[0].requested);
    EXPECT_EQ(log[0].target, node_->fdo);
    EXPECT_EQ(log[0].type, DevicePowerState);
    EXPECT_EQ(log[0].action, PowerActionNone); // no system transition under way
    EXPECT_EQ(sim::PoRecordedDeviceState(node_->fdo), PowerDeviceD2);

    // Asked for at DISPATCH_LEVEL, it is handed to a worker thread and
    // reaches the pagable stack at PASSIVE_LEVEL.
    Timeline().clear();
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(Ask(PowerDeviceD3), STATUS_PENDING);
    KeLowerIrql(old);
    EXPECT_TRUE(Timeline().empty());
    sim::RunUntilIdle();
    EXPECT_THAT(Timeline(), ElementsAre("fdo:SET D3", "bus:SET D3 at IRQL 0", "done SET D3 0x0"));
}

TEST_F(PowerRequestIrp, InjectedFailureOrARequestNotMadeMeansNoIrpAndNoCompletion) {
    sim::PoFailRequestPowerIrp(STATUS_INSUFFICIENT_RESOURCES, /*skip*/ 1);
    EXPECT_EQ(Ask(PowerDeviceD1), STATUS_PENDING);
    EXPECT_EQ(Ask(PowerDeviceD3), STATUS_INSUFFICIENT_RESOURCES);
    // Nor is there one for a request a power manager does not make.
    EXPECT_EQ(Ask(PowerDeviceD0, IRP_MN_POWER_SEQUENCE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(sim::PowerIrpLog().size(), 1u);
    // The plan is used up: the next request goes through.
    EXPECT_EQ(Ask(PowerDeviceD0), STATUS_PENDING);
    EXPECT_THAT(TimelineOf("done"), ElementsAre("done SET D1 0x0", "done SET D0 0x0"));
}

TEST_F(PowerRequestIrp, SecondIrpOfATypeWaitsForPoStartNextPowerIrp) {
    g_fdo.parkDeviceSetIrps = true;
    Ask(PowerDeviceD2);
    Ask(PowerDeviceD3);
    // The driver holds the first; the second is held by the power manager.
    EXPECT_THAT(TimelineOf("fdo:"), ElementsAre("fdo:SET D2"));
    EXPECT_EQ(fdo_->Parked(), 1u);

    fdo_->ReleaseParked();
    EXPECT_THAT(TimelineOf("fdo:"), ElementsAre("fdo:SET D2", "fdo:SET D3"));
    EXPECT_THAT(TimelineOf("done"), ElementsAre("done SET D2 0x0"));

    fdo_->ReleaseParked();
    EXPECT_THAT(TimelineOf("done"), ElementsAre("done SET D2 0x0", "done SET D3 0x0"));
}

TEST_F(PowerRequestIrp, SystemAndDeviceIrpsAreSerialisedSeparately) {
    g_fdo.parkDeviceSetIrps = true;
    Ask(PowerDeviceD1);
    ASSERT_EQ(fdo_->Parked(), 1u);

    NTSTATUS queryStatus = STATUS_PENDING;
    sim::Thread asker("system query", [&] {
        queryStatus = sim::PoSendPowerIrp(node_->pdo, IRP_MN_QUERY_POWER, SystemPowerState,
                                          SystemState(PowerSystemSleeping3));
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
    EXPECT_THAT(TimelineOf("done"), ElementsAre("done SET D1 0x0"));
}

using PowerRequestIrpDeathTest = PowerRequestIrp;

TEST_F(PowerRequestIrpDeathTest, DeletingADeviceWithAPowerIrpActiveIsCaught) {
    g_fdo.parkDeviceSetIrps = true;
    Ask(PowerDeviceD3);
    EXPECT_DEATH(sim::PoDeviceDeleted(node_->fdo), "0x0000009F.*still active");
    fdo_->ReleaseParked();
}

} // namespace
