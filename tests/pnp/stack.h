// The Plug and Play and power manager suites' machine: a kernel, a bus
// driver that owns the physical device objects, and a WDM function driver
// (service "vxtest", for kinds "modem" and "diagnostics") that attaches above
// them. Both are fake drivers writing one timeline ("fdo:START",
// "bus:START", ...).
#pragma once

#include "common/fake_driver.h"
#include "common/pnp_rows.h"
#include "platform/sim/sim.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace pnptest {

using fake::DeviceState;
using fake::Note;
using fake::SystemState;
using fake::Timeline;
using fake::TimelineOf;

// What the function driver does, per test (read while it runs).
struct FdoKnobs : fake::PowerKnobs {
    bool failRemove = false; // complete REMOVE with an error (a rule violation)
};
inline FdoKnobs g_fdo;

// What the bus does at its PDOs.
struct BusKnobs {
    NTSTATUS startStatus = STATUS_SUCCESS;
};
inline BusKnobs g_bus;

// A PDO's extension: whether the bus still reports it.
struct PdoExtension {
    BOOLEAN gone;
};

inline fake::Config FdoConfig() {
    auto opened = [](PDEVICE_OBJECT device) { return fake::Driver::Opens(device) > 0; };
    // What the bus answered, with the function driver's change.
    auto surpriseOk = [](PDEVICE_OBJECT, PIRP irp) {
        IoGetCurrentIrpStackLocation(irp)
            ->Parameters.DeviceCapabilities.Capabilities->SurpriseRemovalOK = 1;
        return STATUS_SUCCESS;
    };
    return {.name = "vxtest", .label = "fdo",
            .rules = {{.major = IRP_MJ_PNP, .minor = IRP_MN_REMOVE_DEVICE, .status = STATUS_UNSUCCESSFUL,
                       .when = [](PDEVICE_OBJECT) { return g_fdo.failRemove; }},
                      // A handle open refuses both queries.
                      {.major = IRP_MJ_PNP, .minor = IRP_MN_QUERY_STOP_DEVICE,
                       .status = STATUS_DEVICE_BUSY, .when = opened},
                      {.major = IRP_MJ_PNP, .minor = IRP_MN_QUERY_REMOVE_DEVICE,
                       .status = STATUS_DEVICE_BUSY, .when = opened},
                      {.major = IRP_MJ_PNP, .minor = IRP_MN_QUERY_CAPABILITIES,
                       .act = fake::Act::ForwardAndWait, .run = surpriseOk}},
            .deviceType = FILE_DEVICE_SERIAL_PORT, .wdm = true, .readPortName = true,
            .power = &g_fdo};
}

inline NTSTATUS BusCapabilities(PDEVICE_OBJECT, PIRP irp) {
    PDEVICE_CAPABILITIES caps =
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    Note("bus:caps size=" + std::to_string(caps->Size) + " version=" +
         std::to_string(caps->Version) + " address=" + std::to_string((LONG)caps->Address) +
         " ui=" + std::to_string((LONG)caps->UINumber));
    caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s)
        caps->DeviceState[s] = PowerDeviceD3;
    caps->Removable = 1;
    caps->Address = 2;
    return fake::CompleteWith(irp, STATUS_SUCCESS, irp->IoStatus.Information);
}

inline NTSTATUS BusQueryId(PDEVICE_OBJECT, PIRP irp) {
    auto* id = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, 32, 0x206D6457));
    std::memcpy(id, L"SIM\\TESTBUS", 24);
    return fake::CompleteWith(irp, STATUS_SUCCESS, reinterpret_cast<ULONG_PTR>(id));
}

inline NTSTATUS BusRemove(PDEVICE_OBJECT pdo, PIRP irp) {
    fake::CompleteWith(irp, STATUS_SUCCESS, 0);
    // A PDO the bus no longer reports goes at the REMOVE that follows.
    // Windows lets the bus delete it here, while the function device above
    // still has to detach; the simulated I/O manager refuses that (0xC9/0x201),
    // so a PDO with a device still on it is deleted when the bus goes instead.
    if (static_cast<PdoExtension*>(pdo->DeviceExtension)->gone && pdo->AttachedDevice == nullptr)
        IoDeleteDevice(pdo);
    return STATUS_SUCCESS;
}

inline fake::Config BusConfig() {
    using fake::Act;
    fake::Config c{.name = "testbus", .label = "bus", .devices = 0,
                   .flags = DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE,
                   .deviceType = FILE_DEVICE_BUS_EXTENDER, .extensionSize = sizeof(PdoExtension),
                   .noteIrql = true};
    c.rules = {{.major = IRP_MJ_PNP, .minor = IRP_MN_START_DEVICE, .act = Act::Run,
                .run = [](PDEVICE_OBJECT, PIRP irp) { return fake::CompleteWith(irp, g_bus.startStatus); }},
               {.major = IRP_MJ_PNP, .minor = IRP_MN_QUERY_CAPABILITIES, .act = Act::Run, .run = BusCapabilities},
               {.major = IRP_MJ_PNP, .minor = IRP_MN_QUERY_ID, .act = Act::Run, .run = BusQueryId},
               {.major = IRP_MJ_PNP, .minor = IRP_MN_REMOVE_DEVICE, .act = Act::Run, .run = BusRemove},
               {.major = IRP_MJ_POWER, .minor = IRP_MN_QUERY_POWER},
               {.major = IRP_MJ_POWER, .minor = IRP_MN_SET_POWER,
                .run = [](PDEVICE_OBJECT pdo, PIRP irp) {
                    PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
                    if (sp->Parameters.Power.Type == DevicePowerState)
                        PoSetPowerState(pdo, DevicePowerState, sp->Parameters.Power.State);
                    return STATUS_SUCCESS;
                }}};
    for (UCHAR minor :
         {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_QUERY_STOP_DEVICE,
          IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_SURPRISE_REMOVAL})
        c.rules.push_back({.major = IRP_MJ_PNP, .minor = minor});
    return c;
}

// The kernel, the function driver and the test bus, whose PDOs are reported
// to the PnP manager, unplugged through it and deleted at the REMOVE that
// follows.
class StackTest : public ::testing::Test {
public:
    void SetUp() override {
        g_fdo = FdoKnobs();
        g_bus = BusKnobs();
        kernel = std::make_unique<sim::Kernel>();
        fdo_ = std::make_unique<fake::Driver>(FdoConfig());
        bus_ = std::make_unique<fake::Driver>(BusConfig());
        sim::MapInterfaceKind("modem", "vxtest");
        sim::MapInterfaceKind("diagnostics", "vxtest");
        Timeline().clear();
    }
    void TearDown() override { // unplugs what is left, then the bus driver goes
        for (sim::DevNode* node : sim::PnpNodes())
            if (node->pdo != nullptr && node->present)
                Unplug(node->pdo);
        bus_->DeleteDevices(); // PDOs never reported to the PnP manager, or left behind
        bus_.reset();
        kernel.reset();
        fdo_.reset();
    }
    sim::DevNode* Plug(const std::string& kind,
                       const sim::PlugOptions& options = sim::PlugOptions()) {
        return sim::PnpDeviceArrived(bus_->NewDevice(), kind, options);
    }
    void Unplug(PDEVICE_OBJECT pdo) {
        static_cast<PdoExtension*>(pdo->DeviceExtension)->gone = TRUE;
        sim::PnpDeviceVanished(pdo);
    }

    std::unique_ptr<sim::Kernel> kernel;
    std::unique_ptr<fake::Driver> fdo_, bus_;
};

} // namespace pnptest
