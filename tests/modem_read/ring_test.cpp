// The input ring on its own: the four routines called on a port record of
// the driver linked into this test, as the read paths call them. The
// diagnostics driver's ring has no lock of its own, so there the test holds
// PortLock around each call, as that driver's callers do.
#include "port.h"

#include "platform/sim/sim.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <vector>

namespace {

constexpr LONG kCapacity = 1024000;

std::vector<UCHAR> Bytes(size_t length, UCHAR first) {
    std::vector<UCHAR> bytes(length);
    for (size_t i = 0; i < length; i++) {
        bytes[i] = static_cast<UCHAR>(first + i);
    }
    return bytes;
}

class InputRing : public ::testing::Test {
protected:
    InputRing() : port_(static_cast<PDEVICE_EXTENSION>(std::calloc(1, sizeof(DEVICE_EXTENSION)))) {
        KeInitializeSpinLock(&port_->PortLock);
#if VARIANT_MODEM
        KeInitializeSpinLock(&port_->InputLock);
#endif
    }
    ~InputRing() override {
        std::free(port_);
    }

    // Each call as the driver makes it: the diagnostics driver's callers hold
    // PortLock, the modem driver's ring takes its own lock.
    template <typename F> auto Locked(F call) {
#if VARIANT_DIAG
        KIRQL oldIrql;
        KeAcquireSpinLock(&port_->PortLock, &oldIrql);
        auto result = call();
        KeReleaseSpinLock(&port_->PortLock, oldIrql);
        return result;
#else
        return call();
#endif
    }
    // Offers `offered` bytes of `bytes`, or all of them.
    NTSTATUS Write(const std::vector<UCHAR>& bytes, LONG* stored,
                   std::optional<LONG> offered = std::nullopt) {
        LONG length = offered.value_or(static_cast<LONG>(bytes.size()));
        return Locked([&] { return WriteToBuffer(port_, bytes.data(), length, stored); });
    }
    LONG Store(const std::vector<UCHAR>& bytes) {
        LONG stored = -1;
        EXPECT_EQ(Write(bytes, &stored), STATUS_SUCCESS);
        return stored;
    }
    NTSTATUS Read(std::vector<UCHAR>* out, LONG wanted, LONG* copied) {
        out->assign(wanted > 0 ? static_cast<size_t>(wanted) : 1, 0xEE);
        NTSTATUS status =
            Locked([&] { return ReadFromBuffer(port_, out->data(), wanted, copied); });
        out->resize(*copied > 0 ? static_cast<size_t>(*copied) : 0);
        return status;
    }
    std::vector<UCHAR> Take(LONG wanted) {
        std::vector<UCHAR> out;
        LONG copied = -1;
        EXPECT_EQ(Read(&out, wanted, &copied), STATUS_SUCCESS);
        return out;
    }
    LONG Count() {
        return Locked([&] { return GetNoCharsInInputBuffer(port_); });
    }
    void Flush() {
        EXPECT_EQ(Locked([&] { return FlushInputBuffer(port_); }), STATUS_SUCCESS);
    }
    // Moves both indices to `offset` with the ring empty, through the routines.
    void EmptyAt(LONG offset) {
        std::vector<UCHAR> filler(static_cast<size_t>(offset), 0x55);
        ASSERT_EQ(Store(filler), offset);
        ASSERT_EQ(static_cast<LONG>(Take(offset).size()), offset);
        ASSERT_EQ(port_->InputHead, offset);
        ASSERT_EQ(port_->InputTail, offset);
    }

