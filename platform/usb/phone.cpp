// The phone model: what each endpoint does with a transfer, the modem
// interface's CDC class requests, and the test handles.
#include "platform/usb/usb_internal.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace usb {

using detail::BusState;
using detail::Endpoint;
using detail::Request;
using detail::Verdict;

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

// ================================================================ endpoint model

namespace detail {

void Endpoint::QueueIn(const uint8_t* bytes, size_t length, size_t packetSize, bool terminate) {
    size_t offset = 0;
    bool lastFull = false;
    while (offset < length) {
        size_t n = std::min(packetSize, length - offset);
        if (n == maxPacket) {
            // Every full packet from here on, kept with a full run queued
            // before them: one entry instead of one allocation a packet.
            n = (length - offset) / maxPacket * maxPacket;
            if (packets.empty() || packets.back().empty() || packets.back().size() % maxPacket != 0)
                packets.emplace_back();
            packets.back().insert(packets.back().end(), bytes + offset, bytes + offset + n);
        } else {
            packets.emplace_back(bytes + offset, bytes + offset + n);
        }
        lastFull = n >= maxPacket;
        offset += n;
    }
    if (terminate && lastFull)
        packets.emplace_back();
}

size_t Endpoint::QueuedBytes() const {
    size_t total = 0;
    for (const auto& packet : packets)
        total += packet.size();
    return total - headOffset;
}

// The faults that decide a transfer before any data moves. True when r is
// decided.
bool Endpoint::ServeFaults(Request& r) {
    if (halted) {
        r.status = STATUS_UNSUCCESSFUL;
        r.usbd = USBD_STATUS_ENDPOINT_HALTED;
        r.reported = r.done;
        return true;
    }
    if (stallNext) {
        stallNext = false;
        // A stall on the default pipe ends that request only; a data
        // endpoint stays halted until the host clears it.
        if (pipe != Pipe::Control)
            halted = true;
        r.status = STATUS_UNSUCCESSFUL;
        r.usbd = USBD_STATUS_STALL_PID;
        r.reported = r.done;
        return true;
    }
    if (error) {
        r.status = error->status;
        r.usbd = error->usbd;
        r.reported = r.done;
        if (error->halt && pipe != Pipe::Control)
            halted = true;
        if (!error->persistent)
            error.reset();
        return true;
    }
    return false;
}

Verdict Endpoint::Serve(Request& r, LONGLONG now) {
    if (r.notBefore > now)
        return Verdict::Wait;
    if (ServeFaults(r))
        return Verdict::Complete;
    if (r.type == Request::Type::Class)
        return Verdict::Complete; // the interface serves it
    return r.in ? ServeIn(r) : ServeOut(r);
}

Verdict Endpoint::ServeIn(Request& r) {
    if (babbleNext) {
        // The device sends past the buffer: the host controller keeps what
        // fits and drops the rest, and the endpoint halts.
        ULONG extra = *babbleNext;
        babbleNext.reset();
        while (r.done < r.length) {
            if (packets.empty()) {
                r.buffer[r.done++] = 0xBB;
                continue;
            }
            auto& head = packets.front();
            size_t n = std::min<size_t>(head.size() - headOffset, r.length - r.done);
            std::memcpy(r.buffer + r.done, head.data() + headOffset, n);
            r.done += static_cast<ULONG>(n);
            headOffset += n;
            if (headOffset == head.size()) {
                packets.pop_front();
                headOffset = 0;
            }
        }
        (void)extra; // what babbled past the buffer is gone
        halted = true;
        r.status = STATUS_DEVICE_DATA_ERROR;
        r.usbd = USBD_STATUS_BUFFER_OVERRUN;
        r.reported = r.done;
        return Verdict::Complete;
    }

    bool ended = false;
    std::optional<ULONG> limit;
    if (shortNext) {
        limit = std::min(*shortNext, r.length);
        shortNext.reset();
        ended = true; // ends now, with whatever is there up to the limit
    }
    ULONG room = (limit ? *limit : r.length);
    while (r.done < room && !packets.empty()) {
        auto& head = packets.front();
        size_t n = std::min<size_t>(head.size() - headOffset, room - r.done);
        if (n != 0) // an empty packet has no data to copy from
            std::memcpy(r.buffer + r.done, head.data() + headOffset, n);
        r.done += static_cast<ULONG>(n);
        headOffset += n;
        if (headOffset == head.size()) {
            bool shortPacket = head.size() < maxPacket;
            packets.pop_front();
            headOffset = 0;
            if (shortPacket) {
                ended = true;
                break;
            }
        }
    }
    // A zero-length packet waiting at the head ends a transfer that has
    // data, or stands as a transfer of its own.
    if (!ended && r.done < room && !packets.empty() && packets.front().empty()) {
        packets.pop_front();
        ended = true;
    }
    if (r.done == r.length)
        ended = true;
    if (!ended)
        return Verdict::Wait;

    r.reported = r.done;
    if (r.done < r.length && !r.shortOk) {
        r.status = STATUS_UNSUCCESSFUL;
        r.usbd = USBD_STATUS_ERROR_SHORT_TRANSFER;
    } else {
        r.status = STATUS_SUCCESS;
        r.usbd = USBD_STATUS_SUCCESS;
    }
    if (overstateNext) {
        r.reported = r.length + *overstateNext;
        overstateNext.reset();
    }
    return Verdict::Complete;
}

Verdict Endpoint::ServeOut(Request& r) {
    if (nak)
        return Verdict::Wait;
    ULONG accepted = r.length;
    if (shortNext) {
        accepted = std::min(*shortNext, r.length);
        shortNext.reset();
    }
    received.insert(received.end(), r.buffer, r.buffer + accepted);
    r.done = accepted;
    r.reported = accepted;
    r.status = STATUS_SUCCESS;
    r.usbd = USBD_STATUS_SUCCESS;
    if (overstateNext) {
        r.reported = r.length + *overstateNext;
        overstateNext.reset();
    }
    return Verdict::Complete;
}

// The modem interface's CDC requests. Anything else, or a request of the
// wrong shape, is stalled as a device stalls what it does not understand.
void InterfaceState::ServeClass(Request& r) {
    ClassRequest record;
    record.setup = r.setup;
    bool ok = false;
    const SetupPacket& s = r.setup;
    bool hostToDevice = (s.bmRequestType & 0x80) == 0;
    switch (s.bRequest) {
    case kSetLineCoding:
        if (hostToDevice && r.length == 7 && r.buffer) {
            lineCoding.assign(r.buffer, r.buffer + 7);
            if (atModem)
                AtModemSetLineCoding(atModem.get(), lineCoding.data());
            record.data = lineCoding;
            r.done = 7;
            ok = true;
        }
        break;
    case kGetLineCoding:
        if (!hostToDevice && r.length >= 7 && r.buffer) {
            std::memcpy(r.buffer, lineCoding.data(), 7);
            record.data = lineCoding;
            r.done = 7;
            ok = true;
        }
        break;
    case kSetControlLineState:
        if (hostToDevice && r.length == 0) {
            controlLines = s.wValue;
            if (atModem)
                AtModemSetControlLines(atModem.get(), s.wValue,
                                       static_cast<unsigned long long>(Now() / kFrame100ns));
            ok = true;
        }
        break;
    case kSendBreak:
        if (hostToDevice && r.length == 0)
            ok = true;
        break;
    default:
        break;
    }
    if (!ok && hostToDevice && r.buffer && r.length)
        record.data.assign(r.buffer, r.buffer + r.length);
    if (ok) {
        r.status = STATUS_SUCCESS;
        r.usbd = USBD_STATUS_SUCCESS;
    } else {
        r.status = STATUS_UNSUCCESSFUL;
        r.usbd = USBD_STATUS_STALL_PID;
    }
    r.reported = r.done;
    record.status = r.status;
    record.usbdStatus = r.usbd;
    classRequests.push_back(std::move(record));
}

// ---------------------------------------------------------------- the AT modem glue

namespace {
unsigned long long ModemMs(LONGLONG now) {
    return static_cast<unsigned long long>(now / kFrame100ns);
}
} // namespace

std::vector<uint8_t> SerialStatePacket(int number, USHORT uartState) {
    return {0xA1,
            0x20,
            0x00,
            0x00,
            static_cast<uint8_t>(number & 0xFF),
            static_cast<uint8_t>((number >> 8) & 0xFF),
            0x02,
            0x00,
            static_cast<uint8_t>(uartState & 0xFF),
            static_cast<uint8_t>(uartState >> 8)};
}

bool InterfaceState::FeedModem(const uint8_t* data, ULONG length, LONGLONG now) {
    if (!atModem || data == nullptr)
        return false;
    bool queued = false;
    // In pieces, draining between them, so that the modem's fixed output
    // buffer never has to hold the answer to more than one piece.
    constexpr ULONG kPiece = 1024;
    for (ULONG offset = 0; offset < length; offset += kPiece) {
        ULONG n = std::min(kPiece, length - offset);
        AtModemInput(atModem.get(), data + offset, n, ModemMs(now));
        if (RunModem(now))
            queued = true;
    }
    return queued;
}

bool InterfaceState::RunModem(LONGLONG now) {
    if (!atModem)
        return false;
    ATMODEM* m = atModem.get();
    AtModemPoll(m, ModemMs(now));
    bool queued = false;
    // Output goes out as a device sends a burst: full packets, a short last
    // one, or a zero-length packet after a full last one.
    Endpoint& in = Ep(Pipe::BulkIn);
    std::vector<uint8_t> out(m->OutLength);
    out.resize(AtModemTakeOutput(m, out.data(), static_cast<unsigned>(out.size())));
    if (!out.empty()) {
        in.QueueIn(out.data(), out.size(), in.maxPacket, true);
        queued = true;
    }
    unsigned short state = 0;
    if (AtModemTakeLineState(m, &state)) {
        Ep(Pipe::InterruptIn).packets.push_back(SerialStatePacket(number, state));
        queued = true;
    }
    return queued;
}

bool InterfaceState::NextModemWake(LONGLONG* when) const {
    unsigned long long ms = 0;
    if (!atModem || !AtModemNextDeadline(atModem.get(), &ms))
        return false;
    *when = static_cast<LONGLONG>(ms) * kFrame100ns;
    return true;
}

[[noreturn]] void UsageError(const std::string& what) {
    std::fprintf(stderr, "usb: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
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
    std::lock_guard<std::mutex> guard(BusOf(s_).lock);
    return s_->pdo;
}

ULONG Interface::MaxPacket(Pipe pipe) const { return s_->Ep(pipe).maxPacket; }

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

void Interface::Push(const void* data, size_t length, Pipe pipe, size_t packetSize,
                     bool terminate) {
    RequireInPipe(pipe, "Push");
    BusState& bus = BusOf(s_);
    {
        std::lock_guard<std::mutex> guard(bus.lock);
        Endpoint& ep = s_->Ep(pipe);
        ep.QueueIn(static_cast<const uint8_t*>(data), length, packetSize ? packetSize : ep.maxPacket,
                   terminate);
    }
    bus.Kick();
}

void Interface::Push(std::string_view text, Pipe pipe) { Push(text.data(), text.size(), pipe); }

void Interface::PushPacket(std::vector<uint8_t> packet, Pipe pipe) {
    RequireInPipe(pipe, "PushPacket");
    BusState& bus = BusOf(s_);
    {
        std::lock_guard<std::mutex> guard(bus.lock);
        s_->Ep(pipe).packets.push_back(std::move(packet));
    }
    bus.Kick();
}

void Interface::SendSerialState(USHORT uartState) {
    PushPacket(detail::SerialStatePacket(s_->number, uartState), Pipe::InterruptIn);
}

size_t Interface::QueuedBytes(Pipe pipe) const {
    std::lock_guard<std::mutex> guard(BusOf(s_).lock);
    return s_->Ep(pipe).QueuedBytes();
}

std::vector<uint8_t> Interface::TakeReceived() {
    std::lock_guard<std::mutex> guard(BusOf(s_).lock);
    std::vector<uint8_t> out;
    out.swap(s_->Ep(Pipe::BulkOut).received);
    return out;
}

std::string Interface::TakeReceivedText() {
    std::vector<uint8_t> bytes = TakeReceived();
    return std::string(bytes.begin(), bytes.end());
}

void Interface::HoldBulkOut(bool hold) {
    BusState& bus = BusOf(s_);
    {
        std::lock_guard<std::mutex> guard(bus.lock);
        s_->Ep(Pipe::BulkOut).nak = hold;
    }
    bus.Kick();
}

std::vector<ClassRequest> Interface::ClassRequests() const {
    std::lock_guard<std::mutex> guard(BusOf(s_).lock);
    return s_->classRequests;
}

void Interface::ClearClassRequests() {
    std::lock_guard<std::mutex> guard(BusOf(s_).lock);
    s_->classRequests.clear();
}

std::vector<uint8_t> Interface::LineCoding() const {
    std::lock_guard<std::mutex> guard(BusOf(s_).lock);
    return s_->lineCoding;
}

USHORT Interface::ControlLines() const {
    std::lock_guard<std::mutex> guard(BusOf(s_).lock);
    return s_->controlLines;
}

unsigned Interface::Resets(Pipe pipe) const {
    std::lock_guard<std::mutex> guard(BusOf(s_).lock);
    return s_->Ep(pipe).resets;
}

unsigned Interface::Aborts(Pipe pipe) const {
    std::lock_guard<std::mutex> guard(BusOf(s_).lock);
    return s_->Ep(pipe).aborts;
}

size_t Interface::Outstanding(Pipe pipe) const {
    BusState& bus = BusOf(s_);
    std::lock_guard<std::mutex> guard(bus.lock);
    size_t count = 0;
    for (const auto& [irp, r] : bus.byIrp)
        if (r->ifc == s_ && r->pipe == pipe)
            ++count;
    return count;
}

bool Interface::Halted(Pipe pipe) const {
    std::lock_guard<std::mutex> guard(BusOf(s_).lock);
    return s_->Ep(pipe).halted;
}

ULONG Interface::PipeHandle(Pipe pipe) const {
    if (pipe == Pipe::Control)
        return 0;
    std::lock_guard<std::mutex> guard(BusOf(s_).lock);
    return s_->handles[static_cast<int>(pipe)];
}

namespace {
// Changes an endpoint's plan under the lock, then wakes the frame tick so a
// transfer already waiting meets the fault.
template <typename F> void Plan(detail::InterfaceState* s, Pipe pipe, F change) {
    BusState& bus = BusOf(s);
    {
        std::lock_guard<std::mutex> guard(bus.lock);
        change(s->Ep(pipe));
    }
    bus.Kick();
}
} // namespace

bool Interface::HasAtModem() const { return s_->atModem != nullptr; }

void Interface::WithAtModem(const std::function<void(ATMODEM&)>& change) {
    if (!s_->atModem)
        detail::UsageError("interface " + std::to_string(s_->number) + " has no AT modem");
    BusState& bus = BusOf(s_);
    {
        std::lock_guard<std::mutex> guard(bus.lock);
        change(*s_->atModem);
        s_->RunModem(detail::Now());
    }
    bus.Kick();
}

ATMODEM Interface::AtModemSnapshot() const {
    if (!s_->atModem)
        detail::UsageError("interface " + std::to_string(s_->number) + " has no AT modem");
    std::lock_guard<std::mutex> guard(BusOf(s_).lock);
    return *s_->atModem;
}

void Interface::FailNext(Pipe pipe, NTSTATUS status, LONG usbdStatus, bool persistent,
                         bool halt) {
    Plan(s_, pipe, [&](Endpoint& ep) {
        ep.error = Endpoint::Error{status, usbdStatus, persistent, halt};
    });
}

void Interface::Stall(Pipe pipe) {
    Plan(s_, pipe, [](Endpoint& ep) { ep.stallNext = true; });
}

void Interface::Delay(Pipe pipe, ULONG ms) {
    Plan(s_, pipe, [ms](Endpoint& ep) { ep.delayMs = ms; });
}

void Interface::ShortNext(Pipe pipe, ULONG bytes) {
    if (pipe == Pipe::Control)
        detail::UsageError("ShortNext applies to a data pipe");
    Plan(s_, pipe, [bytes](Endpoint& ep) { ep.shortNext = bytes; });
}

void Interface::BabbleNext(Pipe pipe, ULONG extra) {
    RequireInPipe(pipe, "BabbleNext");
    Plan(s_, pipe, [extra](Endpoint& ep) { ep.babbleNext = extra; });
}

void Interface::OverstateNext(Pipe pipe, ULONG extra) {
    if (pipe == Pipe::Control)
        detail::UsageError("OverstateNext applies to a data pipe");
    Plan(s_, pipe, [extra](Endpoint& ep) { ep.overstateNext = extra; });
}

void Interface::CompleteAtOnce(Pipe pipe, bool enable) {
    Plan(s_, pipe, [enable](Endpoint& ep) { ep.atOnce = enable; });
}

void Interface::ClearFaults(Pipe pipe) {
    Plan(s_, pipe, [](Endpoint& ep) {
        ep.error.reset();
        ep.stallNext = false;
        ep.delayMs = 0;
        ep.shortNext.reset();
        ep.babbleNext.reset();
        ep.overstateNext.reset();
        ep.atOnce = false;
    });
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
    std::lock_guard<std::mutex> guard(s_->bus->lock);
    return s_->plugged;
}

void Phone::Unplug() { s_->bus->Unplug(s_); }

std::vector<BusEvent> Phone::Timeline() const {
    std::lock_guard<std::mutex> guard(s_->bus->lock);
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
    std::lock_guard<std::mutex> guard(s_->bus->lock);
    s_->timeline.clear();
}

void Phone::SetEventHook(std::function<void(const BusEvent&)> hook) {
    std::lock_guard<std::mutex> guard(s_->bus->lock);
    s_->hook = std::move(hook);
}

} // namespace usb
