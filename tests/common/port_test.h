// The rig as GoogleTest fixtures for the driver-level suites: a fresh machine
// per test with the phone plugged and both ports started; `EachPort` plays a
// scenario once on the modem port and once on the diagnostics port, where
// the two drivers behave alike or differ by a value the test names.
#pragma once

#include "common/pnp_rows.h"

#include <gtest/gtest.h>

#include <type_traits>
#include <vector>

namespace rig {

// What a waiter hears when the device is lost, and the line errors a lost
// diagnostics port reports.
constexpr ULONG kLinesDropped = SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD;
constexpr ULONG kAllLineErrors = SERIAL_ERROR_BREAK | SERIAL_ERROR_FRAMING | SERIAL_ERROR_OVERRUN |
                                 SERIAL_ERROR_QUEUEOVERRUN | SERIAL_ERROR_PARITY;

class PortTest : public ::testing::Test {
protected:
    PortTest() : m_(VXQT70_MODEM_IMAGE, VXQT70_DIAG_IMAGE) {}

    void SetUp() override {
        for (Which which : {Which::Modem, Which::Diag}) {
            ASSERT_TRUE(m_.Started(which)) << WhichName(which);
            ASSERT_NE(m_.Node(which)->comPort, 0u) << WhichName(which);
        }
    }
    // Cleanup ends what is still pending; a close that never ends is a fault.
    void TearDown() override {
        for (Which which : {Which::Modem, Which::Diag})
            EXPECT_TRUE(m_.Port(which).Close()) << WhichName(which) << " close hung";
    }

    ComPort& Modem() { return m_.Port(Which::Modem); }
    ComPort& Diag() { return m_.Port(Which::Diag); }
    usb::Phone& Phone() { return m_.Phone(); }
    // Opens the port and forgets what the open itself did on the bus.
    void Open(ComPort& port) {
        ASSERT_EQ(port.Open(), 0u) << port.Name();
        Phone().ClearTimeline();
        port.Usb()->ClearClassRequests();
    }

    Machine m_;
};

// One port of the phone, opened.
template <Which W> class OpenTest : public PortTest {
protected:
    void SetUp() override {
        PortTest::SetUp();
        if (!HasFatalFailure())
            Open(m_.Port(W));
    }
};
using ModemTest = OpenTest<Which::Modem>;
using DiagTest = OpenTest<Which::Diag>;

// One port of the phone per instance: Port() is it, IsModem() tells which.
class EachPort : public PortTest, public ::testing::WithParamInterface<Which> {
protected:
    ComPort& Port() { return m_.Port(GetParam()); }
    bool IsModem() const { return GetParam() == Which::Modem; }
    // The value for this port: the modem's or the diagnostics port's.
    template <typename T> T Pick(T modem, std::type_identity_t<T> diag) const {
        return IsModem() ? modem : diag;
    }
};

// The same, with the port opened.
class EachOpenPort : public EachPort {
protected:
    void SetUp() override {
        EachPort::SetUp();
        if (!HasFatalFailure())
            Open(Port());
    }
};

inline std::string PortParamName(const ::testing::TestParamInfo<Which>& info) {
    return info.param == Which::Modem ? "modem" : "diag";
}

// A record's bytes, so that a whole reply is compared at once and a
// mismatch shows where it differs.
template <typename T> std::vector<uint8_t> Bytes(const T& value) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(&value);
    return std::vector<uint8_t>(bytes, bytes + sizeof value);
}

} // namespace rig

#define RIG_ON_BOTH_PORTS(suite)                                                                   \
    INSTANTIATE_TEST_SUITE_P(Ports, suite, ::testing::Values(rig::Which::Modem, rig::Which::Diag), \
                             rig::PortParamName)
