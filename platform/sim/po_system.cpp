// System power transitions: the system IRPs Windows sends to every started
// device stack when the machine goes to sleep, hibernates, shuts down or
// wakes.
//
// Going down, each stack is first asked (IRP_MN_QUERY_POWER), children before
// parents; one refusal abandons the transition: the system stays in S0 and
// the stacks already asked get IRP_MN_SET_POWER for S0, which is how Windows
// tells them the query is off. When all agree, IRP_MN_SET_POWER goes to each
// in the same order. Waking, IRP_MN_SET_POWER S0 goes parents first. Each IRP
// is awaited before the next is sent, so the order of completions is fixed
// and a test can state it.
#include "platform/sim/pnp_internal.h"

#include <algorithm>
#include <mutex>

namespace sim {
namespace {

std::mutex g_lock;
SYSTEM_POWER_STATE g_system = PowerSystemWorking;
POWER_ACTION g_sleepAction = PowerActionNone;
bool g_cancelQueryWithS0 = true;

POWER_ACTION DefaultAction(SYSTEM_POWER_STATE state) {
    switch (state) {
    case PowerSystemHibernate: return PowerActionHibernate;
    case PowerSystemShutdown: return PowerActionShutdownOff;
    default: return PowerActionSleep;
    }
}

POWER_STATE System(SYSTEM_POWER_STATE s) {
    POWER_STATE state;
    state.SystemState = s;
    return state;
}

[[noreturn]] void BadTransition(SYSTEM_POWER_STATE from, SYSTEM_POWER_STATE to) {
    BugCheck(kPnpFatalError, kCaBadRequest, from, to, 0,
             "sim::SetSystemPowerState: S" + std::to_string(from - 1) + " to S" +
                 std::to_string(to - 1) + " is not a transition a machine makes");
}

NTSTATUS Sleep(SYSTEM_POWER_STATE state, POWER_ACTION action) {
    const std::vector<DevNode*> order = PnpPowerOrderForSleep();
    PoSetCurrentAction(action);
    std::vector<DevNode*> asked;
    for (DevNode* node : order) {
        const NTSTATUS status =
            PoSendAndWait(node->pdo, IRP_MN_QUERY_POWER, SystemPowerState, System(state), action);
        asked.push_back(node);
        if (NT_SUCCESS(status))
            continue;
        bool cancel;
        {
            std::lock_guard<std::mutex> guard(g_lock);
            cancel = g_cancelQueryWithS0;
        }
        if (cancel) {
            std::reverse(asked.begin(), asked.end());
            for (DevNode* n : asked)
                PoSendAndWait(n->pdo, IRP_MN_SET_POWER, SystemPowerState,
                              System(PowerSystemWorking), action);
        }
        PoSetCurrentAction(PowerActionNone);
        return status;
    }
    // A set cannot be refused; a driver that fails one has its status logged
    // and the machine sleeps all the same, as Windows does.
    for (DevNode* node : order)
        PoSendAndWait(node->pdo, IRP_MN_SET_POWER, SystemPowerState, System(state), action);
    std::lock_guard<std::mutex> guard(g_lock);
    g_system = state;
    g_sleepAction = action;
    return STATUS_SUCCESS;
}

NTSTATUS Wake() {
    std::vector<DevNode*> order = PnpPowerOrderForSleep();
    std::reverse(order.begin(), order.end());
    POWER_ACTION action;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        action = g_sleepAction;
    }
    PoSetCurrentAction(action);
    for (DevNode* node : order)
        PoSendAndWait(node->pdo, IRP_MN_SET_POWER, SystemPowerState, System(PowerSystemWorking),
                      action);
    PoSetCurrentAction(PowerActionNone);
    std::lock_guard<std::mutex> guard(g_lock);
    g_system = PowerSystemWorking;
    g_sleepAction = PowerActionNone;
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS SetSystemPowerState(SYSTEM_POWER_STATE state, POWER_ACTION action) {
    PnpRequirePassive("a system power transition");
    SYSTEM_POWER_STATE current;
    {
        std::lock_guard<std::mutex> guard(g_lock);
        current = g_system;
    }
    if (state <= PowerSystemUnspecified || state >= PowerSystemMaximum)
        BadTransition(current, state);
    if (state == current)
        return STATUS_SUCCESS;
    if (state == PowerSystemWorking) {
        if (current == PowerSystemShutdown)
            BadTransition(current, state);
        return Wake();
    }
    if (current != PowerSystemWorking)
        BadTransition(current, state);
    return Sleep(state, action == PowerActionNone ? DefaultAction(state) : action);
}

SYSTEM_POWER_STATE CurrentSystemPowerState() {
    std::lock_guard<std::mutex> guard(g_lock);
    return g_system;
}

void SetCancelQueryWithS0(bool enabled) {
    std::lock_guard<std::mutex> guard(g_lock);
    g_cancelQueryWithS0 = enabled;
}

void PoStart(const Options&) {
    {
        std::lock_guard<std::mutex> guard(g_lock);
        g_system = PowerSystemWorking;
        g_sleepAction = PowerActionNone;
        g_cancelQueryWithS0 = true;
    }
    PoManagerReset();
}

void PoCheck() { PoManagerCheck(); }

void PoStop() { PoManagerStop(); }

} // namespace sim
