// Helpers shared by the Ke conformance tests.
#pragma once

#include "common/fake_driver.h"
#include "platform/kernel.h"
#include "platform/sim/api_ke.h" // WaitUntil, Notify, the verifier's Ke checks
#include "platform/sim/sim.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ke_test {

constexpr LONGLONG Ms(LONGLONG ms) {
    return ms * 10000;
}

// A relative due time or time-out, as drivers write one.
inline LARGE_INTEGER In(LONGLONG ms) {
    LARGE_INTEGER relative;
    relative.QuadPart = -Ms(ms);
    return relative;
}

inline NTSTATUS Poll(PVOID object) {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero);
}

// A DPC that sets an event: the usual way a timer wakes a waiting thread.
struct EventDpc {
    KEVENT event;
    KDPC dpc;
    EventDpc() {
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        KeInitializeDpc(&dpc, Routine, this);
    }
    static VOID NTAPI Routine(PKDPC, PVOID context, PVOID, PVOID) {
        KeSetEvent(&static_cast<EventDpc*>(context)->event, 0, FALSE);
    }
};

using fake::NamedDriver;

} // namespace ke_test
