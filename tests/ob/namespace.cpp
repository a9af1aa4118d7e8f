// The object namespace: device names, DOS-device links, how a path resolves,
// and what is left behind when a run ends.
#include "ob_test.h"

#include "platform/sim/ex_internal.h"

namespace {

using obtest::Name;

struct NamespaceTest : ::testing::Test {
    sim::Kernel kernel;
    PDRIVER_OBJECT driver = sim::CreateDriver("names", obtest::EmptyEntry);
    void TearDown() override { obtest::Unload(driver); }
};

TEST_F(NamespaceTest, DeviceNamesClashWhateverTheirCase) {
    PDEVICE_OBJECT first = obtest::MakeDevice(driver, L"\\Device\\VXNTQT70MDM0");
    Name sameName(L"\\device\\vxntqt70mdm0");
    PDEVICE_OBJECT second = nullptr;
    {
        sim::DriverScope scope(driver);
        EXPECT_EQ(IoCreateDevice(driver, 0, &sameName, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
                  STATUS_OBJECT_NAME_COLLISION);
    }
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(sim::LookupDevice(u"\\DEVICE\\VxNtQt70Mdm0"), first);
    // Deleting the device frees the name for the next one.
    obtest::DeleteDevice(first);
    EXPECT_EQ(sim::LookupDevice(u"\\Device\\VXNTQT70MDM0"), nullptr);
    PDEVICE_OBJECT third = obtest::MakeDevice(driver, L"\\Device\\VXNTQT70MDM0");
    ASSERT_EQ(sim::DeviceNames().size(), 1u);
    EXPECT_EQ(sim::DeviceNames()[0].device, third);
    EXPECT_EQ(sim::U8(sim::ObDeviceName(third)), "\\Device\\VXNTQT70MDM0");
}

TEST_F(NamespaceTest, LinksResolveThroughEverySpellingOfTheDosDirectory) {
    PDEVICE_OBJECT device = obtest::MakeDevice(driver, L"\\Device\\VXNTQT70MDM0");
    Name link(L"\\DosDevices\\COM5");
    Name target(L"\\Device\\VXNTQT70MDM0");
    ASSERT_EQ(IoCreateUnprotectedSymbolicLink(&link, &target), STATUS_SUCCESS);

    for (auto path : {u"\\DosDevices\\COM5", u"\\??\\com5", u"\\GLOBAL??\\Com5"})
        EXPECT_EQ(sim::LookupDevice(path), device) << sim::U8(path);
    // A path below the device is a file name the device would have to parse.
    EXPECT_EQ(sim::LookupDevice(u"\\??\\COM5\\extra"), nullptr);
    EXPECT_EQ(sim::LookupDevice(u"\\??\\COM6"), nullptr);
    EXPECT_EQ(sim::LookupDevice(u"COM5"), nullptr);

    const auto links = sim::SymbolicLinks();
    ASSERT_EQ(links.size(), 1u);
    EXPECT_EQ(sim::U8(links[0].name), "\\DosDevices\\COM5");
    EXPECT_EQ(sim::U8(links[0].target), "\\Device\\VXNTQT70MDM0");
    EXPECT_TRUE(links[0].unprotected);

    // The same link reached by another spelling is gone too.
    Name other(L"\\??\\COM5");
    EXPECT_EQ(IoDeleteSymbolicLink(&other), STATUS_SUCCESS);
    EXPECT_TRUE(sim::SymbolicLinks().empty());
}

TEST_F(NamespaceTest, ClashesAndMissingNamesGetTheWindowsStatuses) {
    obtest::MakeDevice(driver, L"\\Device\\VXNTQT70DIAG0");
    Name link(L"\\DosDevices\\COM7");
    Name target(L"\\Device\\VXNTQT70DIAG0");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_FALSE(sim::SymbolicLinks()[0].unprotected);

    // A port whose COM name another device already took fails its start.
    Name sameLink(L"\\??\\com7");
    EXPECT_EQ(IoCreateUnprotectedSymbolicLink(&sameLink, &target), STATUS_OBJECT_NAME_COLLISION);
    // A link cannot take a device's name either.
    Name deviceName(L"\\Device\\VXNTQT70DIAG0");
    EXPECT_EQ(IoCreateSymbolicLink(&deviceName, &target), STATUS_OBJECT_NAME_COLLISION);
    // Deleting a device's name as if it were a link is the wrong object type.
    EXPECT_EQ(IoDeleteSymbolicLink(&deviceName), STATUS_OBJECT_TYPE_MISMATCH);
    Name unknownDirectory(L"\\NoSuchDirectory\\COM7");
    EXPECT_EQ(IoCreateSymbolicLink(&unknownDirectory, &target), STATUS_OBJECT_PATH_NOT_FOUND);

    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    // The teardown that runs twice finds nothing the second time.
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(NamespaceTest, ALinkFollowsWhateverHoldsItsTargetName) {
    Name link(L"\\DosDevices\\COM9");
    Name target(L"\\Device\\Later0");
    // Windows does not check the target when the link is made.
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    EXPECT_EQ(sim::LookupDevice(u"\\??\\COM9"), nullptr);
    PDEVICE_OBJECT device = obtest::MakeDevice(driver, L"\\Device\\Later0");
    EXPECT_EQ(sim::LookupDevice(u"\\??\\COM9"), device);
    obtest::DeleteDevice(device);
    EXPECT_EQ(sim::LookupDevice(u"\\??\\COM9"), nullptr);

    // A link to a link resolves; a loop of links ends without an answer.
    Name chained(L"\\??\\MODEM");
    Name toCom9(L"\\??\\COM9");
    ASSERT_EQ(IoCreateSymbolicLink(&chained, &toCom9), STATUS_SUCCESS);
    PDEVICE_OBJECT again = obtest::MakeDevice(driver, L"\\Device\\Later0");
    EXPECT_EQ(sim::LookupDevice(u"\\DosDevices\\Modem"), again);
    Name loopA(L"\\??\\LOOPA");
    Name loopB(L"\\??\\LOOPB");
    ASSERT_EQ(IoCreateSymbolicLink(&loopA, &loopB), STATUS_SUCCESS);
    ASSERT_EQ(IoCreateSymbolicLink(&loopB, &loopA), STATUS_SUCCESS);
    EXPECT_EQ(sim::LookupDevice(u"\\??\\LOOPA"), nullptr);

    for (PUNICODE_STRING name : {&link, &chained, &loopA, &loopB})
        EXPECT_EQ(IoDeleteSymbolicLink(name), STATUS_SUCCESS);
}

NTSTATUS NTAPI LinkingEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    Name link(L"\\DosDevices\\COM3");
    Name target(L"\\Device\\Nowhere");
    return IoCreateUnprotectedSymbolicLink(&link, &target);
}

TEST(NamespaceLeftovers, ALinkOutlivingItsDriverIsLoggedAtUnload) {
    sim::Kernel kernel;
    PDRIVER_OBJECT driver = sim::CreateDriver("linker", LinkingEntry);
    ASSERT_NE(driver, nullptr);
    ASSERT_EQ(sim::SymbolicLinks().size(), 1u);
    EXPECT_EQ(sim::SymbolicLinks()[0].creator, driver);
    EXPECT_EQ(sim::SymbolicLinks()[0].creatorName, "linker");
    sim::UnloadDriver(driver);
    // Not a bug check on Windows: the link dangles until someone deletes it.
    EXPECT_NE(sim::DebugLog().find("linker unloaded leaving symbolic link \\DosDevices\\COM3"),
              std::string::npos)
        << sim::DebugLog();
    ASSERT_EQ(sim::SymbolicLinks().size(), 1u);
    EXPECT_EQ(sim::SymbolicLinks()[0].creator, nullptr);
    Name link(L"\\DosDevices\\COM3");
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
}

} // namespace
