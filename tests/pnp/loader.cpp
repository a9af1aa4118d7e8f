// Driver images: a shared object mapped at its first device, its DriverEntry
// called once, unmapped after its last device, and bound to its own symbols;
// next to drivers linked into the executable.
#include "pnp/stack.h"

#include "platform/sim/api_ex.h"
#include "platform/sim/api_io.h"

#include <gmock/gmock.h>

using namespace pnptest;

// A routine under the same name as one inside the test image. The executable
// exports it (-rdynamic); an image that bound to it instead of its own would
// report a failure in its load banner.
extern "C" __attribute__((visibility("default"), used)) NTSTATUS NTAPI VxImageProbe(void) {
    return STATUS_UNSUCCESSFUL;
}

namespace {

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

class Loader : public StackTest {
protected:
    void SetUp() override {
        StackTest::SetUp();
        sim::RegisterDriverImage("vximage", PNP_TEST_IMAGE);
        sim::MapInterfaceKind("modem", "vximage");
    }
};

TEST_F(Loader, ImageIsMappedOnceBindsToItsOwnSymbolsAndIsUnmappedAfterItsLastDevice) {
    sim::DevNode* a = Plug("modem");
    sim::DevNode* b = Plug("modem");
    ASSERT_EQ(a->state, sim::DevNodeState::Started);
    ASSERT_EQ(b->state, sim::DevNodeState::Started);

    EXPECT_EQ(sim::DriverLoadCount("vximage"), 1u);
    const std::string log = sim::DebugLog();
    EXPECT_EQ(Count(log, "testimage: load"), 1u);
    EXPECT_NE(log.find("testimage: load 1 probe 0x0"), std::string::npos) << log;
    // The verifier can tell the image's code from everything else.
    PDRIVER_OBJECT driver = sim::LoadedDriver("vximage");
    ASSERT_NE(driver, nullptr);
    EXPECT_NE(driver->DriverStart, nullptr);
    EXPECT_GT(driver->DriverSize, 0u);
    const auto entry = reinterpret_cast<uintptr_t>(driver->MajorFunction[IRP_MJ_PNP]);
    const auto start = reinterpret_cast<uintptr_t>(driver->DriverStart);
    EXPECT_GE(entry, start);
    EXPECT_LT(entry, start + driver->DriverSize);
    // A driver linked into the executable serves its kind next to it.
    sim::DevNode* diag = Plug("diagnostics");
    EXPECT_EQ(sim::DriverName(a->driver), "vximage");
    EXPECT_EQ(sim::DriverName(diag->driver), "vxtest");
    EXPECT_EQ(sim::ServiceForInterfaceKind("camera"), ""); // a kind nobody serves

    // Unloaded after the last device, and mapped again from zeroed data,
    // like a reloaded .sys.
    Unplug(a->pdo);
    EXPECT_NE(sim::LoadedDriver("vximage"), nullptr);
    Unplug(b->pdo);
    EXPECT_EQ(sim::LoadedDriver("vximage"), nullptr);
    EXPECT_EQ(Count(sim::DebugLog(), "testimage: unload"), 1u);
    Plug("modem");
    EXPECT_EQ(sim::DriverLoadCount("vximage"), 2u);
    EXPECT_EQ(Count(sim::DebugLog(), "testimage: load 1 "), 2u);
    EXPECT_EQ(Count(sim::DebugLog(), "testimage: load 2 "), 0u);
}

} // namespace
