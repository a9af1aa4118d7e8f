// The systematic fault sweep: every named scenario, on each port, runs once
// to enumerate what it does (the allocations its drivers make, the transfers
// it sends, its steps), then once per allocation with that one failed, once
// per transfer and failure status the bus can give, once per step with the
// phone unplugged there, and once per Plug and Play or power request the bus
// can refuse. Every run must end with no bug check (the verifier stops the
// process), no hang, documented statuses, a close that ends, and after the
// unplug both drivers unloaded with nothing left behind.
#include "faults/scenarios.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <ostream>

namespace faults {
namespace {

// What the bus may end a transfer with.
struct BusFailure {
    const char* name;
    NTSTATUS status;
    LONG usbd;
};
const BusFailure kBusFailures[] = {
    {"stall", STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID},
    {"babble", STATUS_DEVICE_DATA_ERROR, USBD_STATUS_BUFFER_OVERRUN},
    {"crc", STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC},
    {"not-responding", STATUS_IO_DEVICE_ERROR, USBD_STATUS_DEV_NOT_RESPONDING},
    {"cancelled", STATUS_CANCELLED, USBD_STATUS_CANCELED},
    {"gone", STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE},
};

// The Plug and Play and power requests the bus can refuse.
struct PnpFailure {
    UCHAR minor;
    bool power;
    int powerType;
};
const PnpFailure kPnpFailures[] = {
    {IRP_MN_START_DEVICE, false, 0},
    {IRP_MN_QUERY_CAPABILITIES, false, 0},
    {IRP_MN_QUERY_PNP_DEVICE_STATE, false, 0},
    {IRP_MN_QUERY_STOP_DEVICE, false, 0},
    {IRP_MN_QUERY_REMOVE_DEVICE, false, 0},
    {IRP_MN_QUERY_DEVICE_RELATIONS, false, 0},
    {IRP_MN_QUERY_POWER, true, SystemPowerState},
    {IRP_MN_QUERY_POWER, true, DevicePowerState},
    {IRP_MN_SET_POWER, true, DevicePowerState},
};

struct Param {
    const Scenario* scenario;
    rig::Which port;
};

class FaultSweep : public ::testing::TestWithParam<Param> {
protected:
    // One run under `plan`; what the enumeration learnt comes back in it.
    Outcome Once(RunPlan plan) {
        // A bug check or the scheduler's deadlock report ends the process:
        // VXQT70_SWEEP_TRACE=1 names each run first, so the last line names
        // the run that found it.
        if (std::getenv("VXQT70_SWEEP_TRACE") != nullptr)
            std::fprintf(stderr, "[ run ] %s on %s: %s\n", GetParam().scenario->name,
                         rig::WhichName(GetParam().port), plan.Text().c_str());
        Outcome run = Play(*GetParam().scenario, GetParam().port, plan);
        ++runs_;
        EXPECT_TRUE(run.problem.empty()) << GetParam().scenario->name << " on "
                                         << rig::WhichName(GetParam().port) << " "
                                         << plan.Text() << ": " << run.problem;
        return run;
    }

    unsigned runs_ = 0;
};

TEST_P(FaultSweep, EveryFailureEndsCleanly) {
    const Outcome census = Once(RunPlan{});
    ASSERT_TRUE(census.problem.empty());
    for (uint64_t n = 1; n <= census.allocations; ++n)
        Once(RunPlan{.failAllocation = n});
    for (unsigned t = 1; t <= census.transfers; ++t)
        for (const BusFailure& f : kBusFailures)
            Once(RunPlan{.failTransfer = t, .transferStatus = f.status, .transferUsbd = f.usbd,
                         .transferName = f.name});
    for (unsigned s = 1; s <= census.steps; ++s)
        Once(RunPlan{.unplugAtStep = s});
    for (const PnpFailure& f : kPnpFailures)
        Once(RunPlan{.failMinor = f.minor, .failPower = f.power, .powerType = f.powerType});
    std::printf("[ sweep ] %s on %s: %u runs (%llu allocations, %u transfers, %u steps)\n",
                GetParam().scenario->name, rig::WhichName(GetParam().port), runs_,
                (unsigned long long)census.allocations, census.transfers, census.steps);
    std::fflush(stdout);
    Totals()[std::string(GetParam().scenario->name) + "/" + rig::WhichName(GetParam().port)] =
        runs_;
}

void PrintTo(const Param& p, std::ostream* out) {
    *out << p.scenario->name << " on " << rig::WhichName(p.port);
}

std::vector<Param> AllParams() {
    std::vector<Param> out;
    for (const Scenario& s : Scenarios())
        for (rig::Which w : {rig::Which::Modem, rig::Which::Diag})
            out.push_back({&s, w});
    return out;
}

// The total of the runs this process made, after its last scenario.
class TotalPrinter : public ::testing::Environment {
public:
    void TearDown() override {
        unsigned total = 0;
        for (const auto& [name, runs] : Totals())
            total += runs;
        std::printf("[ sweep ] total: %u runs over %zu scenario/port pairs\n", total,
                    Totals().size());
    }
};
const auto* const kTotal = ::testing::AddGlobalTestEnvironment(new TotalPrinter);

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultSweep, ::testing::ValuesIn(AllParams()),
                         [](const ::testing::TestParamInfo<Param>& p) {
                             return std::string(p.param.scenario->name) + "_" +
                                    (p.param.port == rig::Which::Modem ? "modem" : "diag");
                         });

} // namespace
} // namespace faults
