// One configurable driver for the platform's own suites. A test describes the
// driver as data: which requests it answers and how (complete with a status,
// hold them pending, pass them down, store or return a record, or a routine
// of the test's own), which devices it makes, and whether it is a WDM driver
// that attaches above the PDOs the Plug and Play manager reports. Every
// request it gets is recorded, in one timeline shared by every fake driver of
// the test, so a test can state the order of events across a stack
// ("fdo:START", "bus:START", ...).
#pragma once

#include "platform/kernel.h"
#include "platform/sim/sim.h"

#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// An allocation site the pool ledger must name even at -O2: never inlined
// or folded with a twin, and never left by a tail call, which would report
// its caller instead.
#define FAKE_ALLOCATION_SITE __attribute__((noipa, optimize("no-optimize-sibling-calls")))

namespace fake {

constexpr UCHAR kAnyMinor = 0xFF;
constexpr UCHAR kAnyMajor = 0xFF;

enum class Act {
    Complete, // complete with `status` and `information`
    Keep,     // complete with the status already in the IRP (a bus's answer to what it ignores)
    Pend,     // mark pending and hold in the driver's queue; cancellable when `cancellable`
    Forward,  // skip this location and call the device below
    ForwardAndWait, // copy down, wait for the device below, then complete with its status
    Store,          // a SET: copy the input into `slot`; a GET (`get`): copy `slot` out
    Echo,           // METHOD_BUFFERED: the output is the input; a short output overflows
    Run,            // the rule's own routine decides
};

using Routine = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;

// What the driver does with the requests that match; the first matching rule
// of a driver wins.
struct Rule {
    UCHAR major = IRP_MJ_CREATE; // or kAnyMajor
    UCHAR minor = kAnyMinor;     // PnP / power minor
    ULONG code = 0;              // control code; 0 matches any
    Act act = Act::Complete;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    bool cancellable = true; // Pend
    void* slot = nullptr;    // Store
    ULONG size = 0;          // Store: the record's size
    bool get = false;        // Store: copy out
    Routine run;             // Run; ForwardAndWait: after the device below succeeded;
                             // the other acts: first, as a side effect
    std::function<bool(PDEVICE_OBJECT)> when; // the rule applies only while this says so
};

inline Rule On(UCHAR major, Act act, NTSTATUS status = STATUS_SUCCESS, ULONG_PTR information = 0) {
    Rule rule;
    rule.major = major;
    rule.act = act;
    rule.status = status;
    rule.information = information;
    return rule;
}
inline Rule OnMinor(UCHAR major, UCHAR minor, Act act, NTSTATUS status = STATUS_SUCCESS) {
    Rule rule = On(major, act, status);
    rule.minor = minor;
    return rule;
}
inline Rule OnCode(ULONG code, Act act, NTSTATUS status = STATUS_SUCCESS) {
    Rule rule = On(IRP_MJ_DEVICE_CONTROL, act, status);
    rule.code = code;
    return rule;
}
inline Rule Runs(UCHAR major, Routine routine) {
    Rule rule = On(major, Act::Run);
    rule.run = std::move(routine);
    return rule;
}

// How a power policy owner misbehaves or holds on, per test.
struct PowerKnobs {
    NTSTATUS systemQueryStatus = STATUS_SUCCESS; // fail system QUERY_POWER without asking below
    bool forgetStartNextOnDeviceIrp = false;     // never call PoStartNextPowerIrp on device IRPs
    bool passIrpPointerToRequest = false;        // PoRequestPowerIrp(..., &irp): a rule violation
    bool parkDeviceSetIrps = false;              // hold device SET_POWER IRPs until released
};

struct Config {
    std::string name = "fakedrv";   // driver object name, or the service name of a WDM driver
    std::string label;              // timeline prefix ("fdo"); the name when empty
    std::vector<UCHAR> majors;      // the major functions it has a routine for (empty: all)
    std::vector<Rule> rules;        // unmatched: PnP and power pass down when there is a device
                                    // below (else Keep); everything else completes with success
    int devices = 1;                // made at load, each attached above the one before
    PDEVICE_OBJECT below = nullptr; // the first device attaches above this one
    const wchar_t* deviceName = nullptr; // the first device's name, "\Device\X"
    const wchar_t* dosLink = nullptr;    // "\DosDevices\COMn" to it
    bool exclusive = false;
    ULONG flags = 0; // OR-ed into every device (DO_BUFFERED_IO, ...)
    ULONG deviceType = FILE_DEVICE_UNKNOWN;
    ULONG extensionSize = 0; // room for the test behind the driver's own record
    bool wdm = false;        // registered as a service: AddDevice above each PDO
    NTSTATUS addDeviceStatus = STATUS_SUCCESS;
    // WDM: the end of AddDevice, with the device made and attached; its status is AddDevice's
    std::function<NTSTATUS(PDEVICE_OBJECT)> onAdd;
    bool deleteOnRemove = true;        // WDM: detach and delete at REMOVE
    bool readPortName = false;         // WDM: read "PortName" from the hardware key at START
    const PowerKnobs* power = nullptr; // a power policy owner's knobs, live (none: defaults)
    bool noteIrql = false;             // power timeline entries say the IRQL they came at
};

// A serial port an application opens by its COM name: one exclusive, named,
// buffered device with a "\DosDevices\" link.
inline Config Port(const std::string& name, const wchar_t* device, const wchar_t* link) {
    Config config;
    config.name = name;
    config.deviceName = device;
    config.dosLink = link;
    config.exclusive = true;
    config.flags = DO_BUFFERED_IO;
    config.deviceType = FILE_DEVICE_SERIAL_PORT;
    return config;
}

// A driver object that is never loaded, only named: what pool blocks,
// timers, DPCs and work items are attributed to under a DriverScope.
struct NamedDriver {
    DRIVER_OBJECT object{};
    explicit NamedDriver(PCWSTR name) { RtlInitUnicodeString(&object.DriverName, name); }
    PDRIVER_OBJECT get() { return &object; }
};

// One request as the driver saw it.
struct Seen {
    PDEVICE_OBJECT device = nullptr;
    UCHAR major = 0;
    UCHAR minor = 0;
    ULONG code = 0;
    std::vector<uint8_t> input; // a control code's input bytes, or written data
    ULONG outputLength = 0;
    KIRQL irql = PASSIVE_LEVEL;
    std::string name; // "READ", "START", "SET D3", "GET_BAUD_RATE", "0x001B00A0"
};

class Driver {
public:
    explicit Driver(Config config);
    ~Driver(); // unloads, unless the test failed (a WDM driver: unregisters; the PnP manager
               // unloads it)
    Driver(const Driver&) = delete;
    Driver& operator=(const Driver&) = delete;

