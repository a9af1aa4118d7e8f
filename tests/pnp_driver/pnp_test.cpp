// Both driver images in one machine, driven through the Plug and Play
// manager and the phone: a phone's arrival (loading, device creation,
// numbering, naming), the orderly and surprise ways a port goes as rows of a
// transcript, the COM names the installer writes and the ways they can be
// unusable, and the requests the ports answer without a handle. (A second
// phone's arrival under every failed allocation is a scenario of the fault
// sweep.)
#include "common/pnp_rows.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

namespace {

using rig::Hex;
using rig::Which;

const GUID kModemInterface = {
    0x456F868B, 0x66CF, 0x4BDF, {0xBF, 0xB7, 0x84, 0xDE, 0x59, 0xCC, 0x27, 0x78}};
const GUID kComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

class Machine : public rig::Machine {
public:
    explicit Machine(const rig::MachineOptions& options = rig::MachineOptions())
        : rig::Machine(VXQT70_MODEM_IMAGE, VXQT70_DIAG_IMAGE, options) {}
    // A second phone (its own serial), modem only unless told.
    usb::Phone& PlugAnother(std::u16string serial, bool modemOnly = true, bool enumerate = true) {
        usb::PhoneConfig config;
        config.serial = std::move(serial);
        config.enumerate = enumerate;
        if (modemOnly)
            config.interfaces = {usb::InterfaceKind::Modem};
        return Bus().PlugIn(config);
    }
};

std::u16string NameOf(PDEVICE_OBJECT device) {
    for (const auto& entry : sim::DeviceNames())
        if (entry.device == device)
            return entry.name;
    return u"";
}
std::optional<sim::SerialCommEntry> SerialCommOf(const std::u16string& device) {
    for (const auto& entry : sim::SerialComm())
        if (entry.device == device)
            return entry;
    return std::nullopt;
}
bool InterfaceEnabled(PDEVICE_OBJECT pdo) {
    for (const auto& entry : sim::DeviceInterfaces())
        if (entry.pdo == pdo)
            return entry.enabled;
    return false;
}
std::u16string Com(unsigned n) {
    return u"\\DosDevices\\COM" + sim::U16(std::to_string(n));
}
size_t CountLines(const std::string& needle) {
    auto lines = sim::DebugLogLines();
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& l) { return l.find(needle) != std::string::npos; });
}

// ---------------------------------------------------------------- arrival
struct PortFacts {
    Which which;
    const char16_t* device;
    const GUID* interfaceClass;
    const char* banner;
};
const PortFacts kPorts[] = {
    {Which::Modem, u"\\Device\\VXNTQT70MDM0", &kModemInterface, "USBMODEM(Ver 1.0.0)"},
    {Which::Diag, u"\\Device\\VXNTQT70DIAG1", &kComPortInterface, "USBDIAG(Ver 1.0.0)"},
};

// Each port gets its device, its COM link (unprotected), its SERIALCOMM
// value (the name and two zero code units) and its interface, enabled.
TEST(Arrival, PlugLoadsBothDriversAndNamesBothPortsAndUnplugUnloadsThem) {
    Machine m;
    for (const PortFacts& port : kPorts) {
        SCOPED_TRACE(rig::WhichName(port.which));
        sim::DevNode* node = m.Node(port.which);
        ASSERT_TRUE(m.Started(port.which)) << std::hex << node->problem;
        EXPECT_EQ(sim::DriverLoadCount(rig::ServiceOf(port.which)), 1u);
        EXPECT_EQ(NameOf(node->fdo), port.device);
        EXPECT_EQ(node->fdo->DeviceType, (ULONG)FILE_DEVICE_SERIAL_PORT);
        EXPECT_EQ(node->fdo->Flags & (DO_BUFFERED_IO | DO_POWER_PAGABLE | DO_DEVICE_INITIALIZING),
                  (ULONG)(DO_BUFFERED_IO | DO_POWER_PAGABLE));
        EXPECT_TRUE(node->fdo->Characteristics & FILE_DEVICE_SECURE_OPEN);
        EXPECT_EQ(sim::LinkTarget(Com(node->comPort)), port.device);
        for (const auto& link : sim::SymbolicLinks())
            EXPECT_TRUE(link.name != Com(node->comPort) || link.unprotected);
        auto comm = SerialCommOf(port.device);
        ASSERT_TRUE(comm);
        EXPECT_EQ(comm->type, (ULONG)REG_SZ);
        EXPECT_EQ(comm->portName, u"COM" + sim::U16(std::to_string(node->comPort)));
        EXPECT_EQ(comm->dataBytes, (comm->portName.size() + 2) * 2);
        bool found = false;
        for (const auto& entry : sim::DeviceInterfaces(*port.interfaceClass)) {
            found = found || entry.pdo == node->pdo;
            EXPECT_TRUE(entry.pdo != node->pdo || (entry.enabled && entry.reference.empty()));
        }
        EXPECT_TRUE(found);
        EXPECT_EQ(CountLines(port.banner), 1u);
    }
    EXPECT_EQ(CountLines(" LOADED "), 2u);
    // The unplug unloads each once.
    m.Unplug();
    EXPECT_EQ(sim::DriverUnloadCount("vxqt70modem"), 1u);
    EXPECT_EQ(sim::DriverUnloadCount("vxqt70diag"), 1u);
    EXPECT_EQ(CountLines(" UNLOADED "), 2u);
    EXPECT_TRUE(sim::SerialComm().empty());
}

