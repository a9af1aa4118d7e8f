// Device interfaces: the name a registration returns, that it is stable,
// and how enabling, disabling and the device going away show in the list.
#include "ob_test.h"

namespace {

using obtest::Name;

// {456F868B-66CF-4BDF-BFB7-84DE59CC2778}
constexpr GUID kModemClass = {
    0x456F868B, 0x66CF, 0x4BDF, {0xBF, 0xB7, 0x84, 0xDE, 0x59, 0xCC, 0x27, 0x78}};
// {86E0D1E0-8089-11D0-9CE4-08003E301F73}
constexpr GUID kComPortClass = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

struct DeviceInterfaceTest : ::testing::Test {
    sim::Kernel kernel;
    PDRIVER_OBJECT bus = sim::CreateDriver("bus", obtest::EmptyEntry);
    PDEVICE_OBJECT pdo = obtest::MakePdo(bus, L"\\Device\\USBPDO-2",
                                         "USB\\VID_1234&PID_5678&MI_01\\6&2c0e3e5&0&0001");
    void TearDown() override { obtest::Unload(bus); }
};

TEST_F(DeviceInterfaceTest, RegistrationNamesTheInstanceAndClassTheSameEachTime) {
    UNICODE_STRING name{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kModemClass, nullptr, &name), STATUS_SUCCESS);
    EXPECT_EQ(sim::U8(sim::U16(&name)), "\\??\\USB#VID_1234&PID_5678&MI_01#6&2c0e3e5&0&0001#"
                                        "{456f868b-66cf-4bdf-bfb7-84de59cc2778}");
    // Terminated, with the terminator counted in MaximumLength only.
    EXPECT_EQ(name.MaximumLength, name.Length + sizeof(WCHAR));
    EXPECT_EQ(name.Buffer[name.Length / sizeof(WCHAR)], 0);

    const auto list = sim::DeviceInterfaces();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_TRUE(sim::SameGuid(list[0].classGuid, kModemClass));
    EXPECT_EQ(list[0].pdo, pdo);
    EXPECT_FALSE(list[0].enabled); // registered disabled until the port is named
    EXPECT_TRUE(sim::DeviceInterfaces(kComPortClass).empty());
    // Registering again gives the same name in a new buffer, each the
    // caller's to free; a reference string makes a separate interface below
    // the same name.
    UNICODE_STRING again{}, port{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kModemClass, nullptr, &again), STATUS_SUCCESS);
    EXPECT_EQ(sim::U16(&again), sim::U16(&name));
    EXPECT_NE(again.Buffer, name.Buffer);
    EXPECT_EQ(sim::DeviceInterfaces().size(), 1u);
    Name reference(L"Port");
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kModemClass, &reference, &port), STATUS_SUCCESS);
    EXPECT_EQ(sim::U16(&port), sim::U16(&name) + u"\\Port");
    EXPECT_EQ(sim::DeviceInterfaces().size(), 2u);
    for (auto* s : {&name, &again, &port})
        RtlFreeUnicodeString(s);

    // A bus device without an instance path is named after its device name.
    PDEVICE_OBJECT bare = obtest::MakeDevice(bus, L"\\Device\\USBPDO-9");
    bare->Flags |= DO_BUS_ENUMERATED_DEVICE;
    ASSERT_EQ(IoRegisterDeviceInterface(bare, &kModemClass, nullptr, &name), STATUS_SUCCESS);
    EXPECT_EQ(sim::U8(sim::U16(&name)),
              "\\??\\ROOT#SIMULATED#USBPDO-9#{456f868b-66cf-4bdf-bfb7-84de59cc2778}");
    RtlFreeUnicodeString(&name);
}

// Enabling and disabling show in the list (twice is fine; an unknown name
// is not found); a deleted device loses its interface but keeps the name.
TEST_F(DeviceInterfaceTest, EnableDisableAndADeletedDeviceShowInTheList) {
    UNICODE_STRING name{};
    ASSERT_EQ(IoRegisterDeviceInterface(pdo, &kModemClass, nullptr, &name), STATUS_SUCCESS);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
    EXPECT_TRUE(sim::DeviceInterfaces()[0].enabled);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_SUCCESS);
    EXPECT_FALSE(sim::DeviceInterfaces()[0].enabled);
    Name unknown(L"\\??\\USB#VID_0000&PID_0000#0#{456f868b-66cf-4bdf-bfb7-84de59cc2778}");
    EXPECT_EQ(IoSetDeviceInterfaceState(&unknown, TRUE), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
    ASSERT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_SUCCESS);
    obtest::DeleteDevice(pdo);
    auto list = sim::DeviceInterfaces();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_FALSE(list[0].enabled);
    EXPECT_EQ(list[0].pdo, nullptr);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, TRUE), STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(IoSetDeviceInterfaceState(&name, FALSE), STATUS_SUCCESS);

    // The same instance plugged in again registers under the same name.
    PDEVICE_OBJECT again =
        obtest::MakePdo(bus, nullptr, "USB\\VID_1234&PID_5678&MI_01\\6&2c0e3e5&0&0001");
    UNICODE_STRING renewed{};
    ASSERT_EQ(IoRegisterDeviceInterface(again, &kModemClass, nullptr, &renewed), STATUS_SUCCESS);
    EXPECT_EQ(sim::U16(&renewed), sim::U16(&name));
    EXPECT_EQ(sim::DeviceInterfaces()[0].pdo, again);
    RtlFreeUnicodeString(&name);
    RtlFreeUnicodeString(&renewed);
}

} // namespace
