// The pool ledger: who holds which block, where it was allocated, and the
// rules a free must satisfy.
#include "common/fake_driver.h"
#include "platform/sim/ex_internal.h"
#include "platform/sim/sim.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

namespace {

constexpr ULONG kWdm = 0x206D6457; // "Wdm "

FAKE_ALLOCATION_SITE PVOID AllocateNameBuffer(SIZE_T bytes) {
    return ExAllocatePoolWithTag(NonPagedPool, bytes, kWdm);
}

FAKE_ALLOCATION_SITE PVOID AllocateRingBuffer(SIZE_T bytes) {
    return ExAllocatePoolWithTag(NonPagedPool, bytes, kWdm);
}

TEST(PoolLedger, RecordsOwnerTagSizeSiteAndOrder) {
    sim::Kernel kernel;
    fake::NamedDriver modem(L"\\Driver\\vxqt70modem");
    PVOID a, b, c;
    {
        sim::DriverScope scope(modem.get());
        a = AllocateNameBuffer(258);
        b = AllocateRingBuffer(4096);
    }
    c = ExAllocatePoolWithTag(PagedPool, 10, 0x74736554 /* "Test" */);

    std::vector<sim::PoolBlock> blocks = sim::PoolListing();
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0].address, a);
    EXPECT_EQ(blocks[0].size, 258u);
    EXPECT_EQ(blocks[0].tag, kWdm);
    EXPECT_EQ(blocks[0].driver, modem.get());
    EXPECT_NE(blocks[0].site.find("AllocateNameBuffer"), std::string::npos) << blocks[0].site;
    EXPECT_NE(blocks[1].site.find("AllocateRingBuffer"), std::string::npos) << blocks[1].site;
    EXPECT_LT(blocks[0].sequence, blocks[1].sequence);
    EXPECT_EQ(blocks[2].driver, nullptr);
    EXPECT_EQ(blocks[2].type, PagedPool);

    EXPECT_EQ(sim::PoolAllocations(modem.get()), 2u);
    EXPECT_EQ(sim::PoolBytes(modem.get()), 258u + 4096u);
    EXPECT_EQ(sim::PoolAllocations(nullptr), 1u);
    EXPECT_EQ(sim::PoolAllocations(), 3u);
    EXPECT_EQ(sim::PoolBytes(), 258u + 4096u + 10u);
    std::string report = sim::PoolReport();
    EXPECT_NE(report.find("'Wdm '"), std::string::npos) << report;
    EXPECT_NE(report.find("vxqt70modem"), std::string::npos) << report;

    ExFreePool(a);
    ExFreePoolWithTag(b, kWdm);
    ExFreePool(c);
    EXPECT_EQ(sim::PoolAllocations(), 0u);
    EXPECT_EQ(sim::PoolAllocationCount(), 3u);
}

// A block is aligned, all the driver's, and not zero-filled (a driver that
// assumes fresh pool is zeroed must see garbage, as on Windows); a freed
// address is not handed out again at once, or a double free of a reused
// address would free someone else's block instead of being recognised.
TEST(PoolLedger, BlocksAreAlignedNotZeroFilledAndNotReusedAtOnce) {
    sim::Kernel kernel;
    std::set<void*> freed;
    for (int i = 0; i < 200; ++i) {
        auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 100, kWdm));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ((uintptr_t)p % 16, 0u);
        EXPECT_EQ(freed.count(p), 0u) << "address reused after " << i << " frees";
        EXPECT_NE(std::count(p, p + 100, 0), 100) << "zero-filled";
        memset(p, 0x11, 100);
        ExFreePool(p);
        freed.insert(p);
    }
}

TEST(PoolLedger, EndOfRunChecksCanBeTurnedOff) {
    sim::Options options;
    options.endChecks = false;
    sim::Kernel kernel(options);
    AllocateRingBuffer(4096); // freed by the teardown without a report
}

} // namespace
