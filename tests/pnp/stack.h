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
    fake::Config c;
    c.name = "vxtest";
    c.label = "fdo";
    c.wdm = true;
    c.readPortName = true;
    c.deviceType = FILE_DEVICE_SERIAL_PORT;
    c.power = &g_fdo;
    fake::Rule fail =
        fake::OnMinor(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, fake::Act::Complete, STATUS_UNSUCCESSFUL);
    fail.when = [](PDEVICE_OBJECT) { return g_fdo.failRemove; };
    c.rules.push_back(fail);
    // A handle open refuses both queries.
    for (UCHAR minor : {IRP_MN_QUERY_STOP_DEVICE, IRP_MN_QUERY_REMOVE_DEVICE}) {
        fake::Rule busy = fake::OnMinor(IRP_MJ_PNP, minor, fake::Act::Complete, STATUS_DEVICE_BUSY);
        busy.when = [](PDEVICE_OBJECT device) { return fake::Driver::Opens(device) > 0; };
        c.rules.push_back(busy);
    }
    // What the bus answered, with the function driver's change.
    fake::Rule caps =
        fake::OnMinor(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, fake::Act::ForwardAndWait);
    caps.run = [](PDEVICE_OBJECT, PIRP irp) {
        IoGetCurrentIrpStackLocation(irp)
            ->Parameters.DeviceCapabilities.Capabilities->SurpriseRemovalOK = 1;
        return STATUS_SUCCESS;
    };
    c.rules.push_back(caps);
    return c;
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
    fake::Config c;
    c.name = "testbus";
    c.label = "bus";
    c.devices = 0;
    c.noteIrql = true;
    c.deviceType = FILE_DEVICE_BUS_EXTENDER;
    c.flags = DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    c.extensionSize = sizeof(PdoExtension);
    fake::Rule start = fake::OnMinor(IRP_MJ_PNP, IRP_MN_START_DEVICE, Act::Run);
    start.run = [](PDEVICE_OBJECT, PIRP irp) { return fake::CompleteWith(irp, g_bus.startStatus); };
    fake::Rule caps = fake::OnMinor(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, Act::Run);
    caps.run = BusCapabilities;
    fake::Rule id = fake::OnMinor(IRP_MJ_PNP, IRP_MN_QUERY_ID, Act::Run);
    id.run = BusQueryId;
    fake::Rule remove = fake::OnMinor(IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, Act::Run);
    remove.run = BusRemove;
    c.rules = {start, caps, id, remove};
    for (UCHAR minor :
         {IRP_MN_QUERY_REMOVE_DEVICE, IRP_MN_CANCEL_REMOVE_DEVICE, IRP_MN_QUERY_STOP_DEVICE,
          IRP_MN_CANCEL_STOP_DEVICE, IRP_MN_STOP_DEVICE, IRP_MN_SURPRISE_REMOVAL})
        c.rules.push_back(fake::OnMinor(IRP_MJ_PNP, minor, Act::Complete));
    c.rules.push_back(fake::OnMinor(IRP_MJ_POWER, IRP_MN_QUERY_POWER, Act::Complete));
    fake::Rule set = fake::OnMinor(IRP_MJ_POWER, IRP_MN_SET_POWER, Act::Complete);
    set.run = [](PDEVICE_OBJECT pdo, PIRP irp) {
        PIO_STACK_LOCATION sp = IoGetCurrentIrpStackLocation(irp);
        if (sp->Parameters.Power.Type == DevicePowerState)
            PoSetPowerState(pdo, DevicePowerState, sp->Parameters.Power.State);
        return STATUS_SUCCESS;
    };
    c.rules.push_back(set);
    return c;
}

// The test bus: PDOs reported to the PnP manager, unplugged through it and
// deleted at the REMOVE that follows.
class TestBus {
public:
    TestBus() : fake_(BusConfig()) {}
    ~TestBus() { // unplugs what is left, then the bus driver goes
        for (sim::DevNode* node : sim::PnpNodes())
            if (node->pdo != nullptr && node->present)
                Unplug(node->pdo);
        fake_.DeleteDevices(); // PDOs never reported to the PnP manager, or left behind
    }
    PDEVICE_OBJECT CreatePdo() { return fake_.NewDevice(); }
    sim::DevNode* Plug(const std::string& kind,
                       const sim::PlugOptions& options = sim::PlugOptions()) {
        return sim::PnpDeviceArrived(CreatePdo(), kind, options);
    }
    void Unplug(PDEVICE_OBJECT pdo) {
        static_cast<PdoExtension*>(pdo->DeviceExtension)->gone = TRUE;
        sim::PnpDeviceVanished(pdo);
    }

private:
    fake::Driver fake_;
};

class StackTest : public ::testing::Test {
public:
    void SetUp() override {
        g_fdo = FdoKnobs();
        g_bus = BusKnobs();
        kernel = std::make_unique<sim::Kernel>();
        fdo_ = std::make_unique<fake::Driver>(FdoConfig());
        bus = std::make_unique<TestBus>();
        sim::MapInterfaceKind("modem", "vxtest");
        sim::MapInterfaceKind("diagnostics", "vxtest");
        Timeline().clear();
    }
    void TearDown() override {
        bus.reset();
        kernel.reset();
        fdo_.reset();
    }

    std::unique_ptr<sim::Kernel> kernel;
    std::unique_ptr<fake::Driver> fdo_;
    std::unique_ptr<TestBus> bus;
};

} // namespace pnptest
