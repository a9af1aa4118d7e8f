// Events leave the phone in the order it made them. After ATD the modem
// sends its echo and "CONNECT", then raises the carrier: an application
// waiting for RLSD must find those bytes already in its input when the wait
// ends, not see RLSD over an empty queue and the bytes a frame later.
#include "common/machine.h"

#include <gtest/gtest.h>

namespace {

TEST(ModemEventOrder, ConnectReachesTheApplicationBeforeOrWithTheCarrier) {
    rig::MachineOptions options;
    options.atModem = true;
    rig::Machine m(VXQT70_MODEM_IMAGE, VXQT70_DIAG_IMAGE, options);
    rig::ComPort& port = m.Port(rig::Which::Modem);
    ASSERT_EQ(port.Open(), 0u);
    // A read that ends as soon as bytes are there.
    ASSERT_EQ(port.SetTimeouts(MAXDWORD, MAXDWORD, 60000), STATUS_SUCCESS);
    ASSERT_EQ(port.Set(IOCTL_SERIAL_SET_WAIT_MASK, ULONG(SERIAL_EV_RLSD)), STATUS_SUCCESS);
    rig::Request& read = port.StartRead(64);
    rig::Request& wait = port.StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
    EXPECT_FALSE(read.Done());
    EXPECT_FALSE(wait.Done());
    // The first bus event after the wait has ended tells whether the read
    // had its bytes by then.
    int readDoneAtCarrier = -1;
    m.Phone().SetEventHook([&](const usb::BusEvent&) {
        if (readDoneAtCarrier < 0 && wait.Done())
            readDoneAtCarrier = read.Done() ? 1 : 0;
    });
    const std::string dial = "ATD5551234\r";
    port.StartWrite(dial);
    sim::RunUntilIdle();
    m.Phone().SetEventHook(nullptr);

    EXPECT_TRUE(wait.Done());
    ULONG events = 0;
    memcpy(&events, wait.output.data(), sizeof events);
    EXPECT_EQ(events, ULONG(SERIAL_EV_RLSD));
    EXPECT_EQ(readDoneAtCarrier, 1) << "RLSD came over an empty input queue";
    // Success or the informational time-out: both are a read that returned
    // its bytes.
    EXPECT_TRUE(NT_SUCCESS(read.Status())) << std::hex << read.Status();
    const std::string got(read.output.begin(), read.output.begin() + read.Bytes());
    EXPECT_NE(got.find("CONNECT"), std::string::npos) << got;
    EXPECT_TRUE(port.Close());
}

} // namespace
