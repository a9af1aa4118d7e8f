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

class PowerRequestIrp : public StackTest {};

TEST_F(PowerRequestIrp, IrpGoesToTheTopAndTheCompletionGetsWhatWindowsGives) {
    sim::DevNode* node = bus->Plug("modem");
    Seen seen;
    Timeline().clear();

    EXPECT_EQ(PoRequestPowerIrp(node->pdo, IRP_MN_SET_POWER, DeviceState(PowerDeviceD2), Record,
                                &seen, nullptr),
              STATUS_PENDING);

    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(seen.device, node->pdo); // the device named in the request, not the top
    EXPECT_EQ(seen.minor, IRP_MN_SET_POWER);
    EXPECT_EQ(seen.state.DeviceState, PowerDeviceD2);
    EXPECT_EQ(seen.context, &seen);
    EXPECT_EQ(seen.status, STATUS_SUCCESS);
    EXPECT_THAT(Timeline(), ElementsAre("fdo:SET D2", "bus:SET D2 at IRQL 0"));
    const auto log = sim::PowerIrpLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_TRUE(log[0].requested);
    EXPECT_EQ(log[0].target, node->fdo);
    EXPECT_EQ(log[0].type, DevicePowerState);
    EXPECT_EQ(log[0].action, PowerActionNone); // no system transition under way
    EXPECT_EQ(sim::PoRecordedDeviceState(node->fdo), PowerDeviceD2);

    // Asked for at DISPATCH_LEVEL, it is handed to a worker thread and
    // reaches the pagable stack at PASSIVE_LEVEL.
    Timeline().clear();
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(PoRequestPowerIrp(node->pdo, IRP_MN_SET_POWER, DeviceState(PowerDeviceD3), Record,
                                &seen, nullptr),
              STATUS_PENDING);
    KeLowerIrql(old);
    EXPECT_EQ(seen.calls, 1);
    sim::RunUntilIdle();
    EXPECT_EQ(seen.calls, 2);
    EXPECT_THAT(Timeline(), ElementsAre("fdo:SET D3", "bus:SET D3 at IRQL 0"));
}

TEST_F(PowerRequestIrp, InjectedFailureOrARequestNotMadeMeansNoIrpAndNoCompletion) {
    sim::DevNode* node = bus->Plug("modem");
    sim::PoFailRequestPowerIrp(STATUS_INSUFFICIENT_RESOURCES, /*skip*/ 1);
    Seen seen;

    EXPECT_EQ(PoRequestPowerIrp(node->pdo, IRP_MN_SET_POWER, DeviceState(PowerDeviceD1), Record,
                                &seen, nullptr),
              STATUS_PENDING);
    EXPECT_EQ(PoRequestPowerIrp(node->pdo, IRP_MN_SET_POWER, DeviceState(PowerDeviceD3), Record,
                                &seen, nullptr),
              STATUS_INSUFFICIENT_RESOURCES);
    // Nor is there one for a request a power manager does not make.
    EXPECT_EQ(PoRequestPowerIrp(node->pdo, IRP_MN_POWER_SEQUENCE, DeviceState(PowerDeviceD0),
                                Record, &seen, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(seen.calls, 1);
    EXPECT_EQ(sim::PowerIrpLog().size(), 1u);
    // The plan is used up: the next request goes through.
    EXPECT_EQ(PoRequestPowerIrp(node->pdo, IRP_MN_SET_POWER, DeviceState(PowerDeviceD0), Record,
                                &seen, nullptr),
              STATUS_PENDING);
    EXPECT_EQ(seen.calls, 2);
}

TEST_F(PowerRequestIrp, SecondIrpOfATypeWaitsForPoStartNextPowerIrp) {
    sim::DevNode* node = bus->Plug("modem");
    g_fdo.parkDeviceSetIrps = true;
    Seen seen;
    Timeline().clear();

    PoRequestPowerIrp(node->pdo, IRP_MN_SET_POWER, DeviceState(PowerDeviceD2), Record, &seen, nullptr);
    PoRequestPowerIrp(node->pdo, IRP_MN_SET_POWER, DeviceState(PowerDeviceD3), Record, &seen, nullptr);
    // The driver holds the first; the second is held by the power manager.
    EXPECT_THAT(TimelineOf("fdo:"), ElementsAre("fdo:SET D2"));
    EXPECT_EQ(fdo_->Parked(), 1u);

    fdo_->ReleaseParked();
    EXPECT_THAT(TimelineOf("fdo:"), ElementsAre("fdo:SET D2", "fdo:SET D3"));
    EXPECT_THAT(seen.order, ElementsAre(PowerDeviceD2));

    fdo_->ReleaseParked();
    EXPECT_THAT(seen.order, ElementsAre(PowerDeviceD2, PowerDeviceD3));
}

TEST_F(PowerRequestIrp, SystemAndDeviceIrpsAreSerialisedSeparately) {
    sim::DevNode* node = bus->Plug("modem");
    g_fdo.parkDeviceSetIrps = true;
    Seen seen;
    Timeline().clear();
    PoRequestPowerIrp(node->pdo, IRP_MN_SET_POWER, DeviceState(PowerDeviceD1), Record, &seen, nullptr);
    ASSERT_EQ(fdo_->Parked(), 1u);

    NTSTATUS queryStatus = STATUS_PENDING;
    sim::Thread asker("system query", [&] {
        queryStatus = sim::PoSendPowerIrp(node->pdo, IRP_MN_QUERY_POWER, SystemPowerState,
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
    EXPECT_EQ(seen.calls, 1);
}

using PowerRequestIrpDeathTest = PowerRequestIrp;

TEST_F(PowerRequestIrpDeathTest, DeletingADeviceWithAPowerIrpActiveIsCaught) {
    sim::DevNode* node = bus->Plug("modem");
    g_fdo.parkDeviceSetIrps = true;
    Seen seen;
    PoRequestPowerIrp(node->pdo, IRP_MN_SET_POWER, DeviceState(PowerDeviceD3), Record, &seen, nullptr);
    EXPECT_DEATH(sim::PoDeviceDeleted(node->fdo), "0x0000009F.*still active");
    fdo_->ReleaseParked();
}

} // namespace
