// A phone pool on one machine: every port gets its own device name, COM
// name, \DosDevices\ link, SERIALCOMM value and device interface; all stream
// at once with every byte intact, while one phone is pulled and plugged
// again; and with a finite non-paged pool the port that does not fit fails
// to start cleanly while the others keep streaming.
#include "pool/phone_pool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>

namespace {

using pool::PhonePool;

// Lets every open port stream until each has taken kEnough more bytes than
// `before` (or a generous wall-clock limit passes), then expects every
// started port to have done so with every byte intact.
constexpr uint64_t kEnough = 64 * 1024;
void ExpectStreamed(PhonePool& rig, const std::vector<uint64_t>& before) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    for (bool all = false; !all && std::chrono::steady_clock::now() < end;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        all = true;
        for (size_t i = 0; i < rig.PortCount(); i++)
            if (rig.At(i).handle != INVALID_HANDLE_VALUE && rig.At(i).Fault().empty() &&
                rig.At(i).received < before[i] + kEnough)
                all = false;
    }
    for (size_t i = 0; i < rig.PortCount(); i++) {
        if (!rig.Started(i))
            continue;
        EXPECT_EQ(rig.At(i).Fault(), "") << "port " << i;
        EXPECT_GE(rig.At(i).received.load(), before[i] + kEnough) << "port " << i << " stalled";
    }
}

// What the names of the started ports must be: all distinct, each linked and
// registered once. Returns the COM numbers in port order.
std::vector<unsigned> CheckNames(PhonePool& rig) {
    std::vector<unsigned> coms;
    std::set<std::u16string> devices, links, comNames;
    size_t started = 0;
    for (size_t i = 0; i < rig.PortCount(); i++) {
        if (!rig.Started(i)) {
            coms.push_back(0);
            continue;
        }
        started++;
        sim::DevNode* node = rig.At(i).node;
        coms.push_back(node->comPort);
        std::u16string com = u"COM" + sim::U16(std::to_string(node->comPort));
        EXPECT_TRUE(comNames.insert(com).second) << "COM" << node->comPort << " twice";
        EXPECT_EQ(sim::LookupDevice(u"\\DosDevices\\" + com), node->fdo) << sim::U8(com);
        links.insert(*sim::LinkTarget(u"\\DosDevices\\" + com));
    }
    for (const auto& d : sim::DeviceNames())
        if (d.name.find(u"VXNTQT70") != std::u16string::npos)
            devices.insert(d.name);
    size_t serialComm = 0;
    for (const auto& e : sim::SerialComm()) {
        EXPECT_EQ(comNames.count(e.portName), 1u) << sim::U8(e.portName);
        serialComm++;
    }
    std::set<std::u16string> interfaces;
    for (const auto& i : sim::DeviceInterfaces())
        if (i.enabled)
            interfaces.insert(i.symbolicLink);
    EXPECT_EQ(devices.size(), started);
    EXPECT_EQ(links.size(), started);
    EXPECT_EQ(serialComm, started);
    EXPECT_EQ(interfaces.size(), started);
    return coms;
}

TEST(PhonePool, EightPhonesStreamWhileOneIsPulledAndPluggedAgain) {
    constexpr size_t kPhones = 8;
    PhonePool rig;
    for (size_t p = 0; p < kPhones; p++)
        ASSERT_EQ(rig.Plug(p), 2) << "phone " << p;
    const std::vector<unsigned> coms = CheckNames(rig);
    for (size_t i = 0; i < rig.PortCount(); i++)
        ASSERT_TRUE(rig.Open(i, 0x900D + i)) << "port " << i;
    ExpectStreamed(rig, std::vector<uint64_t>(rig.PortCount(), 0));

    // Phone 3 goes while the rest stream, and comes back as itself.
    std::vector<uint64_t> before;
    for (size_t i = 0; i < rig.PortCount(); i++)
        before.push_back(i / 2 == 3 ? 0 : rig.At(i).received.load()); // its streams start again
    rig.Unplug(3);
    ASSERT_EQ(rig.Plug(3), 2);
    EXPECT_EQ(CheckNames(rig), coms);
    for (size_t i : {6, 7})
        ASSERT_TRUE(rig.Open(i, 0xBAC0 + i));
    ExpectStreamed(rig, before);
    for (size_t i = 0; i < rig.PortCount(); i++)
        rig.Close(i);
}

// The pool holds the ports of three phones and one more port: the fourth
// phone's diagnostics port cannot get its device object. Its AddDevice fails
// with STATUS_INSUFFICIENT_RESOURCES; no name, link, SERIALCOMM value or
// interface is left of it, the drivers' share of the pool is exactly the
// started ports', and the started ports stream on.
TEST(PhonePool, PortBeyondThePoolLimitFailsCleanly) {
    PhonePool rig(8000000);
    for (size_t p = 0; p < 3; p++)
        ASSERT_EQ(rig.Plug(p), 2) << "phone " << p;
    const size_t modem = PhonePool::DriverBytes("vxqt70modem");
    const size_t diag = PhonePool::DriverBytes("vxqt70diag");
    ASSERT_EQ(rig.Plug(3), 1);
    EXPECT_TRUE(rig.Started(6));
    sim::DevNode* failed = rig.At(7).node;
    EXPECT_EQ(failed->state, sim::DevNodeState::NoDriver);
    EXPECT_EQ(failed->problem, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(failed->fdo, nullptr);
    // Its COM name stays reserved for it (the installer ran), but nothing answers to it.
    EXPECT_EQ(sim::LookupDevice(u"\\DosDevices\\COM" + sim::U16(std::to_string(failed->comPort))),
              nullptr);
    CheckNames(rig);
    EXPECT_EQ(PhonePool::DriverBytes("vxqt70modem"), modem / 3 * 4);
    EXPECT_EQ(PhonePool::DriverBytes("vxqt70diag"), diag);
    EXPECT_GT(sim::NonPagedPoolUse().refused, 0u);
    for (size_t i = 0; i < 7; i++)
        ASSERT_TRUE(rig.Open(i, 0x11 + i)) << "port " << i;
    ExpectStreamed(rig, std::vector<uint64_t>(rig.PortCount(), 0));
}

} // namespace
