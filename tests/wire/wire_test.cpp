// The wire model against figures worked out by hand from USB 2.0's frame
// rules. Full speed: 1 ms frames (10,000 units of 100 ns), 19 bulk packets of
// 64 bytes a frame; high speed: 125 us microframes (1,250 units), 13 packets
// of 512 bytes. A transfer submitted at T starts in the (micro)frame after
// the one T falls in; its completion arrives at the end of the (micro)frame
// it finished in, plus the host controller's latency.
#include "platform/usb/wire.h"

#include <gtest/gtest.h>

#include <memory>
#include <tuple>
#include <vector>

namespace {

constexpr LONGLONG kMs = 10000;
constexpr ULONGLONG kAll = ~0ull;

struct Step {
    WIRE_KIND kind;
    BOOLEAN in;
    ULONG maxPacket;   // 0: the speed's bulk packet
    ULONG interval;
    WIRE_SUPPLY supply;
    LONGLONG submitted;
    ULONG length;
    bool samePipe;     // queued behind the previous step's transfer
};

struct Expect {
    LONGLONG first, last, completion;
    ULONG bytes, packets;
    bool finished;
};

struct Row {
    const char* what;
    WIRE_SPEED speed;
    LONGLONG latency;
    std::vector<Step> steps; // the last one is checked
    Expect expect;
};

const WIRE_SUPPLY kPlenty = {0, kAll, 0, FALSE};

Step Bulk(ULONG length, LONGLONG at = 0, WIRE_SUPPLY supply = kPlenty, bool same = false) {
    return {WireBulk, TRUE, 0, 0, supply, at, length, same};
}

const Row kRows[] = {
    // 64 packets: 19 + 19 + 19 in frames 2-4, the last 7 in frame 5 (the
    // one after the submission, half way into frame 1); seen at 6 ms, 1 ms
    // later with moderation (the same through a port: wire_port_test.cpp).
    {"FS 4096 mid-frame", WireFullSpeed, kMs, {Bulk(4096, 15000)}, {2, 5, 7 * kMs, 4096, 64, true}},
    // 128 packets: 9 microframes of 13 and 11 in microframe 10.
    {"HS 65536", WireHighSpeed, 0, {Bulk(65536)}, {1, 10, 13750, 65536, 128, true}},
    // The phone has 100 bytes: a full packet and a short one of 36 end it.
    {"FS short packet", WireFullSpeed, 0, {Bulk(4096, 0, {0, 100, 0, FALSE})}, {1, 1, 2 * kMs, 100, 2, true}},
    // Two full packets then nothing: a zero-length packet ends the burst,
    // or without one the transfer waits.
    {"FS burst ends with ZLP", WireFullSpeed, 0, {Bulk(4096, 0, {0, 128, 0, TRUE})}, {1, 1, 2 * kMs, 128, 3, true}},
    // An answer with no data (an empty packet, a stall's handshake) still takes its frame.
    {"FS nothing but the handshake", WireFullSpeed, 0, {Bulk(4096, 0, {0, 0, 0, TRUE})}, {1, 1, 2 * kMs, 0, 1, true}},
    {"FS burst without ZLP", WireFullSpeed, 0, {Bulk(4096, 0, {0, 128, 0, FALSE})}, {1, 1, -1, 128, 2, false}},
    // Bytes arrive at 7.2 Mbit/s (900 bytes a ms): at frame 1 the phone has
    // 900, 14 full packets and a short one of 4.
    {"FS 7.2 Mbit/s radio", WireFullSpeed, 0, {Bulk(4096, 0, {0, kAll, 900000, FALSE})}, {1, 1, 2 * kMs, 900, 15, true}},
    // Nothing before 3.5 ms: NAKs until frame 4.
    {"FS data arrives late", WireFullSpeed, 0, {Bulk(64, 0, {35000, kAll, 0, FALSE})}, {4, 4, 5 * kMs, 64, 1, true}},
    // Interrupt every 8 frames: a 10-byte SERIAL_STATE goes in frame 8.
    {"FS interrupt interval 8", WireFullSpeed, 0, {{WireInterrupt, TRUE, 16, 8, {0, 10, 0, FALSE}, 0, 16, false}}, {8, 8, 9 * kMs, 10, 1, true}},
    {"HS interrupt interval 8", WireHighSpeed, 0, {{WireInterrupt, TRUE, 16, 8, {0, 10, 0, FALSE}, 0, 16, false}}, {8, 8, 9 * 1250, 10, 1, true}},
    // 40 bytes in 16-byte packets, one per service at frames 4, 8, 12.
    {"FS interrupt three services", WireFullSpeed, 0, {{WireInterrupt, TRUE, 16, 4, {0, 40, 0, FALSE}, 0, 64, false}}, {4, 12, 13 * kMs, 40, 3, true}},
    // Queued behind the first: the next service, frame 8.
    {"FS interrupt second in flight", WireFullSpeed, 0, {{WireInterrupt, TRUE, 16, 4, {0, 40, 0, FALSE}, 0, 16, false}, {WireInterrupt, TRUE, 16, 4, {}, 0, 16, true}}, {8, 8, 9 * kMs, 16, 1, true}},
    // SET_LINE_CODING: setup, 7 data bytes, status in frame 1.
    {"FS control 7-byte data stage", WireFullSpeed, 0, {{WireControl, FALSE, 0, 0, kPlenty, 0, 7, false}}, {1, 1, 2 * kMs, 7, 3, true}},
    // Behind a 4096-byte bulk transfer frames 1-3 are full; frame 4 has 12 slots.
    {"FS control behind bulk", WireFullSpeed, 0, {Bulk(4096), {WireControl, FALSE, 0, 0, kPlenty, 0, 0, false}}, {4, 4, 5 * kMs, 0, 2, true}},
    // Two pipes' 4096-byte transfers share the frames: the second gets 12 in
    // frame 4, 38 in frames 5-6 and its last 14 in frame 7.
    {"FS two pipes share the budget", WireFullSpeed, 0, {Bulk(4096), Bulk(4096)}, {4, 7, 8 * kMs, 4096, 64, true}},
    // Queued behind one of its own pipe: it goes on in frame 4, same figures.
    {"FS second in flight", WireFullSpeed, 0, {Bulk(4096), Bulk(4096, 0, kPlenty, true)}, {4, 7, 8 * kMs, 4096, 64, true}},
    // OUT to a phone that takes 64 bytes a ms: one packet a frame.
    {"FS OUT to a slow phone", WireFullSpeed, 0, {{WireBulk, FALSE, 0, 0, {0, kAll, 64000, FALSE}, 0, 256, false}}, {1, 4, 5 * kMs, 256, 4, true}},
};

TEST(WireModel, HandWorkedTransfers) {
    auto bus = std::make_unique<WIRE_BUS>();
    for (const Row& row : kRows) {
        SCOPED_TRACE(row.what);
        WireInitBus(bus.get(), row.speed, row.latency);
        std::vector<WIRE_PIPE> pipes(row.steps.size());
        WIRE_TRANSFER t{};
        size_t pipe = 0;
        for (size_t i = 0; i < row.steps.size(); i++) {
            const Step& s = row.steps[i];
            if (!s.samePipe) {
                pipe = i;
                WireInitPipe(&pipes[pipe], bus.get(), s.kind, s.in, s.maxPacket, s.interval);
                WireSetSupply(&pipes[pipe], &s.supply);
            }
            WireSchedule(&pipes[pipe], s.submitted, s.length, &t);
        }
        const Expect& e = row.expect;
        EXPECT_EQ(std::make_tuple(t.FirstFrame, t.LastFrame, t.Completion, t.Bytes, t.Packets,
                                  t.Finished != FALSE),
                  std::make_tuple(e.first, e.last, e.completion, e.bytes, e.packets, e.finished))
            << "first and last frame, completion, bytes, packets, finished";
    }
}

// Streams of 4096-byte transfers, each resubmitted when its completion
// arrives. One in flight at full speed: 4 frames of data, completion at the
// end of the 4th, the resubmission starts a frame later: 4096 bytes every 5
// ms (6 with 1 ms latency), 673 (561) per mille of 1,216,000 bytes/s. At
// high speed, one microframe of data and one lost: 4096 every 250 us, 307 per
// mille of 53,248,000 (61 with 1 ms latency). Four in flight keep the frames
// full: 6400 packets in 337 frames, done at 338 ms: 996 per mille.
TEST(WireModel, StreamsAgainstTheWireLimit) {
    struct StreamRow {
        WIRE_SPEED speed;
        LONGLONG latency;
        ULONG inFlight;
        ULONGLONG total;
        LONGLONG elapsed;
        ULONG perMille;
        LONGLONG first;
    };
    const StreamRow rows[] = {
        {WireFullSpeed, 0, 1, 409600, 500 * kMs, 673, 5 * kMs},
        {WireFullSpeed, kMs, 1, 409600, 600 * kMs, 561, 6 * kMs},
        {WireHighSpeed, 0, 1, 409600, 100 * 2500, 307, 2500},
        {WireHighSpeed, kMs, 1, 409600, 100 * 12500, 61, 12500},
        {WireFullSpeed, 0, 4, 409600, 338 * kMs, 996, 5 * kMs},
        {WireFullSpeed, kMs, 4, 409600, 339 * kMs, 993, 6 * kMs},
    };
    auto bus = std::make_unique<WIRE_BUS>();
    for (const StreamRow& r : rows) {
        SCOPED_TRACE(testing::Message() << "speed " << r.speed << " latency " << r.latency
                                        << " in flight " << r.inFlight);
        WIRE_STREAM s{};
        WireStream(bus.get(), r.speed, r.latency, TRUE, 4096, r.inFlight, r.total, nullptr, &s);
        EXPECT_EQ(std::make_tuple(s.Bytes, s.Transfers, s.Elapsed, s.PerMilleOfLimit,
                                  s.FirstCompletion),
                  std::make_tuple(r.total, r.total / 4096, r.elapsed, r.perMille, r.first))
            << "bytes, transfers, elapsed, per mille of the limit, first completion";
    }
}

} // namespace
