// The rule table as data, and the lookups the bug check makes in it.
#include "platform/sim/rules.h"

namespace sim {

namespace {

struct StopCode {
    ULONG code;
    const char* name;
    int subcodeParam; // 0: none; else which of p1..p4 names the rule
};

constexpr StopCode kStopCodes[] = {
#define SIM_STOP_ROW(constant, value, text, param) {value, text, param},
    SIM_STOP_CODES(SIM_STOP_ROW)
#undef SIM_STOP_ROW
};

const StopCode* FindStop(ULONG code) {
    for (const StopCode& stop : kStopCodes)
        if (stop.code == code)
            return &stop;
    return nullptr;
}

} // namespace

const RuleRow kRules[] = {
#define SIM_CODE_ROW(id, code, text) {Rule::id, #id, code, false, 0, text},
#define SIM_SUBCODE_ROW(id, code, subcode, text) {Rule::id, #id, code, true, subcode, text},
    SIM_CODE_RULES(SIM_CODE_ROW) SIM_SUBCODE_RULES(SIM_SUBCODE_ROW)
#undef SIM_CODE_ROW
#undef SIM_SUBCODE_ROW
};
const size_t kRuleCount = sizeof kRules / sizeof kRules[0];

const char* BugCheckName(ULONG code) {
    const StopCode* stop = FindStop(code);
    return stop != nullptr ? stop->name : "(driver-defined stop code)";
}

const RuleRow* FindRule(ULONG code, ULONG_PTR p1, ULONG_PTR p4) {
    const StopCode* stop = FindStop(code);
    if (stop == nullptr)
        return nullptr;
    ULONG_PTR subcode = stop->subcodeParam == 4 ? p4 : p1;
    for (const RuleRow& row : kRules)
        if (row.code == code && (!row.subcoded || row.subcode == subcode))
            return &row;
    return nullptr;
}

} // namespace sim
