// The test handles of the phone (platform/usb/phonecore) and the names and
// text of the bus's timeline.
#include "platform/usb/usb_internal.h"

#include "platform/sim/internal.h"

#include <algorithm>
#include <cstdio>

namespace usb {

using detail::BusState;

const char* InterfaceKindName(InterfaceKind kind) {
    return kind == InterfaceKind::Modem ? "modem" : "diagnostics";
}

const char* PipeName(Pipe pipe) {
    switch (pipe) {
    case Pipe::BulkIn:
        return "bulk-in";
    case Pipe::BulkOut:
        return "bulk-out";
    case Pipe::InterruptIn:
        return "interrupt-in";
    case Pipe::Control:
        return "control";
    }
    return "?";
}

const char* EventKindName(EventKind kind) {
    switch (kind) {
    case EventKind::Submit:
        return "submit";
    case EventKind::Complete:
        return "complete";
    case EventKind::Cancel:
        return "cancel";
    case EventKind::Abort:
        return "abort";
    case EventKind::Reset:
        return "reset";
    case EventKind::ClassRequest:
        return "class";
    case EventKind::Refused:
        return "refused";
    case EventKind::Unplug:
        return "unplug";
    case EventKind::Pnp:
        return "pnp";
    case EventKind::Power:
        return "power";
    }
    return "?";
}

namespace {

std::string Hex(ULONG value, int width) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", width, value);
    return text;
}

// Short names for the outcomes tests meet most; anything else in hex.
std::string OutcomeText(NTSTATUS status, LONG usbd) {
    switch (status) {
    case STATUS_SUCCESS:
        return "ok";
    case STATUS_CANCELLED:
        return "cancelled";
    case STATUS_DEVICE_NOT_CONNECTED:
        return "gone";
    default:
        break;
    }
    switch (usbd) {
    case USBD_STATUS_STALL_PID:
        return "stall";
    case USBD_STATUS_ENDPOINT_HALTED:
        return "halted";
    case USBD_STATUS_BUFFER_OVERRUN:
        return "babble";
    case USBD_STATUS_ERROR_SHORT_TRANSFER:
        return "short-error";
    default:
        break;
    }
    return Hex(static_cast<ULONG>(status), 8) + "/" + Hex(static_cast<ULONG>(usbd), 8);
}

} // namespace

std::string BusEvent::Text() const {
    std::string text = EventKindName(kind);
    switch (kind) {
    case EventKind::Submit:
        return text + " " + PipeName(pipe) + " " + std::to_string(length);
    case EventKind::Complete:
        return text + " " + PipeName(pipe) + " " + std::to_string(length) + " " +
               OutcomeText(status, usbdStatus);
    case EventKind::Cancel:
    case EventKind::Abort:
    case EventKind::Reset:
        return text + " " + PipeName(pipe);
    case EventKind::ClassRequest:
        return text + " " + Hex(code, 2) + " " + Hex(length, 4);
    case EventKind::Refused:
        return text + " " + PipeName(pipe) + " " + OutcomeText(status, usbdStatus);
    case EventKind::Unplug:
        return text;
    case EventKind::Pnp:
        return text + " " + Hex(code, 2);
    case EventKind::Power:
        return text + " D" + std::to_string(static_cast<int>(code) - 1);
    }
    return text;
}

namespace detail {

// A phone or bus call made out of place, or a bus that could not be set up:
// the stop every other test-facing call of the simulation makes.
[[noreturn]] void UsageError(const std::string& what) {
    sim::BugCheck(sim::kSimMisuse, 0, 0, 0, 0, "usb: " + what);
}

} // namespace detail

// ================================================================ test handles

namespace {

BusState& BusOf(detail::InterfaceState* s) { return *s->phone->bus; }

void RequireInPipe(Pipe pipe, const char* what) {
    if (pipe != Pipe::BulkIn && pipe != Pipe::InterruptIn)
        detail::UsageError(std::string(what) + " needs an IN pipe, not " + PipeName(pipe));
}

} // namespace

int Interface::Number() const { return s_->number; }
InterfaceKind Interface::Kind() const { return s_->kind; }

