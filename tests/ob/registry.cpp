// The registry as a driver reads and writes it: the device's hardware key,
// ZwQueryValueKey's records byte for byte with short buffers, the device map,
// and counted key handles (one left open is a row of tests/verifier/rules.cpp).
#include "ob_test.h"

#include <cstring>
#include <vector>

namespace {

using obtest::Name;

constexpr char kInstance[] = "USB\\VID_1234&PID_5678&MI_00\\6&2c0e3e5&0&0000";

ULONG U32At(const std::vector<uint8_t>& b, size_t offset) {
    ULONG v;
    std::memcpy(&v, b.data() + offset, 4);
    return v;
}

std::u16string TextAt(const std::vector<uint8_t>& b, size_t offset, size_t bytes) {
    std::u16string out(bytes / 2, u'\0');
    std::memcpy(out.data(), b.data() + offset, bytes);
    return out;
}

struct RegistryTest : ::testing::Test {
    sim::Kernel kernel;
    PDRIVER_OBJECT bus = sim::CreateDriver("bus", obtest::EmptyEntry);
    PDEVICE_OBJECT pdo = obtest::MakePdo(bus, L"\\Device\\USBPDO-1", kInstance);
    HANDLE key = nullptr;

    void SetUp() override {
        ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &key),
                  STATUS_SUCCESS);
    }
    void TearDown() override {
        if (key != nullptr) {
            EXPECT_EQ(ZwClose(key), STATUS_SUCCESS);
        }
        obtest::DeleteDevice(pdo);
        sim::UnloadDriver(bus);
    }
    // Queries into a buffer of `length` bytes prefilled with 0xAB, so that
    // what the call did not write stays visible.
    NTSTATUS Query(const wchar_t* value, KEY_VALUE_INFORMATION_CLASS cls, ULONG length,
                   std::vector<uint8_t>* out, ULONG* result) {
        out->assign(length + 8, 0xAB);
        Name name(value);
        *result = 0xDEADBEEF;
        return ZwQueryValueKey(key, &name, cls, out->data(), length, result);
    }
};

TEST_F(RegistryTest, TheHardwareKeyIsTheInstancesDeviceParameters) {
    EXPECT_EQ(sim::U8(sim::DeviceParametersKey(pdo)),
              "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\" + std::string(kInstance) +
                  "\\Device Parameters");
    // Opening it made it, as Windows does on the first open.
    EXPECT_TRUE(sim::RegKeyExists(sim::DeviceParametersKey(pdo)));
    sim::SetPortName(pdo, u"COM5");
    const auto value = sim::RegGetValue(sim::DeviceParametersKey(pdo), u"portname");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(value->type, ULONG(REG_SZ));
    EXPECT_EQ(value->data.size(), 10u); // "COM5" and its terminator
    EXPECT_EQ(sim::U8(value->Text()), "COM5");
}

TEST_F(RegistryTest, FullInformationIsLaidOutAsOnWindows) {
    sim::SetPortName(pdo, u"COM5");
    std::vector<uint8_t> b;
    ULONG result = 0;
    ASSERT_EQ(Query(L"PortName", KeyValueFullInformation, 200, &b, &result), STATUS_SUCCESS);
    // TitleIndex, Type, DataOffset, DataLength, NameLength, Name, data.
    EXPECT_EQ(U32At(b, 0), 0u);
    EXPECT_EQ(U32At(b, 4), ULONG(REG_SZ));
    EXPECT_EQ(U32At(b, 8), 36u); // 20 + 16 bytes of name, already 4-aligned
    EXPECT_EQ(U32At(b, 12), 10u);
    EXPECT_EQ(U32At(b, 16), 16u);
    EXPECT_EQ(sim::U8(TextAt(b, 20, 16)), "PortName"); // the name as stored, no terminator
    EXPECT_EQ(TextAt(b, 36, 10), std::u16string(u"COM5\0", 5));
    EXPECT_EQ(result, 46u);
    EXPECT_EQ(b[46], 0xAB);

    // A name of odd word count pushes the data to the next 4-byte boundary.
    sim::RegSetDword(sim::DeviceParametersKey(pdo), u"Speed", 115200);
    ASSERT_EQ(Query(L"Speed", KeyValueFullInformation, 200, &b, &result), STATUS_SUCCESS);
    EXPECT_EQ(U32At(b, 8), 32u); // 20 + 10 = 30, rounded up
    EXPECT_EQ(U32At(b, 32), 115200u);
    EXPECT_EQ(result, 36u);
}

