// Both drivers in one machine, both ports open and carrying data in each
// direction, through many sleeps and wakes; then closed, unplugged and
// unloaded with nothing left behind (the kernel's teardown runs the
// verifier's end-of-run checks: pool, IRPs, remove locks, timers).
#include "platform/sim/sim.h"
#include "platform/usb/bus.h"
#include "platform/win32/win32.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace power_driver {
namespace {

class BothPorts : public ::testing::Test {
protected:
    BothPorts() {
        sim::RegisterDriverImage("vxqt70modem", VXQT70_MODEM_IMAGE);
        sim::RegisterDriverImage("vxqt70diag", VXQT70_DIAG_IMAGE);
        bus_ = std::make_unique<usb::Bus>();
        phone_ = &bus_->PlugIn();
        modem_ = sim::PnpFindNode(phone_->Modem().Pdo());
        diag_ = sim::PnpFindNode(phone_->Diagnostics().Pdo());
    }
    ~BothPorts() override { bus_.reset(); }

    static HANDLE OpenPort(sim::DevNode* node) {
        std::string name = "\\\\.\\COM" + std::to_string(node->comPort);
        HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return h;
        SERIAL_TIMEOUTS timeouts{};
        timeouts.ReadIntervalTimeout = 0xFFFFFFFF; // reads return what the ring holds
        DWORD bytes = 0;
        DeviceIoControl(h, IOCTL_SERIAL_SET_TIMEOUTS, &timeouts, sizeof timeouts, nullptr, 0,
                        &bytes, nullptr);
        return h;
    }
    static std::string ReadAll(HANDLE h) {
        std::string got(4096, '\0');
        DWORD bytes = 0;
        if (!ReadFile(h, got.data(), static_cast<DWORD>(got.size()), &bytes, nullptr))
            return "(read failed, error " + std::to_string(GetLastError()) + ")";
        got.resize(bytes);
        return got;
    }
    static bool Write(HANDLE h, const std::string& text) {
        DWORD bytes = 0;
        return WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &bytes, nullptr) &&
               bytes == text.size();
    }
    // One exchange each way on both ports.
    void Exchange(HANDLE modem, HANDLE diag, const std::string& tag) {
        phone_->Modem().Push("modem in " + tag);
        phone_->Diagnostics().Push("diag in " + tag);
        sim::RunUntilIdle();
        EXPECT_EQ(ReadAll(modem), "modem in " + tag);
        EXPECT_EQ(ReadAll(diag), "diag in " + tag);
        ASSERT_TRUE(Write(modem, "modem out " + tag));
        ASSERT_TRUE(Write(diag, "diag out " + tag));
        sim::RunUntilIdle();
        EXPECT_EQ(phone_->Modem().TakeReceivedText(), "modem out " + tag);
        EXPECT_EQ(phone_->Diagnostics().TakeReceivedText(), "diag out " + tag);
    }

    sim::Kernel kernel_;
    std::unique_ptr<usb::Bus> bus_;
    usb::Phone* phone_ = nullptr;
    sim::DevNode* modem_ = nullptr;
    sim::DevNode* diag_ = nullptr;
};

TEST_F(BothPorts, HundredSleepsWithBothPortsOpenAndDataFlowing) {
    ASSERT_EQ(modem_->state, sim::DevNodeState::Started);
    ASSERT_EQ(diag_->state, sim::DevNodeState::Started);
    HANDLE modem = OpenPort(modem_);
    HANDLE diag = OpenPort(diag_);
    ASSERT_NE(modem, INVALID_HANDLE_VALUE);
    ASSERT_NE(diag, INVALID_HANDLE_VALUE);
    sim::RunUntilIdle();

    for (int cycle = 0; cycle < 100 && !HasFailure(); cycle++) {
        const std::string tag = std::to_string(cycle);
        Exchange(modem, diag, tag + " before");
        const SYSTEM_POWER_STATE sleep =
            cycle % 2 == 0 ? PowerSystemSleeping3 : PowerSystemHibernate;
        ASSERT_EQ(sim::SetSystemPowerState(sleep), STATUS_SUCCESS) << "cycle " << cycle;
        sim::RunUntilIdle();
        // The phone is off: nothing it holds is moving.
        EXPECT_EQ(phone_->Modem().Outstanding(usb::Pipe::BulkIn), 0u) << "cycle " << cycle;
        EXPECT_EQ(phone_->Diagnostics().Outstanding(usb::Pipe::BulkIn), 0u) << "cycle " << cycle;
        ASSERT_EQ(sim::SetSystemPowerState(PowerSystemWorking), STATUS_SUCCESS);
        sim::RunUntilIdle();
        // Reception is back on each port, exactly once.
        EXPECT_EQ(phone_->Modem().Outstanding(usb::Pipe::BulkIn), 1u) << "cycle " << cycle;
        EXPECT_EQ(phone_->Modem().Outstanding(usb::Pipe::InterruptIn), 1u) << "cycle " << cycle;
        EXPECT_EQ(phone_->Diagnostics().Outstanding(usb::Pipe::BulkIn), 1u) << "cycle " << cycle;
        Exchange(modem, diag, tag + " after");
    }

    // Every power IRP of the run ended well, and each port asked for D3 and
    // D0 once per cycle.
    size_t requested = 0;
    for (const auto& r : sim::PowerIrpLog()) {
        EXPECT_EQ(r.status, STATUS_SUCCESS) << "power IRP " << r.id;
        requested += r.requested && r.minor == IRP_MN_SET_POWER;
    }
    EXPECT_EQ(requested, 2u * 2u * 100u);

    EXPECT_TRUE(CloseHandle(modem));
    EXPECT_TRUE(CloseHandle(diag));
    sim::RunUntilIdle();
    phone_->Unplug();
    sim::RunUntilIdle();
    EXPECT_EQ(modem_->state, sim::DevNodeState::Deleted);
    EXPECT_EQ(diag_->state, sim::DevNodeState::Deleted);
    EXPECT_EQ(sim::DriverUnloadCount("vxqt70modem"), 1u);
    EXPECT_EQ(sim::DriverUnloadCount("vxqt70diag"), 1u);
}

} // namespace
} // namespace power_driver