PDEVICE_OBJECT Interface::Pdo() const {
    std::lock_guard<detail::BusLock> guard(BusOf(s_).lock);
    return s_->pdo;
}

ULONG Interface::MaxPacket(Pipe pipe) const { return s_->Ep(pipe).MaxPacket; }

namespace {
std::u16string Widen(const std::string& text) { return std::u16string(text.begin(), text.end()); }
std::string Hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFF);
    return text;
}
std::string Hex2(unsigned value) {
    char text[4];
    std::snprintf(text, sizeof text, "%02X", value & 0xFF);
    return text;
}
} // namespace

std::u16string Interface::DeviceId() const {
    const PhoneConfig& c = s_->phone->config;
    return Widen("USB\\VID_" + Hex4(c.vendorId) + "&PID_" + Hex4(c.productId) + "&MI_" +
                 Hex2(static_cast<unsigned>(s_->number)));
}

std::vector<std::u16string> Interface::HardwareIds() const {
    const PhoneConfig& c = s_->phone->config;
    std::string base = "USB\\VID_" + Hex4(c.vendorId) + "&PID_" + Hex4(c.productId);
    std::string mi = "&MI_" + Hex2(static_cast<unsigned>(s_->number));
    return {Widen(base + "&REV_" + Hex4(c.revision) + mi), Widen(base + mi)};
}

std::vector<std::u16string> Interface::CompatibleIds() const {
    // The modem interface is a CDC abstract-control-model interface; the
    // diagnostics one is vendor-specific.
    if (s_->kind == InterfaceKind::Modem)
        return {u"USB\\Class_02&SubClass_02&Prot_01", u"USB\\Class_02&SubClass_02",
                u"USB\\Class_02"};
    return {u"USB\\Class_FF&SubClass_FF&Prot_FF", u"USB\\Class_FF&SubClass_FF", u"USB\\Class_FF"};
}

std::u16string Interface::InstanceId() const {
    return s_->phone->config.serial + u"&" + Widen(Hex2(static_cast<unsigned>(s_->number)));
}

namespace {
// Runs `change` on the phone under the bus's lock, then wakes the frame tick
// so a transfer already waiting meets what changed.
template <typename F> void Change(detail::InterfaceState* s, F change) {
    BusState& bus = BusOf(s);
    {
        std::lock_guard<detail::BusLock> guard(bus.lock);
        change(s->phone->core.get(), s->core);
    }
    bus.Kick(s->phone);
}

template <typename T, typename F> T Read(const detail::InterfaceState* s, F read) {
    std::lock_guard<detail::BusLock> guard(BusOf(const_cast<detail::InterfaceState*>(s)).lock);
    return read(s->core);
}

int PipeIndex(Pipe pipe) { return static_cast<int>(pipe); }
} // namespace

void Interface::Push(const void* data, size_t length, Pipe pipe, size_t packetSize,
                     bool terminate) {
    RequireInPipe(pipe, "Push");
    Change(s_, [&](PPHONE phone, PHONE_INTERFACE* ifc) {
        const ULONGLONG rate = s_->phone->config.wire.phoneBytesPerSecond;
        if (pipe == Pipe::BulkIn && rate != 0)
            s_->radioAt = std::max(s_->radioAt, detail::Now()) +
                          static_cast<LONGLONG>(length * kWireSecond / rate);
        PhoneQueueIn(phone, ifc, PipeIndex(pipe), static_cast<const UCHAR*>(data),
                     static_cast<ULONG>(length), static_cast<ULONG>(packetSize), terminate);
    });
}

void Interface::Push(std::string_view text, Pipe pipe) { Push(text.data(), text.size(), pipe); }

void Interface::PushPacket(std::vector<uint8_t> packet, Pipe pipe) {
    RequireInPipe(pipe, "PushPacket");
    Change(s_, [&](PPHONE phone, PHONE_INTERFACE* ifc) {
        PhoneQueuePacket(phone, ifc, PipeIndex(pipe), packet.data(),
                         static_cast<ULONG>(packet.size()));
    });
}

void Interface::SendSerialState(USHORT uartState) {
    std::vector<uint8_t> packet(PHONE_SERIAL_STATE_BYTES);
    PhoneSerialStatePacket(static_cast<ULONG>(s_->number), uartState, packet.data());
    PushPacket(std::move(packet), Pipe::InterruptIn);
}

