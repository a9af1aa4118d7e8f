// The requests the drivers answer without an open handle: internal serial
// requests, WMI, capabilities, and the Plug and Play requests' effects on a
// running stack.
#include "pnp_driver/machine.h"

namespace pnp_driver {
namespace {

using InternalControl = Machine;
using SystemControl = Machine;
using Capabilities = Machine;
using SurpriseRemoval = Machine;

size_t BusEvents(usb::Phone& phone, int interfaceNumber) {
    return phone.TimelineText(interfaceNumber, false).size();
}

TEST_F(InternalControl, ModemAnswersTheSerialStackItselfWithInformationZero) {
    usb::Phone& phone = Plug();
    PDEVICE_OBJECT fdo = Node(phone.Modem())->fdo;
    struct Case {
        ULONG code;
        NTSTATUS status;
    } cases[] = {
        {0x1B0004, STATUS_NOT_SUPPORTED},     // DO_WAIT_WAKE
        {0x1B0008, STATUS_SUCCESS},           // CANCEL_WAIT_WAKE
        {0x1B000C, STATUS_NOT_SUPPORTED},     // BASIC_SETTINGS
        {0x1B0010, STATUS_NOT_SUPPORTED},     // RESTORE_SETTINGS
        {0x1B0014, STATUS_INVALID_PARAMETER}, // the next code: not one of them
        {0x220003, STATUS_INVALID_PARAMETER}, // a URB submission from above
    };
    size_t before = BusEvents(phone, phone.Modem().Number());
    for (const Case& c : cases) {
        SentIrp sent = SendIrp(fdo, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, c.code);
        EXPECT_EQ(sent.status, c.status) << std::hex << c.code;
        EXPECT_EQ(sent.information, 0u) << std::hex << c.code;
    }
    EXPECT_EQ(BusEvents(phone, phone.Modem().Number()), before);
}

TEST_F(InternalControl, DiagnosticsPassesEveryRequestToTheBus) {
    usb::Phone& phone = Plug();
    PDEVICE_OBJECT fdo = Node(phone.Diagnostics())->fdo;
    PDEVICE_OBJECT pdo = phone.Diagnostics().Pdo();
    // Whatever the bus answers, the diagnostics port answers the same.
    SentIrp direct = SendIrp(pdo, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, 0x1B0008);
    SentIrp through = SendIrp(fdo, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, 0x1B0008);
    EXPECT_EQ(through.status, direct.status);
    EXPECT_NE(through.status, STATUS_SUCCESS);
}

TEST_F(SystemControl, ModemRefusesWmiOnceRemovalIsQueriedDiagnosticsPassesItDown) {
    usb::Phone& phone = Plug();
    sim::DevNode* modem = Node(phone.Modem());
    sim::DevNode* diag = Node(phone.Diagnostics());
    SentIrp started = SendIrp(modem->fdo, IRP_MJ_SYSTEM_CONTROL, 0);
    EXPECT_NE(started.status, STATUS_DELETE_PENDING);

    ASSERT_EQ(sim::PnpSendIrp(modem, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(sim::PnpSendIrp(diag, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    SentIrp modemWmi = SendIrp(modem->fdo, IRP_MJ_SYSTEM_CONTROL, 0, 0, 7);
    EXPECT_EQ(modemWmi.status, STATUS_DELETE_PENDING);
    EXPECT_EQ(modemWmi.information, 7u); // left as the sender set it
    SentIrp diagWmi = SendIrp(diag->fdo, IRP_MJ_SYSTEM_CONTROL, 0);
    EXPECT_EQ(diagWmi.status, started.status);
    // So is every internal request of the modem port, until the cancel.
    EXPECT_EQ(SendIrp(modem->fdo, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, 0x1B0008).status,
              STATUS_DELETE_PENDING);

    ASSERT_EQ(sim::PnpSendIrp(modem, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(sim::PnpSendIrp(diag, IRP_MN_CANCEL_REMOVE_DEVICE), STATUS_SUCCESS);
    EXPECT_EQ(SendIrp(modem->fdo, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, 0x1B0008).status,
              STATUS_SUCCESS);
}

// ---------------------------------------------------------------- capabilities
TEST_F(Capabilities, DiagnosticsHasNoUniqueIdEvenWhenTheBusSaysSo) {
    usb::Phone& phone = Plug();
    sim::DevNode* node = Node(phone.Diagnostics());
    static DEVICE_CAPABILITIES caps;
    caps = DEVICE_CAPABILITIES{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.UniqueID = TRUE; // as if the bus had set it
    ASSERT_EQ(sim::PnpSendIrp(node, IRP_MN_QUERY_CAPABILITIES,
                              [](PIO_STACK_LOCATION sp) {
                                  sp->Parameters.DeviceCapabilities.Capabilities = &caps;
                              }),
              STATUS_SUCCESS);
    EXPECT_FALSE(caps.UniqueID);
    EXPECT_TRUE(caps.Removable);
    EXPECT_TRUE(caps.SurpriseRemovalOK);
}

// ---------------------------------------------------------------- surprise removal
// Vanishing while a stop or removal is pending: the port is still named
// then, and its naming must go with it.
TEST_F(SurpriseRemoval, UnplugWhileStopOrRemovePendingReleasesTheNaming) {
    usb::Phone& phone = Plug();
    sim::DevNode* modem = Node(phone.Modem());
    sim::DevNode* diag = Node(phone.Diagnostics());
    ASSERT_EQ(sim::PnpSendIrp(modem, IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
    ASSERT_EQ(sim::PnpSendIrp(diag, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
    phone.Unplug();
    sim::RunUntilIdle();
    EXPECT_TRUE(sim::SymbolicLinks().empty());
    EXPECT_TRUE(sim::SerialComm().empty());
    EXPECT_EQ(sim::DriverUnloadCount("vxqt70modem"), 1u);
    EXPECT_EQ(sim::DriverUnloadCount("vxqt70diag"), 1u);
}

} // namespace
} // namespace pnp_driver
