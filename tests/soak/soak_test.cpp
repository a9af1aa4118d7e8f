// The soak (label "soak", outside the default run): plug/unplug and
// sleep/wake cycles with the port open and data flowing, and a long stream
// each way with random read and write sizes and time-outs. Every byte must
// arrive in order, and the pool in use must stay flat after warm-up: the
// highest pool use seen is printed per tenth of the cycles (per 10,000
// rounds of the stream) and may not rise above the first such block.
//
// VXQT70_SOAK_SCALE=n divides every count by n (CI runs a shortened form).
#include "common/port_test.h" // RIG_ON_BOTH_PORTS

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>

namespace {

uint64_t Scaled(uint64_t count) {
    const char* scale = std::getenv("VXQT70_SOAK_SCALE");
    uint64_t s = scale != nullptr ? std::max<uint64_t>(1, std::strtoull(scale, nullptr, 10)) : 1;
    return std::max<uint64_t>(1, count / s);
}

// Pool use, its highest value per block of cycles, printed as it goes. It is
// sampled where every request of the cycle is in flight or just ended. Flat
// after the first block: no later block may go higher than the first.
class Ledger {
public:
    Ledger(const char* what, uint64_t block) : what_(what), block_(block) {}
    void Sample() { high_ = std::max(high_, sim::PoolBytes()); }
    void EndCycle(uint64_t cycle) {
        if ((cycle + 1) % block_ != 0)
            return;
        std::printf("[ soak ] %s: cycles %llu: pool high-water %zu bytes\n", what_,
                    (unsigned long long)(cycle + 1), high_);
        std::fflush(stdout);
        if (cycle + 1 == block_)
            first_ = high_;
        EXPECT_LE(high_, first_) << what_ << " block " << cycle / block_;
        high_ = 0;
    }

private:
    const char* what_;
    uint64_t block_;
    size_t high_ = 0, first_ = 0;
};

// A stream each way: what one side sent and the other took, every byte the
// pattern's byte at its position.
struct Stream {
    uint64_t sent = 0, received = 0;
    std::vector<uint8_t> Next(size_t n) {
        sent += n;
        return rig::Pattern(n, sent - n);
    }
    bool Check(const uint8_t* bytes, size_t n) {
        received += n;
        return n == 0 || std::equal(bytes, bytes + n, rig::Pattern(n, received - n).begin());
    }
};

class Soak : public ::testing::TestWithParam<rig::Which> {
protected:
    // A read of 64 while the phone sends the stream's next `n` bytes: they
    // arrive in order.
    void ReadChecked(rig::Machine& m, Stream& stream, size_t n, uint64_t cycle) {
        rig::Request& read = m.Port(GetParam()).StartRead(64);
        const std::vector<uint8_t> bytes = stream.Next(n);
        m.Usb(GetParam())->Push(bytes.data(), bytes.size());
        ASSERT_TRUE(m.Port(GetParam()).Wait(read));
        ASSERT_TRUE(stream.Check(read.output.data(), read.Bytes())) << "cycle " << cycle;
    }
};

TEST_P(Soak, PlugUnplugWithThePortOpenAndDataFlowing) {
    rig::MachineOptions options;
    options.plug = false;
    rig::Machine m(VXQT70_MODEM_IMAGE, VXQT70_DIAG_IMAGE, options);
    const uint64_t cycles = Scaled(1000);
    Ledger ledger("plug/unplug", cycles / 10 + 1);
    for (uint64_t cycle = 0; cycle < cycles; ++cycle) {
        m.Plug();
        rig::ComPort& port = m.Port(GetParam());
        ASSERT_EQ(port.Open(), 0u) << "cycle " << cycle;
        port.SetTimeouts(5, 0, 0);
        Stream stream;
        port.StartWrite(std::vector<uint8_t>(48, 'w'));
        ASSERT_NO_FATAL_FAILURE(ReadChecked(m, stream, 40, cycle));
        port.StartRead(64);
        ledger.Sample();
        m.Unplug();
        ASSERT_TRUE(port.Close()) << "cycle " << cycle;
        ASSERT_EQ(m.Leftovers(), "") << "cycle " << cycle;
        ledger.EndCycle(cycle);
    }
}

TEST_P(Soak, SleepWakeWithThePortOpen) {
    rig::Machine m(VXQT70_MODEM_IMAGE, VXQT70_DIAG_IMAGE);
    rig::ComPort& port = m.Port(GetParam());
    ASSERT_EQ(port.Open(), 0u);
    port.SetTimeouts(5, 0, 0);
    const uint64_t cycles = Scaled(1000);
    Ledger ledger("sleep/wake", cycles / 10 + 1);
    Stream stream;
    for (uint64_t cycle = 0; cycle < cycles; ++cycle) {
        ASSERT_EQ(m.SleepAndWake(cycle % 2 ? PowerSystemHibernate : PowerSystemSleeping3),
                  STATUS_SUCCESS)
            << "cycle " << cycle;
        ASSERT_NO_FATAL_FAILURE(ReadChecked(m, stream, 20, cycle));
        rig::Request& write = port.StartWrite(std::vector<uint8_t>(20, 'z'));
        ASSERT_TRUE(port.Wait(write));
        ledger.Sample();
        port.Prune();
        ledger.EndCycle(cycle);
    }
    ASSERT_TRUE(port.Close());
}

TEST_P(Soak, HundredMillionBytesEachWayInOrder) {
    rig::Machine m(VXQT70_MODEM_IMAGE, VXQT70_DIAG_IMAGE);
    rig::ComPort& port = m.Port(GetParam());
    usb::Interface& phone = *m.Usb(GetParam());
    ASSERT_EQ(port.Open(), 0u);
    std::mt19937_64 random(19);
    const uint64_t total = Scaled(100'000'000);
    Stream in, out;
    uint64_t rounds = 0;
    Ledger ledger("stream", 10000); // rounds of one read and one write
    while (in.received < total || out.received < total) {
        // Random sizes and time-outs, within what keeps the ring from
        // overflowing (the phone sends no more than the reads ask for).
        const ULONG readSize = 1 + random() % 4096;
        port.SetTimeouts(random() % 3 == 0 ? 0xFFFFFFFFu : (ULONG)(random() % 20), 0,
                         (ULONG)(random() % 50));
        rig::Request& read = port.StartRead(readSize);
        if (in.sent < total) {
            const std::vector<uint8_t> bytes =
                in.Next(std::min<uint64_t>(1 + random() % readSize, total - in.sent));
            phone.Push(bytes.data(), bytes.size());
        }
        rig::Request& write =
            port.StartWrite(out.Next(std::min<uint64_t>(1 + random() % 4096, total - out.sent)));
        ASSERT_TRUE(port.Wait(read));
        ASSERT_TRUE(port.Wait(write));
        ASSERT_TRUE(NT_SUCCESS(write.Status()));
        ASSERT_TRUE(in.Check(read.output.data(), read.Bytes())) << "at " << in.received;
        std::vector<uint8_t> got = phone.TakeReceived();
        ASSERT_TRUE(out.Check(got.data(), got.size())) << "at " << out.received;
        ledger.Sample();
        port.Prune();
        if (in.received >= in.sent && in.sent >= total && out.received >= total)
            break;
        ledger.EndCycle(rounds++);
    }
    std::printf("[ soak ] stream: %llu bytes in, %llu out, %llu rounds\n",
                (unsigned long long)in.received, (unsigned long long)out.received,
                (unsigned long long)rounds);
    ASSERT_TRUE(port.Close());
}

RIG_ON_BOTH_PORTS(Soak);

} // namespace