    Config config;
    PDRIVER_OBJECT object = nullptr;     // the loaded driver (WDM: the last one loaded)
    std::vector<PDEVICE_OBJECT> devices; // made at load, bottom first
    std::vector<Seen> seen;              // appended under seenLock (requests come from any thread)
    std::mutex seenLock;
    int entries = 0;
    int unloads = 0;

    PDEVICE_OBJECT Top() const { return devices.empty() ? nullptr : devices.back(); }
    // The device below `device` in its stack (what it attached to).
    static PDEVICE_OBJECT Lower(PDEVICE_OBJECT device);

    // Holds a request as Act::Pend does (for a rule's routine).
    NTSTATUS Hold(PIRP irp, bool cancellable = true);
    // Held requests (Act::Pend). Take claims the oldest of `major` (any when
    // 0xFF) from cancellation; NULL when none is left to claim.
    size_t Held() const;
    PIRP Take(UCHAR major = 0xFF);
    // Completes a claimed request; `atDispatch` completes it as the bus does.
    static void Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0,
                         bool atDispatch = false);
    // Completes every held request with STATUS_CANCELLED (what a cleanup does).
    void CancelHeld();
    // Lets the oldest parked device SET_POWER go on down (PowerKnobs).
    size_t Parked() const { return parked_.size(); }
    void ReleaseParked();
    // "PortName" the driver read at START (readPortName), "(none)" when none.
    std::u16string PortNameSeenAtStart(PDEVICE_OBJECT fdo) const;
    // Handles open on a device of this driver (creates less closes).
    static LONG Opens(PDEVICE_OBJECT device);
    // Deletes every device the driver object still has.
    void DeleteDevices();

    // Opens a handle on the top device (expects success).
    sim::FileHandle* Open();
    // A device of this driver made after load, attached above `below` (a
    // bus's PDO: above nothing); `flags` as in Config, initialised.
    PDEVICE_OBJECT NewDevice(PDEVICE_OBJECT below = nullptr);

    // Internals shared with the dispatch trampolines.
    NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
    NTSTATUS Entry(PDRIVER_OBJECT driver);
    NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo);
    void Unload(PDRIVER_OBJECT driver);
    NTSTATUS Power(PDEVICE_OBJECT device, PIRP irp);

private:
    NTSTATUS Do(const Rule& rule, PDEVICE_OBJECT device, PIRP irp);
    void ReadPortName(PDEVICE_OBJECT device);
    // A device of this driver, attached above `below` unless that is NULL.
    PDEVICE_OBJECT MakeDevice(PDRIVER_OBJECT driver, const wchar_t* name, bool exclusive,
                              PDEVICE_OBJECT below);
    void Record(PDEVICE_OBJECT device, PIRP irp);

    std::deque<PIRP> held_; // cancel spin lock
    std::vector<std::pair<PDEVICE_OBJECT, PIRP>> parked_;
};

// What the rules' routines use: complete a request; pass it to the device
// below (power IRPs the power manager's way); send it down and wait for it.
NTSTATUS CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
NTSTATUS PassDown(PDEVICE_OBJECT device, PIRP irp);
NTSTATUS ForwardAndWait(PDEVICE_OBJECT device, PIRP irp);

// The timeline every fake driver of the test writes ("label:NAME"), and
// events a test adds itself; emptied before each test.
std::vector<std::string>& Timeline();
void Note(const std::string& event);
std::vector<std::string> TimelineOf(const std::string& prefix);

// A readable name for a request: PnP and power minors, serial control codes,
// major functions.
std::string RequestName(PIO_STACK_LOCATION sp);

POWER_STATE SystemState(SYSTEM_POWER_STATE s);
POWER_STATE DeviceState(DEVICE_POWER_STATE d);

// Runs `body` on a system worker thread (PASSIVE_LEVEL) once the test thread
// blocks; the item lives until the test ends.
void OnWorker(std::function<void()> body);

} // namespace fake
