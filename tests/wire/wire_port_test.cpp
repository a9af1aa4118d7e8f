// The bus timed by the wire model, seen through real port reads: the phone
// has two transfers' worth (8192 bytes) at a frame boundary P, the driver's
// one 4096-byte bulk-in transfer is already waiting, and two reads of 4096
// bytes return as the two transfers complete. Figures worked out by hand
// from the frame rules (see wire_test.cpp).
#include "common/machine.h"

#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr LONGLONG kMs = 10000;
constexpr LONGLONG kUs = 10;

struct Row {
    const char* what;
    WIRE_SPEED speed;
    LONGLONG latency;
    ULONGLONG phoneRate;
    LONGLONG first, second; // the two bulk-in completions, after P
    bool unplug;            // how the run ends: pulled, or just closed
};

const Row kRows[] = {
    // 64 packets, 19 + 19 + 19 + 7 in frames P..P+3: done at P+4 ms. The
    // resubmission starts in the next frame: P+5..P+8, done at P+9 ms.
    {"FS", WireFullSpeed, 0, 0, 4 * kMs, 9 * kMs, false},
    // Moderation: seen at P+5 ms, resubmitted then, frames P+6..P+9, seen
    // at P+10+1 ms.
    {"FS 1 ms latency", WireFullSpeed, kMs, 0, 5 * kMs, 11 * kMs, true},
    // 8 packets of 512 in microframe P: done at P+125 us; resubmitted, the
    // next microframe but one: P+375 us.
    {"HS", WireHighSpeed, 0, 0, 125 * kUs, 375 * kUs, true},
    // Seen at P+1.125 ms, resubmitted into microframe P+10 (P+1.25 ms),
    // done at P+1.375 ms, seen at P+2.375 ms.
    {"HS 1 ms latency", WireHighSpeed, kMs, 0, 1125 * kUs, 2375 * kUs, false},
    // A 7.2 Mbit/s radio (900 bytes a ms) from P, whole packets only: 14,
    // 28, 42, 56 packets' worth at P+1..P+4 ms, the last 8 at P+5: done at
    // P+6 ms. The second 4096 bytes came in from P+4.5511 ms: resubmitted
    // into frame P+7, 19 packets in each of P+7..P+9 (2204, 3104, 4004
    // bytes there by then), the last 7 at P+10: done at P+11 ms.
    {"FS 7.2 Mbit/s phone", WireFullSpeed, 0, 900000, 6 * kMs, 11 * kMs, false},
};

class WirePort : public testing::TestWithParam<std::tuple<Row, rig::Which>> {};

TEST_P(WirePort, OneTransferInFlightThroughARead) {
    const auto& [row, which] = GetParam();
    rig::MachineOptions options;
    options.phone = [&row](usb::PhoneConfig& config) {
        config.TimeWire(row.speed, row.latency, row.phoneRate);
    };
    rig::Machine machine(VXQT70_MODEM_IMAGE, VXQT70_DIAG_IMAGE, options);
    rig::ComPort& port = machine.Port(which);
    ASSERT_EQ(port.Open(), 0u);
    ASSERT_EQ(port.SetTimeouts(0, 0, 0), STATUS_SUCCESS); // a read waits for all it asked
    const LONGLONG p = (sim::Now() / (10 * kMs) + 1) * 10 * kMs;
    sim::AdvanceClock(p - sim::Now());
    machine.Phone().ClearTimeline();
    const std::vector<uint8_t> bytes = rig::Pattern(8192);
    port.Usb()->Push(bytes.data(), bytes.size(), usb::Pipe::BulkIn, 0, false);

    // Waiting blocks the only thread, so the clock moves from timer to timer
    // and stops where the read completes.
    std::vector<LONGLONG> returned;
    std::vector<uint8_t> got;
    for (int i = 0; i < 2; i++) {
        rig::Request& read = port.StartRead(4096);
        DWORD n = 0;
        EXPECT_TRUE(GetOverlappedResult(port.Handle(), &read.overlapped, &n, TRUE));
        EXPECT_EQ(read.Status(), STATUS_SUCCESS);
        returned.push_back(sim::Now() - p);
        got.insert(got.end(), read.output.begin(), read.output.begin() + n);
    }
    EXPECT_EQ(returned, (std::vector<LONGLONG>{row.first, row.second}));
    EXPECT_EQ(got, bytes);

    // The port ends with a transfer on the wire: closed (the driver aborts
    // its pipe) or pulled; either way the held transfer leaves with its
    // pipe's abort, or at the unplug, and nothing is left behind.
    port.Usb()->Push(bytes.data(), 4096, usb::Pipe::BulkIn, 0, false);
    sim::RunUntilIdle();
    if (row.unplug)
        machine.Unplug();
    EXPECT_TRUE(port.Close());
    EXPECT_EQ(row.unplug ? machine.Leftovers() : "", "");
}

INSTANTIATE_TEST_SUITE_P(Rows, WirePort,
                         testing::Combine(testing::ValuesIn(kRows),
                                          testing::Values(rig::Which::Modem, rig::Which::Diag)),
                         [](const testing::TestParamInfo<WirePort::ParamType>& p) {
                             std::string name = std::string(std::get<0>(p.param).what) + "_" +
                                                rig::WhichName(std::get<1>(p.param));
                             for (char& c : name)
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             return name;
                         });

} // namespace
