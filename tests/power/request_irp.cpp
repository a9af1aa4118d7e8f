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
    PDEVICE_OBJECT device = nullptr;
    UCHAR minor = 0xFF;
    POWER_STATE state{};
    PVOID context = nullptr;
    NTSTATUS status = STATUS_PENDING;
    std::vector<DEVICE_POWER_STATE> order;
};

VOID NTAPI Record(PDEVICE_OBJECT device, UCHAR minor, POWER_STATE state, PVOID context,
                  PIO_STATUS_BLOCK io) {
    auto* seen = static_cast<Seen*>(context);
    ++seen->calls;
    seen->device = device;
    seen->minor = minor;
    seen->state = state;
    seen->context = context;
    seen->status = io->Status;
    seen->order.push_back(state.DeviceState);
}

// A started modem stack; Ask requests a device power IRP for its PDO as its
// function driver would, the completion recorded in seen_.
class PowerRequestIrp : public StackTest {
protected:
    void SetUp() override {
        StackTest::SetUp();
        node_ = bus->Plug("modem");
        Timeline().clear();
    }
    NTSTATUS Ask(DEVICE_POWER_STATE state, UCHAR minor = IRP_MN_SET_POWER) {
        return PoRequestPowerIrp(node_->pdo, minor, DeviceState(state), Record, &seen_, nullptr);
    }
    sim::DevNode* node_ = nullptr;
    Seen seen_;
};

TEST_F(PowerRequestIrp, IrpGoesToTheTopAndTheCompletionGetsWhatWindowsGives) {
    EXPECT_EQ(Ask(PowerDeviceD2), STATUS_PENDING);
    EXPECT_EQ(seen_.calls, 1);
    EXPECT_EQ(seen_.device, node_->pdo); // the device named in the request, not the top
    EXPECT_EQ(seen_.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(seen_.state.DeviceState, PowerDeviceD2);
    EXPECT_EQ(seen_.context, &seen_);
    EXPECT_EQ(seen_.status, STATUS_SUCCESS);
    EXPECT_THAT(Timeline(), ElementsAre("fdo:SET D2", "bus:SET D2 at IRQL 0"));
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
    EXPECT_EQ(seen_.calls, 1);
    sim::RunUntilIdle();
    EXPECT_EQ(seen_.calls, 2);
    EXPECT_THAT(Timeline(), ElementsAre("fdo:SET D3", "bus:SET D3 at IRQL 0"));
}

TEST_F(PowerRequestIrp, InjectedFailureOrARequestNotMadeMeansNoIrpAndNoCompletion) {
    sim::PoFailRequestPowerIrp(STATUS_INSUFFICIENT_RESOURCES, /*skip*/ 1);
    EXPECT_EQ(Ask(PowerDeviceD1), STATUS_PENDING);
    EXPECT_EQ(Ask(PowerDeviceD3), STATUS_INSUFFICIENT_RESOURCES);
    // Nor is there one for a request a power manager does not make.
    EXPECT_EQ(Ask(PowerDeviceD0, IRP_MN_POWER_SEQUENCE), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(seen_.calls, 1);
    EXPECT_EQ(sim::PowerIrpLog().size(), 1u);
    // The plan is used up: the next request goes through.
    EXPECT_EQ(Ask(PowerDeviceD0), STATUS_PENDING);
    EXPECT_EQ(seen_.calls, 2);
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
    EXPECT_THAT(seen_.order, ElementsAre(PowerDeviceD2));

    fdo_->ReleaseParked();
    EXPECT_THAT(seen_.order, ElementsAre(PowerDeviceD2, PowerDeviceD3));
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
    EXPECT_EQ(seen_.calls, 1);
}

using PowerRequestIrpDeathTest = PowerRequestIrp;

TEST_F(PowerRequestIrpDeathTest, DeletingADeviceWithAPowerIrpActiveIsCaught) {
    g_fdo.parkDeviceSetIrps = true;
    Ask(PowerDeviceD3);
    EXPECT_DEATH(sim::PoDeviceDeleted(node_->fdo), "0x0000009F.*still active");
    fdo_->ReleaseParked();
}

} // namespace
