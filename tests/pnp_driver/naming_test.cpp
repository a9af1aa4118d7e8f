// The COM name: read from "PortName" at start, linked, published in
// SERIALCOMM, and removed again; and the ways a name can be unusable.
#include "pnp_driver/machine.h"

namespace pnp_driver {
namespace {

class PortNaming : public Machine {
protected:
    // Plugs a modem-only phone and adds its stack without the installer, so
    // that the test writes "PortName" itself, or not at all.
    sim::DevNode* AddModem(std::u16string serial = u"VX0001") {
        usb::PhoneConfig config = Unenumerated(std::move(serial));
        config.interfaces = {usb::InterfaceKind::Modem};
        phone_ = &Plug(config);
        sim::PlugOptions options;
        options.installComPort = false;
        options.start = false;
        options.removeAfterFailedStart = false;
        sim::DevNode* node = sim::PnpDeviceArrived(phone_->Modem().Pdo(), "modem", options);
        EXPECT_EQ(node->state, sim::DevNodeState::Added);
        return node;
    }
    void SetRawPortName(sim::DevNode* node, const std::u16string& units) {
        sim::RegSetValue(sim::CreateDeviceParametersKey(node->pdo), u"PortName", REG_SZ,
                         units.data(), units.size() * 2);
    }
    usb::Phone* phone_ = nullptr;
};

TEST_F(PortNaming, PortNameLinksThePortAndIsPublishedWithTwoZeroUnits) {
    sim::DevNode* node = AddModem();
    sim::SetPortName(node->pdo, u"COM5");
    ASSERT_EQ(sim::PnpStartDevice(node), STATUS_SUCCESS);

    EXPECT_EQ(sim::LinkTarget(u"\\DosDevices\\COM5"), u"\\Device\\VXNTQT70MDM0");
    auto comm = SerialCommOf(u"\\Device\\VXNTQT70MDM0");
    ASSERT_TRUE(comm);
    EXPECT_EQ(comm->portName, u"COM5");
    EXPECT_EQ(comm->type, (ULONG)REG_SZ);
    EXPECT_EQ(comm->dataBytes, 12u);
    EXPECT_TRUE(InterfaceOf(node->pdo)->enabled);
    for (const auto& link : sim::SymbolicLinks()) {
        if (link.name == u"\\DosDevices\\COM5") {
            EXPECT_TRUE(link.unprotected);
        }
    }
}

TEST_F(PortNaming, MissingPortNameFailsTheStartAndNamesNothing) {
    sim::DevNode* node = AddModem();
    EXPECT_EQ(sim::PnpStartDevice(node), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(node->state, sim::DevNodeState::StartFailed);
    EXPECT_TRUE(sim::SymbolicLinks().empty());
    EXPECT_TRUE(sim::SerialComm().empty());
    EXPECT_FALSE(InterfaceOf(node->pdo)->enabled);
    EXPECT_EQ(sim::PnpRemoveDevice(node), STATUS_SUCCESS);
}

// The installer renamed the running port and made its link again under the
// new name: the link made at start is gone, so the stop deletes the new one.
TEST_F(PortNaming, RenamedWhileStartedTheStopDeletesTheNewLink) {
    sim::DevNode* node = AddModem();
    sim::SetPortName(node->pdo, u"COM5");
    ASSERT_EQ(sim::PnpStartDevice(node), STATUS_SUCCESS);

    UNICODE_STRING oldLink, newLink, target;
    RtlInitUnicodeString(&oldLink, L"\\DosDevices\\COM5");
    RtlInitUnicodeString(&newLink, L"\\DosDevices\\COM7");
    RtlInitUnicodeString(&target, L"\\Device\\VXNTQT70MDM0");
    ASSERT_EQ(IoDeleteSymbolicLink(&oldLink), STATUS_SUCCESS);
    ASSERT_EQ(IoCreateSymbolicLink(&newLink, &target), STATUS_SUCCESS);
    sim::SetPortName(node->pdo, u"COM7");

    ASSERT_EQ(sim::PnpStopDevice(node), STATUS_SUCCESS);
    EXPECT_FALSE(LinkExists(u"\\DosDevices\\COM7"));
    EXPECT_FALSE(LinkExists(u"\\DosDevices\\COM5"));
    EXPECT_FALSE(SerialCommOf(u"\\Device\\VXNTQT70MDM0"));
}

TEST_F(PortNaming, PortNameTooLongIsRefused) {
    sim::DevNode* node = AddModem();
    sim::SetPortName(node->pdo, std::u16string(100, u'X'));
    EXPECT_EQ(sim::PnpStartDevice(node), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(sim::SymbolicLinks().empty());
    EXPECT_TRUE(sim::SerialComm().empty());
    EXPECT_FALSE(InterfaceOf(node->pdo)->enabled);
}

// 64 code units and no terminator fill the whole 128-byte buffer; taken as
// it is, the name would run on into whatever follows the buffer.
TEST_F(PortNaming, PortNameOfExactly128BytesWithoutTerminatorIsRefused) {
    sim::DevNode* node = AddModem();
    SetRawPortName(node, std::u16string(64, u'C'));
    EXPECT_EQ(sim::PnpStartDevice(node), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_TRUE(sim::SymbolicLinks().empty());
    EXPECT_TRUE(sim::SerialComm().empty());
}

// The longest name that fits: 63 characters and the terminator, 128 bytes.
TEST_F(PortNaming, LongestPortNameIsAccepted) {
    sim::DevNode* node = AddModem();
    std::u16string name(63, u'C');
    SetRawPortName(node, name + u'\0');
    ASSERT_EQ(sim::PnpStartDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(sim::LinkTarget(u"\\DosDevices\\" + name), u"\\Device\\VXNTQT70MDM0");
    auto comm = SerialCommOf(u"\\Device\\VXNTQT70MDM0");
    ASSERT_TRUE(comm);
    EXPECT_EQ(comm->portName, name);
    EXPECT_EQ(comm->dataBytes, 130u);
}

// Another device holds COM5. This port's start fails, and its teardown must
// not delete the other device's link.
TEST_F(PortNaming, DosNameTakenFailsTheStartAndLeavesTheOtherLinkAlone) {
    usb::Phone& owner = Plug();
    sim::DevNode* ownerNode = Node(owner.Modem());
    std::u16string taken = Com(ownerNode->comPort);

    sim::DevNode* node = AddModem(u"VX0002");
    sim::SetPortName(node->pdo, u"COM" + sim::U16(std::to_string(ownerNode->comPort)));
    EXPECT_EQ(sim::PnpStartDevice(node), STATUS_OBJECT_NAME_COLLISION);

    EXPECT_EQ(sim::LinkTarget(taken), u"\\Device\\VXNTQT70MDM0");
    EXPECT_FALSE(SerialCommOf(u"\\Device\\VXNTQT70MDM1"));
    EXPECT_TRUE(SerialCommOf(u"\\Device\\VXNTQT70MDM0"));
    EXPECT_FALSE(InterfaceOf(node->pdo)->enabled);

    EXPECT_EQ(sim::PnpRemoveDevice(node), STATUS_SUCCESS);
    EXPECT_EQ(sim::LinkTarget(taken), u"\\Device\\VXNTQT70MDM0");
}

} // namespace
} // namespace pnp_driver
