// A phone's arrival and departure as both drivers see it: loading, device
// creation and numbering, naming, and everything undone when it goes.
#include "pnp_driver/machine.h"

#include <algorithm>

namespace pnp_driver {
namespace {

using DriverLifecycle = Machine;
using DeviceNumbering = Machine;

size_t CountLines(const std::string& needle) {
    auto lines = sim::DebugLogLines();
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& l) { return l.find(needle) != std::string::npos; });
}

TEST_F(DriverLifecycle, PlugLoadsBothDriversAndNamesBothPorts) {
    usb::Phone& phone = Plug();
    sim::DevNode* modem = Node(phone.Modem());
    sim::DevNode* diag = Node(phone.Diagnostics());
    ASSERT_NE(modem, nullptr);
    ASSERT_NE(diag, nullptr);
    ASSERT_EQ(modem->state, sim::DevNodeState::Started) << std::hex << modem->problem;
    ASSERT_EQ(diag->state, sim::DevNodeState::Started) << std::hex << diag->problem;

    EXPECT_EQ(sim::DriverLoadCount("vxqt70modem"), 1u);
    EXPECT_EQ(sim::DriverLoadCount("vxqt70diag"), 1u);
    EXPECT_EQ(NameOf(modem->fdo), u"\\Device\\VXNTQT70MDM0");
    EXPECT_EQ(NameOf(diag->fdo), u"\\Device\\VXNTQT70DIAG1");
    EXPECT_EQ(modem->fdo->DeviceType, (ULONG)FILE_DEVICE_SERIAL_PORT);
    EXPECT_TRUE(modem->fdo->Flags & DO_BUFFERED_IO);
    EXPECT_TRUE(modem->fdo->Flags & DO_POWER_PAGABLE);
    EXPECT_FALSE(modem->fdo->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_TRUE(modem->fdo->Characteristics & FILE_DEVICE_SECURE_OPEN);

    // COMn points at each port, and SERIALCOMM carries the name with two
    // zero code units after it.
    EXPECT_EQ(sim::LinkTarget(Com(modem->comPort)), u"\\Device\\VXNTQT70MDM0");
    EXPECT_EQ(sim::LinkTarget(Com(diag->comPort)), u"\\Device\\VXNTQT70DIAG1");
    auto modemComm = SerialCommOf(u"\\Device\\VXNTQT70MDM0");
    ASSERT_TRUE(modemComm);
    EXPECT_EQ(modemComm->type, (ULONG)REG_SZ);
    EXPECT_EQ(modemComm->portName, u"COM" + sim::U16(std::to_string(modem->comPort)));
    EXPECT_EQ(modemComm->dataBytes, (modemComm->portName.size() + 2) * 2);
    auto diagComm = SerialCommOf(u"\\Device\\VXNTQT70DIAG1");
    ASSERT_TRUE(diagComm);
    EXPECT_EQ(diagComm->dataBytes, (diagComm->portName.size() + 2) * 2);

    auto modemInterface = InterfaceOf(phone.Modem().Pdo());
    auto diagInterface = InterfaceOf(phone.Diagnostics().Pdo());
    ASSERT_TRUE(modemInterface && diagInterface);
    EXPECT_TRUE(sim::SameGuid(modemInterface->classGuid, kModemInterface));
    EXPECT_TRUE(sim::SameGuid(diagInterface->classGuid, kComPortInterface));
    EXPECT_TRUE(modemInterface->enabled);
    EXPECT_TRUE(diagInterface->enabled);
    EXPECT_EQ(modemInterface->reference, u"");

    EXPECT_EQ(CountLines("USBMODEM(Ver 1.0.0)"), 1u);
    EXPECT_EQ(CountLines("USBDIAG(Ver 1.0.0)"), 1u);
    EXPECT_EQ(CountLines(" LOADED "), 2u);
}

TEST_F(DriverLifecycle, UnplugUndoesEverythingAndUnloadsBothDrivers) {
    usb::Phone& phone = Plug();
    sim::DevNode* modem = Node(phone.Modem());
    sim::DevNode* diag = Node(phone.Diagnostics());
    unsigned modemCom = modem->comPort, diagCom = diag->comPort;

    phone.Unplug();
    sim::RunUntilIdle();

    EXPECT_EQ(modem->state, sim::DevNodeState::Deleted);
    EXPECT_EQ(diag->state, sim::DevNodeState::Deleted);
    EXPECT_FALSE(LinkExists(Com(modemCom)));
    EXPECT_FALSE(LinkExists(Com(diagCom)));
    EXPECT_TRUE(sim::SerialComm().empty());
    for (const auto& entry : sim::DeviceInterfaces())
        EXPECT_FALSE(entry.enabled);
    EXPECT_EQ(sim::DriverUnloadCount("vxqt70modem"), 1u);
    EXPECT_EQ(sim::DriverUnloadCount("vxqt70diag"), 1u);
    EXPECT_EQ(CountLines(" UNLOADED "), 2u);
    EXPECT_EQ(sim::LookupDevice(u"\\Device\\VXNTQT70MDM0"), nullptr);
}

TEST_F(DriverLifecycle, OrderlyStopThenRemoveLeavesNothingAndNeitherFails) {
    usb::Phone& phone = Plug();
    for (usb::Interface* interface : {&phone.Modem(), &phone.Diagnostics()}) {
        sim::DevNode* node = Node(*interface);
        unsigned com = node->comPort;
        std::u16string name = NameOf(node->fdo);

        EXPECT_EQ(sim::PnpStopDevice(node), STATUS_SUCCESS);
        EXPECT_FALSE(LinkExists(Com(com)));
        EXPECT_FALSE(SerialCommOf(name));
        EXPECT_FALSE(InterfaceOf(interface->Pdo())->enabled);

        EXPECT_EQ(sim::PnpRemoveDevice(node), STATUS_SUCCESS);
        EXPECT_EQ(node->state, sim::DevNodeState::Removed);
        EXPECT_FALSE(LinkExists(Com(com)));
        EXPECT_FALSE(SerialCommOf(name));
    }
    EXPECT_EQ(sim::DriverUnloadCount("vxqt70modem"), 1u);
    EXPECT_EQ(sim::DriverUnloadCount("vxqt70diag"), 1u);
}

// After a stop the interface name is gone, so a new start names the port
// again (link and SERIALCOMM) but leaves its interface disabled.
TEST_F(DriverLifecycle, StartAfterStopNamesThePortAgainWithTheInterfaceDisabled) {
    usb::Phone& phone = Plug();
    sim::DevNode* node = Node(phone.Modem());
    ASSERT_EQ(sim::PnpStopDevice(node), STATUS_SUCCESS);
    ASSERT_EQ(sim::PnpStartDevice(node), STATUS_SUCCESS);

    EXPECT_EQ(node->state, sim::DevNodeState::Started);
    EXPECT_EQ(sim::LinkTarget(Com(node->comPort)), u"\\Device\\VXNTQT70MDM0");
    EXPECT_TRUE(SerialCommOf(u"\\Device\\VXNTQT70MDM0"));
    EXPECT_FALSE(InterfaceOf(phone.Modem().Pdo())->enabled);
}

TEST_F(DriverLifecycle, WithoutWdm10NeitherDriverLoadsNorRegistersAnything) {
    sim::SetWdmVersion(0, 0x30);
    usb::Phone& phone = Plug();
    for (usb::Interface* interface : {&phone.Modem(), &phone.Diagnostics()}) {
        sim::DevNode* node = Node(*interface);
        EXPECT_EQ(node->state, sim::DevNodeState::NoDriver);
        EXPECT_EQ(node->problem, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(node->fdo, nullptr);
    }
    EXPECT_EQ(sim::DebugLog().find("LOADED"), std::string::npos);
    EXPECT_TRUE(sim::SymbolicLinks().empty());
}

// Requests no routine is registered for are refused by the I/O manager.
TEST_F(DriverLifecycle, FileInformationRequestsAreRefusedAsInvalid) {
    usb::Phone& phone = Plug();
    for (usb::Interface* interface : {&phone.Modem(), &phone.Diagnostics()}) {
        PDEVICE_OBJECT fdo = Node(*interface)->fdo;
        EXPECT_EQ(SendIrp(fdo, IRP_MJ_QUERY_INFORMATION).status, STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(SendIrp(fdo, IRP_MJ_SET_INFORMATION).status, STATUS_INVALID_DEVICE_REQUEST);
    }
}

// ---------------------------------------------------------------- numbering
TEST_F(DeviceNumbering, ModemCountsFromZeroDiagnosticsFromOne) {
    usb::Phone& first = Plug();
    usb::PhoneConfig second;
    second.serial = u"VX0002";
    usb::Phone& other = Plug(second);

    EXPECT_EQ(NameOf(Node(first.Modem())->fdo), u"\\Device\\VXNTQT70MDM0");
    EXPECT_EQ(NameOf(Node(other.Modem())->fdo), u"\\Device\\VXNTQT70MDM1");
    EXPECT_EQ(NameOf(Node(first.Diagnostics())->fdo), u"\\Device\\VXNTQT70DIAG1");
    EXPECT_EQ(NameOf(Node(other.Diagnostics())->fdo), u"\\Device\\VXNTQT70DIAG2");
}

// The counter lives as long as the driver stays loaded: a device removed and
// added again while another keeps the driver loaded gets the next number.
TEST_F(DeviceNumbering, ReaddedDeviceGetsTheNextNumberNotItsOld) {
    usb::Phone& first = Plug();
    usb::PhoneConfig second;
    second.serial = u"VX0002";
    Plug(second);

    sim::DevNode* node = Node(first.Modem());
    ASSERT_EQ(sim::PnpRemoveDevice(node), STATUS_SUCCESS);
    ASSERT_EQ(sim::PnpReenableDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(NameOf(node->fdo), u"\\Device\\VXNTQT70MDM2");
    EXPECT_EQ(sim::LinkTarget(Com(node->comPort)), u"\\Device\\VXNTQT70MDM2");
}

// A failed AddDevice keeps the number it took, and leaves no device object.
TEST_F(DeviceNumbering, FailedAddLeavesAGapAndNoDevice) {
    usb::Phone& first = Plug();
    PDRIVER_OBJECT modemDriver = Node(first.Modem())->driver;
    sim::FaultPlan plan;
    plan.driver = modemDriver;
    plan.kind = sim::AllocKind::Pool;
    plan.failNth = 2; // the device name, after the working name
    int number = sim::AddFaultPlan(plan);

    usb::PhoneConfig second;
    second.serial = u"VX0002";
    second.interfaces = {usb::InterfaceKind::Modem};
    usb::Phone& failed = Plug(second);
    sim::RemoveFaultPlan(number);
    sim::DevNode* failedNode = Node(failed.Modem());
    EXPECT_EQ(failedNode->state, sim::DevNodeState::NoDriver);
    EXPECT_EQ(failedNode->problem, STATUS_INSUFFICIENT_RESOURCES) << sim::FaultLog();
    EXPECT_EQ(failedNode->fdo, nullptr);
    EXPECT_EQ(sim::LookupDevice(u"\\Device\\VXNTQT70MDM1"), nullptr);

    usb::PhoneConfig third;
    third.serial = u"VX0003";
    third.interfaces = {usb::InterfaceKind::Modem};
    usb::Phone& next = Plug(third);
    EXPECT_EQ(NameOf(Node(next.Modem())->fdo), u"\\Device\\VXNTQT70MDM2");
}

} // namespace
} // namespace pnp_driver