TEST_F(RegistryTest, FullInformationInShortBuffers) {
    sim::SetPortName(pdo, u"COM5");
    std::vector<uint8_t> b;
    ULONG result = 0;
    // Less than the fixed part: nothing written, the needed length reported.
    EXPECT_EQ(Query(L"PortName", KeyValueFullInformation, 0, &b, &result), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result, 46u);
    EXPECT_EQ(Query(L"PortName", KeyValueFullInformation, 19, &b, &result),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(b[0], 0xAB);

    // The fixed part fits but the name does not: overflow, and the data
    // offset is never written, so a caller must not use it.
    EXPECT_EQ(Query(L"PortName", KeyValueFullInformation, 24, &b, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(result, 46u);
    EXPECT_EQ(U32At(b, 12), 10u);
    EXPECT_EQ(U32At(b, 8), 0xABABABABu);
    EXPECT_EQ(sim::U8(TextAt(b, 20, 4)), "Po");
    EXPECT_EQ(b[24], 0xAB);

    // Name fits, data cut short: overflow with what fitted copied.
    EXPECT_EQ(Query(L"PortName", KeyValueFullInformation, 40, &b, &result), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(U32At(b, 8), 36u);
    EXPECT_EQ(sim::U8(TextAt(b, 36, 4)), "CO");
    EXPECT_EQ(b[40], 0xAB);

    // Exactly enough.
    EXPECT_EQ(Query(L"PortName", KeyValueFullInformation, 46, &b, &result), STATUS_SUCCESS);
}

TEST_F(RegistryTest, PartialInformationAndValuesWithoutData) {
    sim::SetPortName(pdo, u"COM12");
    std::vector<uint8_t> b;
    ULONG result = 0;
    ASSERT_EQ(Query(L"PORTNAME", KeyValuePartialInformation, 64, &b, &result), STATUS_SUCCESS);
    EXPECT_EQ(U32At(b, 4), ULONG(REG_SZ));
    EXPECT_EQ(U32At(b, 8), 12u);
    EXPECT_EQ(TextAt(b, 12, 12), std::u16string(u"COM12\0", 6));
    EXPECT_EQ(result, 24u);
    EXPECT_EQ(Query(L"PortName", KeyValuePartialInformation, 11, &b, &result),
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Query(L"PortName", KeyValuePartialInformation, 16, &b, &result),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(U32At(b, 8), 12u);
    EXPECT_EQ(b[16], 0xAB);

    // A value with no data has no data offset.
    sim::RegSetValue(sim::DeviceParametersKey(pdo), u"Empty", REG_BINARY, nullptr, 0);
    ASSERT_EQ(Query(L"Empty", KeyValueFullInformation, 64, &b, &result), STATUS_SUCCESS);
    EXPECT_EQ(U32At(b, 8), 0xFFFFFFFFu);
    EXPECT_EQ(result, 30u);
}

TEST_F(RegistryTest, AMissingValueIsNotFoundAndReportsNoLength) {
    std::vector<uint8_t> b;
    ULONG result = 0;
    EXPECT_EQ(Query(L"PortName", KeyValueFullInformation, 200, &b, &result),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(result, 0xDEADBEEFu);
    EXPECT_EQ(b[0], 0xAB);
}

TEST_F(RegistryTest, AValueRewrittenWhileTheKeyIsOpenReadsNew) {
    sim::SetPortName(pdo, u"COM5");
    std::vector<uint8_t> b;
    ULONG result = 0;
    sim::SetPortName(pdo, u"COM7");
    ASSERT_EQ(Query(L"PortName", KeyValuePartialInformation, 64, &b, &result), STATUS_SUCCESS);
    EXPECT_EQ(sim::U8(TextAt(b, 12, 8)), "COM7");
}

TEST_F(RegistryTest, HandlesAreClosedOnceAndCounted) {
    EXPECT_EQ(sim::OpenKeyHandles(), 1u);
    HANDLE second = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &second),
              STATUS_SUCCESS);
    EXPECT_NE(second, key);
    EXPECT_EQ(sim::OpenKeyHandles(), 2u);
    EXPECT_EQ(ZwClose(second), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(second), STATUS_INVALID_HANDLE);
    Name name(L"PortName");
    ULONG result = 0;
    EXPECT_EQ(ZwQueryValueKey(second, &name, KeyValueFullInformation, nullptr, 0, &result),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(sim::OpenKeyHandles(), 1u);
}

// ---------------------------------------------------------------- device map

TEST(DeviceMap, SerialCommValuesAreWrittenAndDeletedByDeviceName) {
    sim::Kernel kernel;
    // The data length the drivers write: characters + 2 code units, so the
    // buffer has room for a second terminator as theirs does.
    WCHAR port[6] = L"COM5";
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM",
                                    L"\\Device\\VXNTQT70MDM0", REG_SZ, port, 12),
              STATUS_SUCCESS);
    auto entries = sim::SerialComm();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(sim::U8(entries[0].device), "\\Device\\VXNTQT70MDM0");
    EXPECT_EQ(sim::U8(entries[0].portName), "COM5");
    EXPECT_EQ(entries[0].type, ULONG(REG_SZ));
    EXPECT_EQ(entries[0].dataBytes, 12u);

    // Rewriting replaces; an absolute path names the same key.
    WCHAR other[] = L"COM7";
    ASSERT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE,
                                    L"\\Registry\\Machine\\Hardware\\DeviceMap\\SerialComm",
                                    L"\\device\\vxntqt70mdm0", REG_SZ, other, 10),
              STATUS_SUCCESS);
    entries = sim::SerialComm();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(sim::U8(entries[0].portName), "COM7");

    EXPECT_EQ(
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\VXNTQT70MDM0"),
        STATUS_SUCCESS);
    EXPECT_TRUE(sim::SerialComm().empty());
    // The second teardown of a stopped-then-removed port finds nothing.
    EXPECT_EQ(
        RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"\\Device\\VXNTQT70MDM0"),
        STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST(DeviceMap, WritesOpenTheirKeyAndDoNotCreateIt) {
    sim::Kernel kernel;
    WCHAR port[] = L"COM5";
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"NOSUCHMAP", L"x", REG_SZ, port, 10),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_FALSE(sim::RegKeyExists(u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\NOSUCHMAP"));
    // A test can take SERIALCOMM away to make the driver's write fail.
    ASSERT_TRUE(sim::RegDeleteKey(sim::kSerialCommKey));
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"x", REG_SZ, port, 10),
              STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", L"x"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    // Each new machine boots with it again.
}

TEST(DeviceMap, EachMachineBootsWithAnEmptySerialComm) {
    {
        sim::Kernel kernel;
        sim::RegSetString(sim::kSerialCommKey, u"\\Device\\Serial0", u"COM1");
        EXPECT_EQ(sim::SerialComm().size(), 1u);
    }
    sim::Kernel kernel;
    EXPECT_TRUE(sim::RegKeyExists(sim::kSerialCommKey));
    EXPECT_TRUE(sim::SerialComm().empty());
}

} // namespace
