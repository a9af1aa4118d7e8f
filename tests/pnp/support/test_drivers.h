// Two small drivers for the Plug and Play and power manager tests, linked
// into the test: a bus driver that owns the physical device objects, and a
// WDM function driver that attaches above them. Both record what reaches
// them in one timeline, so a test can state the order of events across the
// stack ("fdo:START", "bus:START", ...). Their behaviour is switched by
// plain knobs, reset for each test.
#pragma once

#include "platform/sim/internal.h"
#include "platform/sim/sim.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace pnptest {

// What the function driver does, per test.
struct FdoKnobs {
    NTSTATUS addDeviceStatus = STATUS_SUCCESS;  // fail AddDevice (nothing left behind)
    bool refuseQueries = false;                 // QUERY_STOP / QUERY_REMOVE: STATUS_DEVICE_BUSY
    bool refuseWhileOpen = true;                // ... also whenever a handle is open
    NTSTATUS systemQueryStatus = STATUS_SUCCESS; // fail system QUERY_POWER without asking below
    bool forgetStartNextOnDeviceIrp = false;    // never call PoStartNextPowerIrp on device IRPs
    bool passIrpPointerToRequest = false;       // PoRequestPowerIrp(..., &irp): a rule violation
    bool failRemove = false;                    // complete REMOVE with an error (a rule violation)
    bool parkDeviceSetIrps = false;             // hold device SET_POWER IRPs until released
};

// What the bus does at its PDOs.
struct BusKnobs {
    NTSTATUS startStatus = STATUS_SUCCESS;
    ULONG capabilityFlagsToSet = 0; // nothing by default
};

extern FdoKnobs g_fdo;
extern BusKnobs g_bus;

// The shared timeline.
std::vector<std::string>& Timeline();
void Note(const std::string& event);
// Events whose text starts with `prefix`.
std::vector<std::string> TimelineOf(const std::string& prefix);

// The function driver's entry (service "vxtest" in the tests).
NTSTATUS NTAPI TestFdoEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath);
// Loads seen by the function driver's DriverEntry and unloads by its
// DriverUnload in this test.
int FdoEntries();
int FdoUnloads();
// The value of "PortName" the function driver read while handling START, or
// "(none)" when there was none.
std::u16string PortNameSeenAtStart(PDEVICE_OBJECT fdo);

// Device SET_POWER IRPs the function driver holds (parkDeviceSetIrps), and
// letting the oldest go on down (PoStartNextPowerIrp, then PoCallDriver), as
// the driver would from its own context.
size_t ParkedDeviceIrps();
void ReleaseParkedDeviceIrp();

// The test bus: a driver object owning PDOs, unplugging them through the PnP
// manager and deleting each at the REMOVE that follows.
class TestBus {
public:
    TestBus();
    ~TestBus(); // unplugs what is left, then unloads the bus driver
    PDEVICE_OBJECT CreatePdo();
    // Creates a PDO and reports it; returns its node.
    sim::DevNode* Plug(const std::string& kind, const sim::PlugOptions& options = sim::PlugOptions());
    void Unplug(PDEVICE_OBJECT pdo);
    PDRIVER_OBJECT driver = nullptr;
};

// A kernel, a bus, the function driver registered as "vxtest" for kinds
// "modem" and "diagnostics"; knobs and timeline reset.
class StackTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    std::unique_ptr<sim::Kernel> kernel;
    std::unique_ptr<TestBus> bus;
};

POWER_STATE SystemState(SYSTEM_POWER_STATE s);
POWER_STATE DeviceState(DEVICE_POWER_STATE d);

} // namespace pnptest