size_t Interface::QueuedBytes(Pipe pipe) const {
    return Read<size_t>(s_, [&](const PHONE_INTERFACE* ifc) {
        return PhoneQueuedBytes(ifc, PipeIndex(pipe));
    });
}

std::vector<uint8_t> Interface::TakeReceived() {
    std::lock_guard<detail::BusLock> guard(BusOf(s_).lock);
    std::vector<uint8_t> out;
    out.swap(s_->received);
    return out;
}

std::string Interface::TakeReceivedText() {
    std::vector<uint8_t> bytes = TakeReceived();
    return std::string(bytes.begin(), bytes.end());
}

void Interface::HoldBulkOut(bool hold) {
    Change(s_, [&](PPHONE, PHONE_INTERFACE* ifc) { ifc->Ep[PhoneBulkOut].Nak = hold; });
}

std::vector<ClassRequest> Interface::ClassRequests() const {
    std::lock_guard<detail::BusLock> guard(BusOf(s_).lock);
    return s_->classRequests;
}

void Interface::ClearClassRequests() {
    std::lock_guard<detail::BusLock> guard(BusOf(s_).lock);
    s_->classRequests.clear();
}

std::vector<uint8_t> Interface::LineCoding() const {
    return Read<std::vector<uint8_t>>(s_, [](const PHONE_INTERFACE* ifc) {
        return std::vector<uint8_t>(ifc->LineCoding, ifc->LineCoding + 7);
    });
}

USHORT Interface::ControlLines() const {
    return Read<USHORT>(s_, [](const PHONE_INTERFACE* ifc) { return ifc->ControlLines; });
}

unsigned Interface::Resets(Pipe pipe) const {
    return Read<unsigned>(s_, [&](const PHONE_INTERFACE* ifc) { return ifc->Ep[PipeIndex(pipe)].Resets; });
}

unsigned Interface::Aborts(Pipe pipe) const {
    return Read<unsigned>(s_, [&](const PHONE_INTERFACE* ifc) { return ifc->Ep[PipeIndex(pipe)].Aborts; });
}

size_t Interface::Outstanding(Pipe pipe) const {
    return Read<size_t>(s_, [&](const PHONE_INTERFACE* ifc) {
        return PhoneOutstanding(s_->phone->core.get(), ifc, PipeIndex(pipe));
    });
}

bool Interface::Halted(Pipe pipe) const {
    return Read<bool>(s_, [&](const PHONE_INTERFACE* ifc) { return ifc->Ep[PipeIndex(pipe)].Halted != 0; });
}

ULONG Interface::PipeHandle(Pipe pipe) const {
    if (pipe == Pipe::Control)
        return 0;
    return Read<ULONG>(s_, [&](const PHONE_INTERFACE* ifc) {
        return static_cast<ULONG>(ifc->Handles[PipeIndex(pipe)]);
    });
}

bool Interface::HasAtModem() const { return s_->core->Function == PhoneFunctionModem; }

void Interface::WithAtModem(const std::function<void(ATMODEM&)>& change) {
    if (!HasAtModem())
        detail::UsageError("interface " + std::to_string(s_->number) + " has no AT modem");
    Change(s_, [&](PPHONE phone, PHONE_INTERFACE* ifc) {
        change(ifc->Modem);
        PhoneRunModem(phone, ifc, detail::Now());
    });
}

ATMODEM Interface::AtModemSnapshot() const {
    if (!HasAtModem())
        detail::UsageError("interface " + std::to_string(s_->number) + " has no AT modem");
    return Read<ATMODEM>(s_, [](const PHONE_INTERFACE* ifc) { return ifc->Modem; });
}

void Interface::Arm(Pipe pipe, FaultKind kind, const FaultPlan& plan) {
    if (kind == FaultKind::Babble)
        RequireInPipe(pipe, "a babble");
    if ((kind == FaultKind::Short || kind == FaultKind::Overstate) && pipe == Pipe::Control)
        detail::UsageError("short and overstated transfers apply to a data pipe");
    PHONE_FAULT fault = {};
    fault.Halt = plan.halt;
    fault.Skip = plan.skip;
    fault.Count = plan.count;
    fault.Status = plan.status;
    fault.Usbd = plan.usbdStatus;
    fault.Value = plan.value;
    Change(s_, [&](PPHONE, PHONE_INTERFACE* ifc) {
        PhoneArmFault(ifc, PipeIndex(pipe), static_cast<int>(kind), &fault);
    });
}