TEST(Arrival, WithoutWdm10NeitherDriverLoadsNorRegistersAnything) {
    rig::MachineOptions options;
    options.plug = false;
    Machine m(options);
    sim::SetWdmVersion(0, 0x30);
    m.Plug();
    for (Which which : {Which::Modem, Which::Diag}) {
        EXPECT_EQ(m.Node(which)->state, sim::DevNodeState::NoDriver);
        EXPECT_EQ(m.Node(which)->problem, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(m.Node(which)->fdo, nullptr);
    }
    EXPECT_EQ(sim::DebugLog().find("LOADED"), std::string::npos);
    EXPECT_TRUE(sim::SymbolicLinks().empty());
}

// The modem ports count from 0, the diagnostics ports from 1; the count
// lives as long as the driver is loaded, so a device added again while
// another keeps the driver loaded takes the next number, and a failed
// AddDevice keeps the number it took and leaves no device.
TEST(Arrival, DeviceNumbering) {
    Machine m;
    usb::Phone& other = m.PlugAnother(u"VX0002", false);
    EXPECT_EQ(NameOf(sim::PnpFindNode(other.Modem().Pdo())->fdo), u"\\Device\\VXNTQT70MDM1");
    EXPECT_EQ(NameOf(sim::PnpFindNode(other.Diagnostics().Pdo())->fdo), u"\\Device\\VXNTQT70DIAG2");

    sim::DevNode* node = m.Node(Which::Modem);
    ASSERT_EQ(sim::PnpRemoveDevice(node), STATUS_SUCCESS);
    ASSERT_EQ(sim::PnpReenableDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(NameOf(node->fdo), u"\\Device\\VXNTQT70MDM2");
    EXPECT_EQ(sim::LinkTarget(Com(node->comPort)), u"\\Device\\VXNTQT70MDM2");

    // The device name, after the working name.
    int number = m.Port(Which::Modem).FailAllocation(sim::AllocKind::Pool, "", 2);
    sim::DevNode* failed = sim::PnpFindNode(m.PlugAnother(u"VX0003").Modem().Pdo());
    sim::RemoveFaultPlan(number);
    EXPECT_EQ(failed->state, sim::DevNodeState::NoDriver);
    EXPECT_EQ(failed->problem, STATUS_INSUFFICIENT_RESOURCES) << sim::FaultLog();
    EXPECT_EQ(failed->fdo, nullptr);
    EXPECT_EQ(sim::LookupDevice(u"\\Device\\VXNTQT70MDM3"), nullptr);
    sim::DevNode* next = sim::PnpFindNode(m.PlugAnother(u"VX0004").Modem().Pdo());
    EXPECT_EQ(NameOf(next->fdo), u"\\Device\\VXNTQT70MDM4");
}

// ---------------------------------------------------------------- the ways a port goes
// Each step adds a line: its status, the node's state (a query sent on its
// own leaves it as it was: only the manager's own requests move it), whether the COM
// link, the SERIALCOMM value and the device interface are there, and
// whether the port's driver is loaded. "wmi", "internal [code]" (in hex;
// CANCEL_WAIT_WAKE when none), "query-info" and "set-info" send that request
// from above and write its status and Information, and "at the bus" when the
// bus driver below reported it (it reports each internal request it does not
// serve).
UCHAR MajorOf(const std::string& step) {
    return step == "wmi"                  ? IRP_MJ_SYSTEM_CONTROL
           : step.starts_with("internal") ? IRP_MJ_INTERNAL_DEVICE_CONTROL
           : step == "query-info"         ? IRP_MJ_QUERY_INFORMATION
           : step == "set-info"           ? IRP_MJ_SET_INFORMATION
                                          : 0;
}

rig::Lines RunPnp(Machine& m, Which which, const std::vector<std::string>& steps) {
    sim::DevNode* node = m.Node(which);
    const unsigned com = node->comPort;
    const std::u16string device = NameOf(node->fdo);
    PDEVICE_OBJECT pdo = node->pdo;
    rig::Lines lines;
    rig::PlaySteps(steps, [&](const std::string& step) {
        std::optional<NTSTATUS> status = rig::PnpStep(node, step);
        if (step == "unplug") {
            m.Unplug();
            status = STATUS_SUCCESS;
        } else if (step == "open")
            status = m.Port(which).Open() == 0 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
        else if (step == "close")
            status = m.Port(which).Close() ? STATUS_SUCCESS : STATUS_PENDING;
        else if (const UCHAR major = MajorOf(step)) {
            const size_t atBus = CountLines("usbbus-sim:");
            const ULONG code = step.starts_with("internal ")
                                   ? std::stoul(step.substr(9), nullptr, 16)
                               : major == IRP_MJ_INTERNAL_DEVICE_CONTROL ? 0x1B0008
                                                                         : 0;
            const rig::SentIrp sent = rig::SendIrp(sim::TopOfStack(node->fdo), major, code);
            lines.push_back(step + " " + Hex(sent.status) + " info " + Hex(sent.information) +
                            (CountLines("usbbus-sim:") != atBus ? " at the bus" : ""));
            return true;
        }
        if (!status)
            return false;
        sim::RunUntilIdle();
        lines.push_back(step + " " + Hex(*status) + ": " + sim::DevNodeStateName(node->state) +
                        " | COM " + (sim::LinkTarget(Com(com)) ? "on" : "off") + " | SERIALCOMM " +
                        (SerialCommOf(device) ? "on" : "off") + " | interface " +
                        (InterfaceEnabled(pdo) ? "on" : "off") + " | driver " +
                        (sim::LoadedDriver(rig::ServiceOf(which)) ? "loaded" : "unloaded"));
        return true;
    });
    return lines;
}

// clang-format off
const rig::ScriptRow kPnpRows[] = {
    {"StopThenRemove", {"stop", "remove"},
     {"stop 0x0: Stopped | COM off | SERIALCOMM off | interface off | driver loaded",
      "remove 0x0: Removed | COM off | SERIALCOMM off | interface off | driver unloaded"}},
    // After a stop the interface is gone: a new start names the port again
    // but leaves its interface disabled.
    {"StartAfterStop", {"stop", "start"},
     {"stop 0x0: Stopped | COM off | SERIALCOMM off | interface off | driver loaded",
      "start 0x0: Started | COM on | SERIALCOMM on | interface off | driver loaded"}},
    {"QueriesCalledOffChangeNothing", {"query-stop", "cancel-stop", "query-remove", "cancel-remove"},
     {"query-stop 0x0: Started | COM on | SERIALCOMM on | interface on | driver loaded",
      "cancel-stop 0x0: Started | COM on | SERIALCOMM on | interface on | driver loaded",
      "query-remove 0x0: Started | COM on | SERIALCOMM on | interface on | driver loaded",
      "cancel-remove 0x0: Started | COM on | SERIALCOMM on | interface on | driver loaded"}},
    // Vanishing while a stop or a removal is pending: the port is still
    // named then, and its naming must go with it.
    {"UnplugWhileStopPending", {"query-stop", "unplug"},
     {"query-stop 0x0: Started | COM on | SERIALCOMM on | interface on | driver loaded",
      "unplug 0x0: Deleted | COM off | SERIALCOMM off | interface off | driver unloaded"}},
    {"UnplugWhileRemovePending", {"query-remove", "unplug"},
     {"query-remove 0x0: Started | COM on | SERIALCOMM on | interface on | driver loaded",
      "unplug 0x0: Deleted | COM off | SERIALCOMM off | interface off | driver unloaded"}},
    {"UnplugWithThePortOpen", {"open", "unplug", "close"},
     {"open 0x0: Started | COM on | SERIALCOMM on | interface on | driver loaded",
      "unplug 0x0: SurpriseRemoved | COM off | SERIALCOMM off | interface off | driver loaded",
      "close 0x0: Deleted | COM off | SERIALCOMM off | interface off | driver unloaded"}},
    // The modem port refuses WMI and its internal requests once its removal
    // is queried (leaving Information as the sender set it), until the
    // cancel; the diagnostics port passes WMI down whatever its state.
    {"ModemRefusesRequestsWhileRemovalPending",
     {"wmi", "query-remove", "wmi", "internal", "cancel-remove", "internal"},
     {"wmi 0xC00000BB info 0x5A5A",
      "query-remove 0x0: Started | COM on | SERIALCOMM on | interface on | driver loaded",
      "wmi 0xC0000056 info 0x5A5A", "internal 0xC0000056 info 0x5A5A",
      "cancel-remove 0x0: Started | COM on | SERIALCOMM on | interface on | driver loaded",
      "internal 0x0 info 0x0"}, Which::Modem},
    // The modem port answers the serial stack's internal requests itself,
    // with Information 0, and passes none of them to the bus; the
    // diagnostics port passes every internal request to the bus. No routine
    // is registered for the information requests: the I/O manager refuses
    // them.
    // 1B0004 DO_WAIT_WAKE, 1B0008 CANCEL_WAIT_WAKE, 1B000C BASIC_SETTINGS,
    // 1B0010 RESTORE_SETTINGS, 1B0014 the code after them, 220003 a URB.
    {"ModemAnswersInternalRequestsItself",
     {"internal 1B0004", "internal 1B0008", "internal 1B000C", "internal 1B0010", "internal 1B0014",
      "internal 220003", "query-info", "set-info"},
     {"internal 1B0004 0xC00000BB info 0x0", "internal 1B0008 0x0 info 0x0",
      "internal 1B000C 0xC00000BB info 0x0", "internal 1B0010 0xC00000BB info 0x0",
      "internal 1B0014 0xC000000D info 0x0", "internal 220003 0xC000000D info 0x0",
      "query-info 0xC0000010 info 0x0", "set-info 0xC0000010 info 0x0"}, Which::Modem},
    {"DiagnosticsPassesInternalRequestsDown", {"internal 1B0008", "query-info", "set-info"},
     {"internal 1B0008 0xC00000BB info 0x0 at the bus", "query-info 0xC0000010 info 0x0",
      "set-info 0xC0000010 info 0x0"}, Which::Diag},
    {"DiagnosticsPassesWmiDown", {"wmi", "query-remove", "wmi"},
     {"wmi 0xC00000BB info 0x5A5A",
      "query-remove 0x0: Started | COM on | SERIALCOMM on | interface on | driver loaded",
      "wmi 0xC00000BB info 0x5A5A"}, Which::Diag},
};
// clang-format on

class PnpRows : public rig::PortRows {};

TEST_P(PnpRows, Transcript) {
    Machine m;
    ASSERT_TRUE(m.Started(Port()));
    Expect(RunPnp(m, Port(), Row().steps));
    // Nothing is left of a port that went: no device under its name.
    if (m.Node(Port())->state == sim::DevNodeState::Deleted) {
        EXPECT_EQ(sim::LookupDevice(kPorts[static_cast<int>(Port())].device), nullptr);
    }
}
RIG_ROWS_ON_THEIR_PORTS(PnpRows, kPnpRows);

// ---------------------------------------------------------------- COM names
// A modem-only phone added without the installer, so that each row writes
// "PortName" itself (or not at all), then started. The machine's own phone
// holds COM1 and COM2; its modem port is \Device\VXNTQT70MDM0.
struct NameRow {
    const char* name;
    std::optional<std::u16string> value; // the raw REG_SZ units; none: no value
    NTSTATUS start;
    ULONG commBytes; // SERIALCOMM data bytes on success
};
void PrintTo(const NameRow& row, std::ostream* os) {
    *os << row.name;
}

const NameRow kNames[] = {
    {"PlainName", std::u16string(u"COM5\0", 5), STATUS_SUCCESS, 12},
    {"Missing", std::nullopt, STATUS_OBJECT_NAME_NOT_FOUND, 0},
    {"TooLong", std::u16string(100, u'X') + u'\0', STATUS_INSUFFICIENT_RESOURCES, 0},
    // 64 code units and no terminator fill the whole 128-byte buffer; taken
    // as it is, the name would run on past the buffer.
    {"FullBufferWithoutTerminator", std::u16string(64, u'C'), STATUS_INSUFFICIENT_RESOURCES, 0},
    // The longest that fits: 63 characters and the terminator.
    {"Longest", std::u16string(63, u'C') + u'\0', STATUS_SUCCESS, 130},
    // Another device holds COM1: the start fails, and its teardown leaves
    // the other device's link alone.
    {"TakenByAnotherDevice", std::u16string(u"COM1\0", 5), STATUS_OBJECT_NAME_COLLISION, 0},
};

class PortNames : public ::testing::TestWithParam<NameRow> {
protected:
    // The new phone's modem stack, added but not started.
    sim::DevNode* AddModem() {
        usb::Phone& phone = m_.PlugAnother(u"VX0002", true, false);
        sim::PlugOptions options;
        options.installComPort = false;
        options.start = false;
        options.removeAfterFailedStart = false;
        sim::DevNode* node = sim::PnpDeviceArrived(phone.Modem().Pdo(), "modem", options);
        EXPECT_EQ(node->state, sim::DevNodeState::Added);
        return node;
    }
    Machine m_;
};

TEST_P(PortNames, StartNamesThePortOrNothing) {
    const NameRow& row = GetParam();
    ASSERT_EQ(m_.Node(Which::Modem)->comPort, 1u);
    sim::DevNode* node = AddModem();
    if (row.value)
        sim::RegSetValue(sim::CreateDeviceParametersKey(node->pdo), u"PortName", REG_SZ,
                         row.value->data(), row.value->size() * 2);
    const std::u16string device = u"\\Device\\VXNTQT70MDM1";
    const std::u16string name = row.value ? row.value->substr(0, row.value->find(u'\0')) : u"";
    const size_t links = sim::SymbolicLinks().size();
    EXPECT_EQ(sim::PnpStartDevice(node), row.start);
    if (row.start == STATUS_SUCCESS) {
        EXPECT_EQ(sim::LinkTarget(u"\\DosDevices\\" + name), device);
        auto comm = SerialCommOf(device);
        ASSERT_TRUE(comm);
        EXPECT_EQ(comm->portName, name);
        EXPECT_EQ(comm->dataBytes, row.commBytes);
        EXPECT_TRUE(InterfaceEnabled(node->pdo));
    } else {
        EXPECT_EQ(node->state, sim::DevNodeState::StartFailed);
        EXPECT_EQ(sim::SymbolicLinks().size(), links);
        EXPECT_FALSE(SerialCommOf(device));
        EXPECT_FALSE(InterfaceEnabled(node->pdo));
    }
    EXPECT_EQ(sim::PnpRemoveDevice(node), STATUS_SUCCESS);
    // The machine's own ports keep their names.
    EXPECT_EQ(sim::LinkTarget(Com(1)), u"\\Device\\VXNTQT70MDM0");
    EXPECT_TRUE(SerialCommOf(u"\\Device\\VXNTQT70MDM0"));
    EXPECT_EQ(sim::SymbolicLinks().size(), links);
}

INSTANTIATE_TEST_SUITE_P(, PortNames, ::testing::ValuesIn(kNames),
                         [](const auto& p) { return std::string(p.param.name); });

// The installer renamed the running port and made its link again under the
// new name: the link made at start is gone, so the stop deletes the new one.
TEST_F(PortNames, RenamedWhileStartedTheStopDeletesTheNewLink) {
    sim::DevNode* node = AddModem();
    sim::SetPortName(node->pdo, u"COM5");
    ASSERT_EQ(sim::PnpStartDevice(node), STATUS_SUCCESS);
    UNICODE_STRING oldLink, newLink, target;
    RtlInitUnicodeString(&oldLink, L"\\DosDevices\\COM5");
    RtlInitUnicodeString(&newLink, L"\\DosDevices\\COM7");
    RtlInitUnicodeString(&target, L"\\Device\\VXNTQT70MDM1");
    ASSERT_EQ(IoDeleteSymbolicLink(&oldLink), STATUS_SUCCESS);
    ASSERT_EQ(IoCreateSymbolicLink(&newLink, &target), STATUS_SUCCESS);
    sim::SetPortName(node->pdo, u"COM7");

    ASSERT_EQ(sim::PnpStopDevice(node), STATUS_SUCCESS);
    EXPECT_FALSE(sim::LinkTarget(u"\\DosDevices\\COM7"));
    EXPECT_FALSE(sim::LinkTarget(u"\\DosDevices\\COM5"));
    EXPECT_FALSE(SerialCommOf(u"\\Device\\VXNTQT70MDM1"));
}

} // namespace
