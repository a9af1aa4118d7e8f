// Events leave the phone in the order it made them. After ATD the modem
// sends its echo and "CONNECT", then raises the carrier: an application
// waiting for RLSD must find those bytes already in its input when the wait
// ends, not see RLSD over an empty queue and the bytes a frame later.
#include "platform/sim/sim.h"
#include "platform/usb/bus.h"
#include "platform/win32/win32.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

class ModemEventOrder : public ::testing::Test {
protected:
    ModemEventOrder() {
        sim::RegisterDriverImage("vxqt70modem", VXQT70_MODEM_IMAGE);
        bus_ = std::make_unique<usb::Bus>();
        usb::PhoneConfig config;
        config.interfaces = {usb::InterfaceKind::Modem};
        config.atModem = true;
        phone_ = &bus_->PlugIn(config);
        node_ = sim::PnpFindNode(phone_->At(0).Pdo());
    }
    ~ModemEventOrder() override {
        if (port_ != INVALID_HANDLE_VALUE)
            CloseHandle(port_);
        bus_.reset();
    }

    sim::Kernel kernel_;
    std::unique_ptr<usb::Bus> bus_;
    usb::Phone* phone_ = nullptr;
    sim::DevNode* node_ = nullptr;
    HANDLE port_ = INVALID_HANDLE_VALUE;
};

TEST_F(ModemEventOrder, ConnectReachesTheApplicationBeforeOrWithTheCarrier) {
    ASSERT_NE(node_, nullptr);
    const std::string name = "\\\\.\\COM" + std::to_string(node_->comPort);
    port_ = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                        FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(port_, INVALID_HANDLE_VALUE);
    // A read that ends as soon as bytes are there.
    COMMTIMEOUTS timeouts = {MAXDWORD, MAXDWORD, 60000, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));
    ASSERT_TRUE(SetCommMask(port_, EV_RLSD));
    sim::RunUntilIdle();

    char input[64] = {};
    OVERLAPPED read{}, wait{}, write{};
    DWORD events = 0, bytes = 0;
    ASSERT_FALSE(ReadFile(port_, input, sizeof input, &bytes, &read));
    ASSERT_FALSE(WaitCommEvent(port_, &events, &wait));
    // The first bus event after the wait has ended tells whether the read
    // had its bytes by then.
    int readDoneAtCarrier = -1;
    phone_->SetEventHook([&](const usb::BusEvent&) {
        if (readDoneAtCarrier < 0 && HasOverlappedIoCompleted(&wait))
            readDoneAtCarrier = HasOverlappedIoCompleted(&read) ? 1 : 0;
    });
    const char dial[] = "ATD5551234\r";
    WriteFile(port_, dial, sizeof dial - 1, &bytes, &write);
    sim::RunUntilIdle();
    phone_->SetEventHook(nullptr);

    ASSERT_TRUE(HasOverlappedIoCompleted(&wait));
    EXPECT_EQ(events, DWORD(EV_RLSD));
    EXPECT_EQ(readDoneAtCarrier, 1) << "RLSD came over an empty input queue";
    ASSERT_TRUE(GetOverlappedResult(port_, &read, &bytes, FALSE));
    EXPECT_NE(std::string(input, bytes).find("CONNECT"), std::string::npos) << input;
}

} // namespace
