// The scenario library and the player that runs one scenario under a plan.
#include "faults/scenarios.h"

#include <cstdio>
#include <cstdlib>

namespace faults {

std::string RunPlan::Text() const {
    if (failAllocation != 0)
        return "allocation " + std::to_string(failAllocation) + " failed";
    if (failTransfer != 0)
        return "transfer " + std::to_string(failTransfer) + " failed (" + transferName + ")";
    if (unplugAtStep != 0)
        return "unplugged at step " + std::to_string(unplugAtStep);
    if (failMinor != 0 || failPower)
        return std::string(failPower ? "power" : "PnP") + " minor 0x" +
               std::to_string((unsigned)failMinor) + " refused by the bus";
    return "census";
}

void Ctx::Step() {
    ++steps;
    if (plan_.unplugAtStep == steps)
        m.Unplug();
}

void Ctx::Push(const std::string& text) {
    if (usb::Interface* u = Usb())
        u->Push(text);
    sim::RunUntilIdle();
}

void Ctx::WaitOrCancel(const rig::Request& r, ULONG ms) {
    if (!Port().Wait(r, ms))
        Port().CancelIo();
    Wait(r);
}

void Ctx::Wait(const rig::Request& r) {
    if (!Port().Wait(r) && problem.empty())
        problem = "HANG: a request did not end within its budget";
}

std::map<std::string, unsigned>& Totals() {
    static std::map<std::string, unsigned> totals;
    return totals;
}

namespace {

// A control request as a driver above the port would send it from a DPC:
// the port must hand it to a worker thread, not wait at DISPATCH_LEVEL.
struct Deferred {
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG value = 0;
};

NTSTATUS NTAPI DeferredDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* d = static_cast<Deferred*>(context);
    d->status = irp->IoStatus.Status;
    d->done = true;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void SendFromDispatch(Ctx& c, ULONG code, Deferred& d) {
    sim::DevNode* node = c.m.Node(c.which);
    if (node == nullptr || node->fdo == nullptr) {
        d.done = true;
        return;
    }
    PDEVICE_OBJECT top = sim::TopOfStack(node->fdo);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    irp->AssociatedIrp.SystemBuffer = &d.value;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = sizeof(ULONG);
    next->Parameters.DeviceIoControl.OutputBufferLength = sizeof(ULONG);
    IoSetCompletionRoutine(irp, DeferredDone, &d, TRUE, TRUE, TRUE);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoCallDriver(top, irp);
    KeLowerIrql(old);
}

// Read time-out classes: (interval, multiplier, constant) and whether data
// comes.
struct ReadClass {
    const char* name;
    ULONG interval, multiplier, constant;
};
const ReadClass kReadClasses[] = {
    {"read_immediate", 0xFFFFFFFFu, 0, 0},
    {"read_total", 0, 2, 50},
    {"read_interval", 20, 0, 0},
    {"read_interval_total", 20, 1, 100},
    {"read_wait_for_any", 0xFFFFFFFFu, 0xFFFFFFFFu, 100},
    {"read_infinite", 0, 0, 0},
};

void ReadScenario(Ctx& c, const ReadClass& k) {
    if (!c.Open())
        return;
    c.Port().SetTimeouts(k.interval, k.multiplier, k.constant);
    c.Step();
    rig::Request& r = c.Port().StartRead(16);
    c.Step();
    c.Push("0123456789");
    c.Step();
    sim::AdvanceClockMs(200);
    c.Step();
    c.Push("abcdef");
    c.WaitOrCancel(r);
    c.Step();
}

std::vector<Scenario> Build() {
    std::vector<Scenario> s;
    s.push_back({"open_configure_close", [](Ctx& c) {
                     if (!c.Open())
                         return;
                     c.Step();
                     SERIAL_BAUD_RATE baud{115200};
                     c.Port().Set(IOCTL_SERIAL_SET_BAUD_RATE, baud);
                     SERIAL_LINE_CONTROL line{0, 0, 8};
                     c.Port().Set(IOCTL_SERIAL_SET_LINE_CONTROL, line);
                     c.Step();
                     c.Port().Ioctl(IOCTL_SERIAL_SET_DTR, nullptr, 0, nullptr, 0);
                     c.Port().Ioctl(IOCTL_SERIAL_SET_RTS, nullptr, 0, nullptr, 0);
                     c.Step();
                     SERIAL_STATUS status{};
                     c.Port().Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status,
                                    sizeof status);
                     SERIAL_COMMPROP props{};
                     c.Port().Ioctl(IOCTL_SERIAL_GET_PROPERTIES, nullptr, 0, &props, sizeof props);
                     c.Step();
                     c.Port().Close();
                     c.Step();
                     c.Open(); // and again, as a program reopens
                     c.Step();
                 }});
    for (const ReadClass& k : kReadClasses)
        s.push_back({k.name, [k](Ctx& c) { ReadScenario(c, k); }});
    s.push_back({"write_single", [](Ctx& c) {
                     if (!c.Open())
                         return;
                     c.Step();
                     rig::Request& w = c.Port().StartWrite({'A', 'T', '\r'});
                     c.Step();
                     c.Wait(w);
                     c.Step();
                 }});
    s.push_back({"write_multi_piece", [](Ctx& c) {
                     if (!c.Open())
                         return;
                     c.Port().SetTimeouts(0, 0, 0, 1, 500);
                     c.Step();
                     rig::Request& w = c.Port().StartWrite(std::vector<uint8_t>(700, 'x'));
                     c.Step();
                     rig::Request& w2 = c.Port().StartWrite(std::vector<uint8_t>(64, 'y'));
                     c.Step();
                     c.Wait(w);
                     c.Wait(w2);
                     c.Step();
                 }});
    s.push_back({"immediate_char", [](Ctx& c) {
                     if (!c.Open())
                         return;
                     c.Step();
                     UCHAR ch = 0x11;
                     c.Port().Set(IOCTL_SERIAL_IMMEDIATE_CHAR, ch);
                     c.Step();
                 }});
    s.push_back({"wait_on_mask", [](Ctx& c) {
                     if (!c.Open())
                         return;
                     c.Port().Set(IOCTL_SERIAL_SET_WAIT_MASK,
                                  (ULONG)(SERIAL_EV_RXCHAR | SERIAL_EV_DSR | SERIAL_EV_RLSD |
                                          SERIAL_EV_RING | SERIAL_EV_TXEMPTY));
                     c.Step();
                     rig::Request& wait =
                         c.Port().StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
                     c.Step();
                     if (usb::Interface* u = c.Usb())
                         u->SendSerialState(usb::kStateDcd | usb::kStateDsr | usb::kStateRing);
                     c.Step();
                     c.Push("x");
                     c.WaitOrCancel(wait);
                     c.Step();
                     rig::Request& again =
                         c.Port().StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
                     c.Step();
                     c.Port().Set(IOCTL_SERIAL_SET_WAIT_MASK, (ULONG)0); // ends the wait
                     c.Wait(again);
                     c.Step();
                 }});
    const std::pair<const char*, ULONG> kPurges[] = {{"purge_txabort", SERIAL_PURGE_TXABORT},
                                                     {"purge_rxabort", SERIAL_PURGE_RXABORT},
                                                     {"purge_txclear", SERIAL_PURGE_TXCLEAR},
                                                     {"purge_rxclear", SERIAL_PURGE_RXCLEAR}};
    for (const auto& [name, flags] : kPurges)
        s.push_back({name, [flags = flags](Ctx& c) {
                         if (!c.Open())
                             return;
                         c.Push("queued before the purge");
                         c.Step();
                         if (usb::Interface* u = c.Usb())
                             u->HoldBulkOut(true);
                         c.Port().StartRead(64);
                         c.Port().StartWrite(std::vector<uint8_t>(40, 'w'));
                         c.Step();
                         c.Port().Set(IOCTL_SERIAL_PURGE, flags);
                         c.Step();
                         if (usb::Interface* u = c.Usb())
                             u->HoldBulkOut(false);
                         c.Step();
                     }});
    s.push_back({"control_from_dispatch", [](Ctx& c) {
                     if (!c.Open())
                         return;
                     c.Step();
                     Deferred d;
                     SendFromDispatch(c, IOCTL_SERIAL_GET_MODEMSTATUS, d);
                     c.Step();
                     if (!rig::RunUntil([&] { return d.done; }) && c.problem.empty())
                         c.problem = "HANG: a control request sent at DISPATCH_LEVEL never ended";
                     c.Step();
                 }});
    s.push_back({"sleep_wake_open", [](Ctx& c) {
                     if (!c.Open())
                         return;
                     rig::Request& r = c.Port().StartRead(32);
                     c.Step();
                     c.m.SleepAndWake(PowerSystemSleeping3);
                     c.Step();
                     c.Push("after wake");
                     c.Step();
                     c.m.SleepAndWake(PowerSystemHibernate);
                     c.Step();
                     c.Port().CancelIo();
                     c.Wait(r);
                     c.Step();
                 }});
    s.push_back({"query_stop_remove_cancel", [](Ctx& c) {
                     bool open = c.Open();
                     c.Step();
                     if (c.m.Started(c.which))
                         sim::PnpQueryStopThenCancel(c.m.Node(c.which));
                     c.Step();
                     if (c.m.Started(c.which))
                         sim::PnpQueryRemoveThenCancel(c.m.Node(c.which));
                     c.Step();
                     if (open)
                         c.Port().Close();
                     c.Step();
                     if (c.m.Started(c.which) && c.m.Plugged() &&
                         NT_SUCCESS(sim::PnpStopDevice(c.m.Node(c.which))))
                         sim::PnpStartDevice(c.m.Node(c.which));
                     c.Step();
                     c.Open();
                     c.Step();
                 }});
    s.push_back({"surprise_removal_queued", [](Ctx& c) {
                     if (!c.Open())
                         return;
                     c.Port().SetTimeouts(0, 0, 0);
                     c.Port().Set(IOCTL_SERIAL_SET_WAIT_MASK, (ULONG)SERIAL_EV_RXCHAR);
                     if (usb::Interface* u = c.Usb())
                         u->HoldBulkOut(true);
                     c.Step();
                     c.Port().StartRead(64);
                     c.Port().StartRead(64);
                     c.Port().StartWrite(std::vector<uint8_t>(100, 'q'));
                     c.Port().StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
                     c.Step();
                     c.m.Unplug();
                     c.Step();
                 }});
    s.push_back({"unplug_while_streaming", [](Ctx& c) {
                     if (!c.Open())
                         return;
                     c.Port().SetTimeouts(5, 0, 0);
                     for (int i = 0; i < 6; ++i) {
                         c.Port().StartRead(50);
                         c.Port().StartWrite(std::vector<uint8_t>(30, (uint8_t)i));
                         c.Push(std::string(70, (char)('a' + i)));
                         c.Step();
                     }
                     c.m.Unplug();
                     c.Step();
                 }});
    return s;
}

} // namespace

