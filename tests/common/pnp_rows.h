// The row rig of the Plug and Play and power suites. A row is a script of
// named steps and the transcript a sound stack writes for it, one line per
// step that reports; the suite's own player runs the steps and writes the
// lines, so a failure shows the whole transcript next to the expected one.
// The Plug and Play manager's own requests are steps every player shares.
#pragma once

#include "common/machine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

namespace rig {

using Lines = std::vector<std::string>;

// A status, a minor or a code as the transcripts write it: "0xC00000BB".
template <typename T> std::string Hex(T value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%llX",
                  static_cast<unsigned long long>(static_cast<std::make_unsigned_t<T>>(value)));
    return text;
}

// Names a table's instances by their rows' `name`.
template <typename Row> std::string RowName(const ::testing::TestParamInfo<Row>& row) {
    return row.param.name;
}

struct ScriptRow {
    const char* name;
    std::vector<std::string> steps;
    Lines lines;
    std::optional<Which> only;        // a row for one port only
    const char* knownFault = nullptr; // the modem port's run is skipped while this stands
    int timelineOf = -1;              // the step whose fake-driver timeline is written too
};
inline void PrintTo(const ScriptRow& row, std::ostream* os) {
    *os << row.name;
}

// What the Plug and Play manager does to `node` for a step: its own
// sequences ("stop" is a query then the stop, or the cancel when refused),
// or one request sent on its own ("query-stop"). None: not a manager step.
inline std::optional<NTSTATUS> PnpStep(sim::DevNode* node, const std::string& step) {
    static const std::pair<const char*, NTSTATUS (*)(sim::DevNode*)> kSequences[] = {
        {"stop", sim::PnpStopDevice},
        {"start", sim::PnpStartDevice},
        {"remove", sim::PnpRemoveDevice},
        {"reenable", sim::PnpReenableDevice},
        {"query-stop-cancel", sim::PnpQueryStopThenCancel},
        {"query-remove-cancel", sim::PnpQueryRemoveThenCancel},
    };
    static const std::pair<const char*, UCHAR> kAlone[] = {
        {"query-stop", IRP_MN_QUERY_STOP_DEVICE},
        {"query-remove", IRP_MN_QUERY_REMOVE_DEVICE},
        {"cancel-stop", IRP_MN_CANCEL_STOP_DEVICE},
        {"cancel-remove", IRP_MN_CANCEL_REMOVE_DEVICE},
    };
    for (const auto& [name, sequence] : kSequences)
        if (step == name)
            return sequence(node);
    for (const auto& [name, minor] : kAlone)
        if (step == name)
            return sim::PnpSendIrp(node, minor);
    return std::nullopt;
}

// Runs each step through `play`; a step it does not know is a fault of the row.
template <typename Play> void PlaySteps(const std::vector<std::string>& steps, Play&& play) {
    for (const std::string& step : steps)
        if (!play(step))
            ADD_FAILURE() << "unknown step " << step;
}

// One request from a driver above, to `target` itself (send it to the top of
// a stack for the whole stack's answer); Information starts as kUntouched.
inline SentIrp SendIrp(PDEVICE_OBJECT target, UCHAR major, ULONG code = 0) {
    SentIrp sent;
    IrpToSend what;
    what.major = major;
    what.code = code;
    what.target = target;
    what.sent = &sent;
    CallWithIrp(what);
    sim::RunUntilIdle();
    EXPECT_TRUE(sent.done);
    return sent;
}

// The bus fails the next power IRP of this kind at `pdo` with `status`.
inline void FailPowerAtBus(PDEVICE_OBJECT pdo, UCHAR minor, int type, NTSTATUS status) {
    sim::PowerFault fault;
    fault.device = pdo;
    fault.minor = minor;
    fault.type = type;
    fault.status = status;
    sim::PoInjectFault(fault);
}

// "S3", "D0"; "D?" (or "S?") for none.
inline std::string PowerStateName(bool system, int state) {
    const bool known =
        state > 0 && state <= (system ? int(PowerSystemShutdown) : int(PowerDeviceD3));
    return (system ? "S" : "D") + (known ? std::to_string(state - 1) : std::string("?"));
}
// "S-SET S3", "D-QUERY D3", "WAIT_WAKE": one power IRP as the transcripts write it.
inline std::string PowerIrpName(const sim::PowerIrpRecord& r) {
    if (r.minor == IRP_MN_WAIT_WAKE)
        return "WAIT_WAKE";
    if (r.minor == IRP_MN_POWER_SEQUENCE)
        return "POWER_SEQUENCE";
    const bool system = r.type == SystemPowerState;
    return std::string(system ? "S-" : "D-") + (r.minor == IRP_MN_SET_POWER ? "SET " : "QUERY ") +
           PowerStateName(system, system ? int(r.state.SystemState) : int(r.state.DeviceState));
}

// Power IRPs sent and completed, in the order they happened: each by `name`
// when sent, and with "ok" or its status when completed.
template <typename Name>
std::string PowerSequence(const std::vector<sim::PowerIrpRecord>& log, Name&& name) {
    std::vector<std::pair<unsigned, std::string>> events;
    for (const auto& r : log) {
        events.emplace_back(r.sentSeq, name(r));
        if (r.completedSeq != 0)
            events.emplace_back(r.completedSeq,
                                name(r) + " " +
                                    (r.status == STATUS_SUCCESS ? "ok" : Hex(r.status)));
    }
    std::sort(events.begin(), events.end());
    std::string text;
    for (const auto& e : events)
        text += (text.empty() ? "" : ", ") + e.second;
    return text;
}

// A table of rows played on each port of a fresh machine.
class PortRows : public ::testing::TestWithParam<std::tuple<Which, ScriptRow>> {
protected:
    Which Port() const { return std::get<0>(GetParam()); }
    const ScriptRow& Row() const { return std::get<1>(GetParam()); }
    void Expect(const Lines& got) {
        if (got != Row().lines && Port() == Which::Modem && Row().knownFault != nullptr)
            GTEST_SKIP() << "known fault: " << Row().knownFault << "\n"
                         << ::testing::PrintToString(got);
        EXPECT_EQ(got, Row().lines) << ::testing::PrintToString(got);
    }
};

// Every row on each port it is for: a row for one port only has no instance
// on the other.
template <size_t N> auto RowsOnTheirPorts(const ScriptRow (&rows)[N]) {
    std::vector<std::tuple<Which, ScriptRow>> instances;
    for (Which port : {Which::Modem, Which::Diag})
        for (const ScriptRow& row : rows)
            if (!row.only || *row.only == port)
                instances.emplace_back(port, row);
    return instances;
}

inline std::string PortRowName(const ::testing::TestParamInfo<std::tuple<Which, ScriptRow>>& p) {
    return std::string(std::get<0>(p.param) == Which::Modem ? "Modem_" : "Diag_") +
           std::get<1>(p.param).name;
}

} // namespace rig

#define RIG_ROWS_ON_THEIR_PORTS(suite, rows)                                                       \
    INSTANTIATE_TEST_SUITE_P(, suite, ::testing::ValuesIn(rig::RowsOnTheirPorts(rows)),            \
                             rig::PortRowName)
