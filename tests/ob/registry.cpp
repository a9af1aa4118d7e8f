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
        obtest::Unload(bus);
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

TEST_F(RegistryTest, TheHardwareKeyIsTheInstancesDeviceParametersOpenedByCountedHandles) {
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
    // Rewritten while the key is open, it reads new.
    sim::SetPortName(pdo, u"COM7");
    std::vector<uint8_t> b;
    ULONG result = 0;
    ASSERT_EQ(Query(L"PortName", KeyValuePartialInformation, 64, &b, &result), STATUS_SUCCESS);
    EXPECT_EQ(sim::U8(TextAt(b, 12, 8)), "COM7");
    // Each open is a handle of its own, closed once and counted.
    EXPECT_EQ(sim::OpenKeyHandles(), 1u);
    HANDLE second = nullptr;
    ASSERT_EQ(IoOpenDeviceRegistryKey(pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &second),
              STATUS_SUCCESS);
    EXPECT_NE(second, key);
    EXPECT_EQ(sim::OpenKeyHandles(), 2u);
    EXPECT_EQ(ZwClose(second), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(second), STATUS_INVALID_HANDLE);
    Name name(L"PortName");
    EXPECT_EQ(ZwQueryValueKey(second, &name, KeyValueFullInformation, nullptr, 0, &result),
              STATUS_INVALID_HANDLE);
    EXPECT_EQ(sim::OpenKeyHandles(), 1u);
}

// One ZwQueryValueKey into a buffer of `length` bytes: its status, the
// length it reports, the words and text it wrote at their offsets, and the
// first byte it must have left alone. "PortName" is "COM5" (10 bytes with
// its terminator), "Speed" a DWORD, "Empty" a value without data.
struct QueryRow {
    const char* name;
    const wchar_t* value;
    KEY_VALUE_INFORMATION_CLASS cls;
    ULONG length;
    NTSTATUS status;
    ULONG result;
    std::vector<std::pair<size_t, ULONG>> words;
    std::vector<std::pair<size_t, std::u16string>> texts;
    size_t untouchedFrom;
};

constexpr auto kFull = KeyValueFullInformation;
constexpr auto kPartial = KeyValuePartialInformation;
const std::u16string kCom5(u"COM5\0", 5);

const QueryRow kQueries[] = {
    // TitleIndex, Type, DataOffset, DataLength, NameLength, the name as
    // stored (no terminator), then the data: 20 + 16 bytes, already aligned.
    {"Full", L"PortName", kFull, 200, STATUS_SUCCESS, 46,
      {{0, 0}, {4, REG_SZ}, {8, 36}, {12, 10}, {16, 16}}, {{20, u"PortName"}, {36, kCom5}}, 46},
    // A name of odd word count pushes the data to the next 4-byte boundary.
    {"FullOddName", L"Speed", kFull, 200, STATUS_SUCCESS, 36, {{8, 32}, {32, 115200}}, {}, 36},
    {"FullExactlyEnough", L"PortName", kFull, 46, STATUS_SUCCESS, 46, {{8, 36}}, {{36, kCom5}},
      46},
    // Less than the fixed part: nothing written, the needed length reported.
    {"FullNoBuffer", L"PortName", kFull, 0, STATUS_BUFFER_TOO_SMALL, 46, {}, {}, 0},
    {"FullShortOfTheFixedPart", L"PortName", kFull, 19, STATUS_BUFFER_TOO_SMALL, 46, {}, {}, 0},
    // The fixed part fits but the name does not: the data offset is never
    // written, so a caller must not use it.
    {"FullShortOfTheName", L"PortName", kFull, 24, STATUS_BUFFER_OVERFLOW, 46,
      {{12, 10}, {8, 0xABABABAB}}, {{20, u"Po"}}, 24},
    // Name fits, data cut short: what fitted is copied.
    {"FullShortOfTheData", L"PortName", kFull, 40, STATUS_BUFFER_OVERFLOW, 46, {{8, 36}},
      {{36, u"CO"}}, 40},
    // A value with no data has no data offset.
    {"FullWithoutData", L"Empty", kFull, 64, STATUS_SUCCESS, 30, {{8, 0xFFFFFFFF}}, {}, 30},
    {"PartialAnyCase", L"PORTNAME", kPartial, 64, STATUS_SUCCESS, 22, {{4, REG_SZ}, {8, 10}},
      {{12, kCom5}}, 22},
    {"PartialShortOfTheFixedPart", L"PortName", kPartial, 11, STATUS_BUFFER_TOO_SMALL, 22, {}, {},
      0},
    {"PartialShortOfTheData", L"PortName", kPartial, 16, STATUS_BUFFER_OVERFLOW, 22, {{8, 10}}, {},
      16},
    // A missing value reports no length at all.
    {"Missing", L"NoSuchValue", kFull, 200, STATUS_OBJECT_NAME_NOT_FOUND, 0xDEADBEEF, {}, {}, 0},
};

class RegistryQuery : public RegistryTest, public ::testing::WithParamInterface<QueryRow> {};

TEST_P(RegistryQuery, RecordIsLaidOutAsOnWindows) {
    const QueryRow& q = GetParam();
    sim::SetPortName(pdo, u"COM5");
    sim::RegSetDword(sim::DeviceParametersKey(pdo), u"Speed", 115200);
    sim::RegSetValue(sim::DeviceParametersKey(pdo), u"Empty", REG_BINARY, nullptr, 0);
    std::vector<uint8_t> b;
    ULONG result = 0;
    EXPECT_EQ(Query(q.value, q.cls, q.length, &b, &result), q.status);
    EXPECT_EQ(result, q.result);
    for (const auto& [offset, word] : q.words)
        EXPECT_EQ(U32At(b, offset), word) << "at byte " << offset;
    for (const auto& [offset, text] : q.texts)
        EXPECT_EQ(TextAt(b, offset, text.size() * 2), text) << "at byte " << offset;
    EXPECT_EQ(b[q.untouchedFrom], 0xAB);
}

INSTANTIATE_TEST_SUITE_P(Ob, RegistryQuery, ::testing::ValuesIn(kQueries),
                         [](const auto& param) { return std::string(param.param.name); });

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