const std::vector<Scenario>& Scenarios() {
    static const std::vector<Scenario> all = Build();
    return all;
}

Outcome Play(const Scenario& scenario, rig::Which which, const RunPlan& plan) {
    Outcome run;
    rig::MachineOptions options;
    options.plug = false;
    rig::Machine m(VXQT70_MODEM_IMAGE, VXQT70_DIAG_IMAGE, options);
    const char* kind = which == rig::Which::Modem ? "modem" : "diagnostics";

    sim::FaultPlan census;
    census.driverName = rig::ServiceOf(which);
    // VXQT70_SWEEP_SPARE=site|site leaves those allocation sites alone, to
    // look past a finding whose fix has not landed (never set in CI).
    if (const char* spare = std::getenv("VXQT70_SWEEP_SPARE"))
        census.notSites = spare;
    census.failNth = plan.failAllocation != 0 ? plan.failAllocation : UINT64_MAX;
    const int planNumber = sim::AddFaultPlan(census);
    if (plan.failMinor != 0 && !plan.failPower)
        sim::PnpFailAtBus(kind, plan.failMinor, STATUS_UNSUCCESSFUL);

    m.Plug();
    usb::Interface* usbIfc = m.Usb(which);
    const int number = usbIfc->Number();
    unsigned submits = 0;
    m.Phone().SetEventHook([&](const usb::BusEvent& e) {
        if (e.kind != usb::EventKind::Submit || e.interfaceNumber != number ||
            e.pipe == usb::Pipe::Control)
            return;
        if (++submits == plan.failTransfer)
            m.Phone().At((size_t)number).FailNext(e.pipe, plan.transferStatus, plan.transferUsbd);
    });
    if (plan.failPower) {
        sim::PowerFault f;
        f.device = usbIfc->Pdo();
        f.minor = plan.failMinor;
        f.type = plan.powerType;
        f.status = STATUS_UNSUCCESSFUL;
        sim::PoInjectFault(f);
    }

    Ctx c(m, which, plan);
    scenario.body(c);
    if (plan.failPower || plan.failMinor == IRP_MN_QUERY_STOP_DEVICE ||
        plan.failMinor == IRP_MN_QUERY_REMOVE_DEVICE ||
        plan.failMinor == IRP_MN_QUERY_DEVICE_RELATIONS) {
        // Make sure the refused request is asked for at least once.
        if (m.Plugged() && m.Started(which)) {
            if (plan.failPower)
                m.SleepAndWake(PowerSystemSleeping3);
            else if (plan.failMinor == IRP_MN_QUERY_STOP_DEVICE)
                sim::PnpQueryStopThenCancel(m.Node(which));
            else
                sim::PnpQueryRemoveThenCancel(m.Node(which));
        }
    }
    run.problem = c.problem;
    run.steps = c.steps;

    // Every request ended with a documented status and within its buffer.
    auto& port = m.Port(which);
    if (!port.Close() && run.problem.empty())
        run.problem = "HANG: close did not end";
    for (const auto& r : port.Requests()) {
        if (!r->Done() && run.problem.empty())
            run.problem = "a request was still pending after its handle was closed";
        else if (!rig::DocumentedStatus(r->Status()) && run.problem.empty())
            run.problem = "a request ended with undocumented status 0x" +
                          std::to_string((unsigned)r->Status());
        else if (rig::Overreported(*r) && run.problem.empty())
            run.problem = "a request reported more bytes than its buffer";
    }
    // The port is usable again, or cleanly lost.
    if (run.problem.empty() && m.Plugged() && m.Started(which)) {
        if (port.Open() == 0) {
            // Usable: it answers, and bytes the phone sends now reach a read.
            SERIAL_STATUS status{};
            NTSTATUS s =
                port.Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status);
            if (!rig::DocumentedStatus(s))
                run.problem =
                    "the port answers 0x" + std::to_string((unsigned)s) + " after the run";
            // Bytes the phone still held from the run (sent while reception
            // was stopped) may come first; "ok" must follow them.
            port.SetTimeouts(0, 0, 500);
            std::string got;
            bool lost = false;
            for (int i = 0; i < 4 && run.problem.empty() && !lost && !got.ends_with("ok"); ++i) {
                rig::Request& r = port.StartRead(2);
                if (i == 0)
                    m.Usb(which)->Push("ok");
                if (!port.Wait(r))
                    run.problem = "HANG: a read with a total time-out after the run";
                else if (r.Bytes() == 0)
                    lost = !NT_SUCCESS(r.Status());
                got.append(r.output.begin(), r.output.begin() + r.Bytes());
                if (r.Bytes() == 0)
                    break;
            }
            if (run.problem.empty() && !lost && !got.ends_with("ok"))
                run.problem = "the reopened port no longer receives (\"" + got + "\")";
            if (!port.Close() && run.problem.empty())
                run.problem = "HANG: close after the run did not end";
        }
    }
    m.Phone().SetEventHook(nullptr);
    if (!run.problem.empty())
        run.problem += "\n" + sim::FaultLog();
    run.allocations = sim::FaultPlanSelected(planNumber);
    run.transfers = submits;
    sim::ClearFaultPlans();
    m.Unplug();
    std::string left = m.Leftovers();
    if (!left.empty() && run.problem.empty())
        run.problem = "after the unplug: " + left;
    return run;
}

} // namespace faults
