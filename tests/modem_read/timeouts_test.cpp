// The read time-outs as a truth table, on both ports: the three values, the
// length asked, what the ring held and what the phone sends when, against
// when the read ends, with which status and which bytes. After each row a
// read without time-outs must wait for data: no timer of the row outlives it.
#include "common/port_test.h"

namespace {

using rig::Request;

constexpr ULONG kMax = 0xFFFFFFFF;
constexpr ULONG kHour = 3600 * 1000;
constexpr ULONG kEmptyPacket = 1; // `later` is an empty packet

struct Timing {
    const char* name;
    ULONG interval, multiplier, constant;
    DWORD length;
    const char* before; // in the ring when the read is issued
    ULONG deliverAt;    // ms after the read the phone sends `later` (kMax: never)
    const char* later;
    ULONG endsAt; // ms after the read it ends
    NTSTATUS modem, diag;
    const char* got;
    ULONG flags = 0;
};

constexpr NTSTATUS kOk = STATUS_SUCCESS;
constexpr NTSTATUS kTimeout = STATUS_TIMEOUT;

const Timing kTimings[] = {
    // Bytes waiting answer at once, whatever the time-outs; the oldest first.
    {"RingAnswersAtOnce", 0, 10, 100, 100, "abc", kMax, "", 0, kOk, kOk, "abc"},
    {"ShortReadTakesTheOldest", 0, 0, 0, 4, "abcdefghij", kMax, "", 0, kOk, kOk, "abcd"},
    {"ZeroLengthTakesNothing", 0, 0, 0, 0, "xy", kMax, "", 0, kOk, kOk, ""},
    // MAXULONG interval with both totals 0: at once, even with nothing.
    {"ImmediateWithNothing", kMax, 0, 0, 100, "", kMax, "", 0, kOk, kOk, ""},
    {"ImmediateWithBytes", kMax, 0, 0, 100, "ok", kMax, "", 0, kOk, kOk, "ok"},
    // No time-outs: the next transfer ends the read, however late. Fewer
    // bytes than asked is a time-out on the modem port.
    {"NoTimeoutsWaitForever", 0, 0, 0, 10, "", kHour, "ring", kHour, kTimeout, kOk, "ring"},
    {"TransferFillsTheRead", 0, 0, 0, 4, "", 10, "full", 10, kOk, kOk, "full"},
    {"TransferLargerThanTheRead", 0, 0, 0, 3, "", 10, "abcdef", 10, kOk, kOk, "abc"},
    {"EmptyPacket", 0, 0, 0, 10, "", 10, "", 10, kTimeout, kTimeout, "", kEmptyPacket},
    // MAXULONG interval and constant: wait for data.
    {"IntervalAndConstantMax", kMax, 5, kMax, 10, "", kHour, "late", kHour, kTimeout, kOk, "late"},
    // The total time-out: multiplier per byte asked plus the constant.
    {"IntervalAndMultiplierMax", kMax, kMax, 500, 100, "", kMax, "", 500, kTimeout, kTimeout, ""},
    {"MultiplierPerByte", 0, 10, 100, 64, "", kMax, "", 740, kTimeout, kTimeout, ""},
    {"IntervalMaxUsesBoth", kMax, 2, 10, 20, "", kMax, "", 50, kTimeout, kTimeout, ""},
    {"ConstantAlone", 0, 0, 50, 10, "", kMax, "", 50, kTimeout, kTimeout, ""},
    {"DataBeforeTheTotal", 0, 0, 1000, 10, "", 300, "hi", 300, kTimeout, kOk, "hi"},
    // With a finite interval the maxima are taken literally: (2^32-1) * 1001.
    {"MaximaTakenLiterally", 5, kMax, kMax, 1000, "", 24 * kHour, "x", 24 * kHour, kTimeout, kOk,
     "x"},
    // The interval never runs before the first byte, nor after the read.
    {"IntervalWaitsForTheFirstByte", 50, 0, 0, 10, "", 10000, "ab", 10000, kTimeout, kOk, "ab"},
    {"Interval50", 50, 0, 0, 10, "", 10, "x", 10, kTimeout, kOk, "x"},
    {"Interval19999", 19999, 0, 0, 10, "", 10, "x", 10, kTimeout, kOk, "x"},
    {"Interval20000", 20000, 0, 0, 10, "", 10, "x", 10, kTimeout, kOk, "x"},
    {"Interval60000", 60000, 0, 0, 10, "", 10, "x", 10, kTimeout, kOk, "x"},
    {"IntervalWithATotal", 20, 0, 300, 10, "", kMax, "", 300, kTimeout, kTimeout, ""},
};

class ReadTimeouts : public rig::EachOpenPort {
protected:
    ULONG now_ = 0;
    void AdvanceTo(ULONG ms) {
        if (ms > now_)
            sim::AdvanceClockMs(ms - now_);
        now_ = ms;
    }
};
RIG_ON_BOTH_PORTS(ReadTimeouts);

TEST_P(ReadTimeouts, EveryRowEndsAsItSays) {
    for (const Timing& row : kTimings) {
        SCOPED_TRACE(row.name);
        ASSERT_EQ(Port().SetTimeouts(row.interval, row.multiplier, row.constant), STATUS_SUCCESS);
        std::string before = row.before;
        if (!before.empty())
            Port().Receive(before);
        now_ = 0;
        Request& read = Port().StartRead(row.length);
        if (row.endsAt == 0) {
            EXPECT_EQ(sim::QueuedTimers(), 0u) << "a read answered at once arms no time-out";
        } else {
            AdvanceTo(row.endsAt - 1);
            EXPECT_FALSE(read.Done()) << "ended early";
        }
        if (row.deliverAt <= row.endsAt) {
            AdvanceTo(row.deliverAt);
            if (row.flags & kEmptyPacket) {
                Port().Usb()->PushPacket({});
                sim::RunUntilIdle();
            } else {
                Port().Receive(row.later);
            }
        }
        AdvanceTo(row.endsAt);
        ASSERT_TRUE(read.Done()) << "did not end at " << row.endsAt << " ms";
        EXPECT_EQ(read.Status(), Pick(row.modem, row.diag));
        EXPECT_EQ(read.Text(), row.got);
        size_t left =
            before.size() + (row.deliverAt <= row.endsAt ? strlen(row.later) : 0) - strlen(row.got);
        EXPECT_EQ(Port().InQueue(), left);
        ASSERT_EQ(Port().Set(IOCTL_SERIAL_PURGE, ULONG(SERIAL_PURGE_RXCLEAR)), STATUS_SUCCESS);

        // No timer the row armed may end the next read.
        ASSERT_EQ(Port().SetTimeouts(0, 0, 0), STATUS_SUCCESS);
        Request& next = Port().StartRead(10);
        sim::AdvanceClockMs(70 * 1000);
        EXPECT_FALSE(next.Done()) << "a timer of the row ended the next read";
        Port().Receive("!");
        EXPECT_EQ(next.Text(), "!");
    }
}

} // namespace