void Interface::FailNext(Pipe pipe, NTSTATUS status, LONG usbdStatus, bool persistent,
                         bool halt) {
    Arm(pipe, FaultKind::Error,
        FaultPlan{.count = persistent ? 0u : 1u, .status = status, .usbdStatus = usbdStatus,
                  .halt = halt});
}

void Interface::Stall(Pipe pipe) { Arm(pipe, FaultKind::Stall, FaultPlan{}); }

void Interface::Delay(Pipe pipe, ULONG ms) {
    Change(s_, [&](PPHONE, PHONE_INTERFACE* ifc) { ifc->Ep[PipeIndex(pipe)].DelayMs = ms; });
}

void Interface::ShortNext(Pipe pipe, ULONG bytes) {
    Arm(pipe, FaultKind::Short, FaultPlan{.value = bytes});
}

void Interface::BabbleNext(Pipe pipe, ULONG extra) {
    Arm(pipe, FaultKind::Babble, FaultPlan{.value = extra});
}

void Interface::OverstateNext(Pipe pipe, ULONG extra) {
    Arm(pipe, FaultKind::Overstate, FaultPlan{.value = extra});
}

void Interface::CompleteAtOnce(Pipe pipe, bool enable) {
    Change(s_, [&](PPHONE, PHONE_INTERFACE* ifc) { ifc->Ep[PipeIndex(pipe)].AtOnce = enable; });
}

void Interface::ClearFaults(Pipe pipe) {
    Change(s_, [&](PPHONE, PHONE_INTERFACE* ifc) { PhoneClearFaults(ifc, PipeIndex(pipe)); });
}

// ---------------------------------------------------------------- phone

size_t Phone::InterfaceCount() const { return s_->interfaces.size(); }

Interface& Phone::At(size_t index) {
    if (index >= s_->interfaces.size())
        detail::UsageError("the phone has no interface " + std::to_string(index));
    return *s_->interfaces[index]->handle;
}

namespace {
Interface& FirstOfKind(detail::PhoneState* s, InterfaceKind kind) {
    for (auto& ifc : s->interfaces)
        if (ifc->kind == kind)
            return *ifc->handle;
    detail::UsageError(std::string("the phone has no ") + InterfaceKindName(kind) + " interface");
}
} // namespace

Interface& Phone::Modem() { return FirstOfKind(s_, InterfaceKind::Modem); }
Interface& Phone::Diagnostics() { return FirstOfKind(s_, InterfaceKind::Diagnostics); }

bool Phone::Plugged() const {
    std::lock_guard<detail::BusLock> guard(s_->bus->lock);
    return s_->core->Plugged != 0;
}

void Phone::Unplug() { s_->bus->Unplug(s_); }

std::vector<BusEvent> Phone::Timeline() const {
    std::lock_guard<detail::BusLock> guard(s_->bus->lock);
    return s_->timeline;
}

std::vector<std::string> Phone::TimelineText(int interfaceNumber, bool withPnp) const {
    std::vector<std::string> lines;
    for (const BusEvent& e : Timeline()) {
        if (interfaceNumber >= 0 && e.interfaceNumber != interfaceNumber &&
            e.kind != EventKind::Unplug)
            continue;
        if (!withPnp && (e.kind == EventKind::Pnp || e.kind == EventKind::Power))
            continue;
        lines.push_back(e.Text());
    }
    return lines;
}

void Phone::ClearTimeline() {
    std::lock_guard<detail::BusLock> guard(s_->bus->lock);
    s_->timeline.clear();
}

void Phone::SetEventHook(std::function<void(const BusEvent&)> hook) {
    std::lock_guard<detail::BusLock> guard(s_->bus->lock);
    s_->hook = hook ? std::make_shared<const std::function<void(const BusEvent&)>>(std::move(hook))
                    : nullptr;
}

} // namespace usb