    sim::Kernel kernel_;
    PDEVICE_EXTENSION port_;
};

// ---------------------------------------------------------------- empty and full

TEST_F(InputRing, EmptyRingRefusesAReadEvenOfNothing) {
    std::vector<UCHAR> out;
    LONG copied = -1;
    EXPECT_EQ(Read(&out, 10, &copied), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(copied, 0);
    copied = -1;
    EXPECT_EQ(Read(&out, 0, &copied), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(copied, 0);
}

TEST_F(InputRing, ReadingNothingFromAFilledRingSucceedsAndTakesNothing) {
    Store(Bytes(3, 'a'));
    std::vector<UCHAR> out;
    LONG copied = -1;
    EXPECT_EQ(Read(&out, 0, &copied), STATUS_SUCCESS);
    EXPECT_EQ(copied, 0);
    EXPECT_EQ(Count(), 3);
}

TEST_F(InputRing, FullRingRefusesAnOfferEvenOfNothing) {
    ASSERT_EQ(Store(std::vector<UCHAR>(kCapacity, 1)), kCapacity);
    LONG stored = -1;
    EXPECT_EQ(Write(Bytes(1, 'x'), &stored), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stored, 0);
    stored = -1;
    EXPECT_EQ(Write(Bytes(1, 'x'), &stored, 0), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stored, 0);
    EXPECT_EQ(Count(), kCapacity);
}

TEST_F(InputRing, HoldsExactlyItsCapacityNotAPowerOfTwo) {
    EXPECT_EQ(Store(std::vector<UCHAR>(1048576, 2)), kCapacity);
    EXPECT_EQ(Count(), kCapacity);
    EXPECT_EQ(port_->InputHead, port_->InputTail);
}

// ---------------------------------------------------------------- overflow

TEST_F(InputRing, AnOfferBeyondTheRoomStoresTheFirstBytesAndDropsTheRest) {
    ASSERT_EQ(Store(std::vector<UCHAR>(kCapacity - 1000, 0)), kCapacity - 1000);
    std::vector<UCHAR> offer = Bytes(5000, 0);
    LONG stored = -1;
    EXPECT_EQ(Write(offer, &stored), STATUS_SUCCESS);
    EXPECT_EQ(stored, 1000);
    EXPECT_EQ(Count(), kCapacity);

    Take(kCapacity - 1000);
    EXPECT_EQ(Take(5000), std::vector<UCHAR>(offer.begin(), offer.begin() + 1000));
    EXPECT_EQ(Count(), 0);
}

// ---------------------------------------------------------------- wrap

TEST_F(InputRing, AStoreAcrossTheEndWrapsToTheStart) {
    EmptyAt(kCapacity - 5);
    std::vector<UCHAR> ten = Bytes(10, 'A');
    EXPECT_EQ(Store(ten), 10);
    EXPECT_EQ(port_->InputHead, 5);
    EXPECT_EQ(
        std::vector<UCHAR>(port_->InputBuffer + kCapacity - 5, port_->InputBuffer + kCapacity),
        std::vector<UCHAR>(ten.begin(), ten.begin() + 5));
    EXPECT_EQ(std::vector<UCHAR>(port_->InputBuffer, port_->InputBuffer + 5),
              std::vector<UCHAR>(ten.begin() + 5, ten.end()));
    EXPECT_EQ(Take(10), ten);
    EXPECT_EQ(port_->InputTail, 5);
}

TEST_F(InputRing, AStoreEndingExactlyAtTheEndLeavesTheHeadAtZero) {
    EmptyAt(kCapacity - 4);
    EXPECT_EQ(Store(Bytes(4, 'w')), 4);
    EXPECT_EQ(port_->InputHead, 0);
    EXPECT_EQ(Take(4), Bytes(4, 'w'));
    EXPECT_EQ(port_->InputTail, 0);
}

TEST_F(InputRing, ReadsInPiecesAcrossTheEndKeepTheOrder) {
    EmptyAt(kCapacity - 7);
    std::vector<UCHAR> data = Bytes(20, 'a');
    Store(data);
    std::vector<UCHAR> got = Take(3);
    for (std::vector<UCHAR> piece = Take(6); !piece.empty(); piece = Take(6)) {
        got.insert(got.end(), piece.begin(), piece.end());
        if (Count() == 0) {
            break;
        }
    }
    EXPECT_EQ(got, data);
}

// ---------------------------------------------------------------- counts

TEST_F(InputRing, AReadForMoreThanIsHeldReturnsWhatIsHeldOldestFirstAndEmptiesTheRing) {
    Store(Bytes(4, 'p'));
    Store(Bytes(3, 'x'));
    std::vector<UCHAR> expected = Bytes(4, 'p');
    std::vector<UCHAR> more = Bytes(3, 'x');
    expected.insert(expected.end(), more.begin(), more.end());
    EXPECT_EQ(Take(100), expected);
    EXPECT_EQ(Count(), 0);
    std::vector<UCHAR> out;
    LONG copied = -1;
    EXPECT_EQ(Read(&out, 1, &copied), STATUS_UNSUCCESSFUL);
}

TEST_F(InputRing, TheCountFollowsStoresAndReadsAndKeepsTheIndicesInStep) {
    EXPECT_EQ(Count(), 0);
    Store(Bytes(100, 0));
    Take(30);
    Store(Bytes(50, 0));
    EXPECT_EQ(Count(), 120);
    EXPECT_EQ((port_->InputTail + Count()) % kCapacity, port_->InputHead);
}

TEST_F(InputRing, LengthsBelowZeroMoveNothing) {
    Store(Bytes(8, 'n'));
    std::vector<UCHAR> out;
    LONG copied = -1;
    EXPECT_EQ(Read(&out, -5, &copied), STATUS_SUCCESS);
    EXPECT_EQ(copied, 0);
    LONG stored = -1;
    EXPECT_EQ(Write(Bytes(8, 'm'), &stored, -5), STATUS_SUCCESS);
    EXPECT_EQ(stored, 0);
    EXPECT_EQ(Count(), 8);
    EXPECT_EQ(Take(8), Bytes(8, 'n'));
}

// ---------------------------------------------------------------- flush

TEST_F(InputRing, AfterAFlushTheStoredBytesAreNeverReturned) {
    Store(Bytes(10, 'o'));
    Take(2);
    Flush();
    EXPECT_EQ(Count(), 0);
    EXPECT_EQ(port_->InputHead, 0);
    EXPECT_EQ(port_->InputTail, 0);
    std::vector<UCHAR> out;
    LONG copied = -1;
    EXPECT_EQ(Read(&out, 10, &copied), STATUS_UNSUCCESSFUL);
    Store(Bytes(2, 'N'));
    EXPECT_EQ(Take(10), Bytes(2, 'N'));
}

TEST_F(InputRing, AFlushOfAFullRingMakesRoomForAllOfIt) {
    Store(std::vector<UCHAR>(kCapacity, 9));
    Flush();
    EXPECT_EQ(Store(std::vector<UCHAR>(kCapacity, 8)), kCapacity);
}

// ---------------------------------------------------------------- locking

#if VARIANT_MODEM
// The modem ring is called with and without PortLock held (the read dispatch
// without, the event report with); either way it leaves the IRQL as found.
TEST_F(InputRing, ModemRingTakesItsOwnLockAndRestoresTheIrql) {
    Store(Bytes(4, 'l'));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL oldIrql;
    KeAcquireSpinLock(&port_->PortLock, &oldIrql);
    EXPECT_EQ(GetNoCharsInInputBuffer(port_), 4);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeReleaseSpinLock(&port_->PortLock, oldIrql);
    EXPECT_EQ(Take(4), Bytes(4, 'l'));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}
#endif

} // namespace
