// Coverage-guided fuzz targets for both port drivers on the deterministic
// machine. One source, three targets (FUZZ_SIDE):
//   requests - the application side: any control code, buffer lengths and
//              contents, reads, writes, time-outs, waits, purges, CancelIo,
//              close and reopen, while the phone streams bytes;
//   phone    - the device side against a fixed application workload: bulk-in
//              packets of any length and content, SERIAL_STATE of any length
//              and content, any completion status on any pipe, delays,
//              unplug and sleep at any point;
//   machine  - both, plus Plug and Play (query stop/remove and cancel, stop,
//              removal) and power (S3, S4) with the port open.
// The first byte picks the driver (bit 0) and how the hub ends power IRPs
// (bit 1); the rest decodes into operations. Each input runs on a fresh
// machine, so it replays exactly.
//
// The oracle: the verifier (any bug check aborts), and the invariants below:
// every request ends with a documented status and no more bytes than its
// buffer; bytes reach the application in the order the phone sent them, none
// duplicated, none lost unless a purge, a counted ring overflow or a fault
// that drops data on the wire explains it; a close ends; after the unplug
// both drivers are unloaded and nothing is left.
#include "common/machine.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#ifndef FUZZ_SIDE
#define FUZZ_SIDE 3
#endif

namespace {

constexpr int kRequests = 1, kPhone = 2, kMachine = 3;
constexpr bool kApp = FUZZ_SIDE == kRequests || FUZZ_SIDE == kMachine;
constexpr size_t kMaxOps = 96;

// VXQT70_FUZZ_TRACE=1: each operation is printed as it is decoded, to read
// a finding's scenario.
bool Trace() {
    static const bool on = std::getenv("VXQT70_FUZZ_TRACE") != nullptr;
    return on;
}

[[noreturn]] void Violation(const std::string& what) {
    std::fprintf(stderr, "INVARIANT: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

// Reads the input front to back; past its end every read gives zeros.
class Reader {
public:
    Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    bool Empty() const { return at_ >= size_; }
    uint8_t U8() { return at_ < size_ ? data_[at_++] : 0; }
    uint16_t U16() { return (uint16_t)(U8() | (U8() << 8)); }
    uint32_t U32() { return (uint32_t)U16() | ((uint32_t)U16() << 16); }
    std::vector<uint8_t> Bytes(size_t n) {
        std::vector<uint8_t> out;
        for (size_t i = 0; i < n; ++i)
            out.push_back(U8());
        return out;
    }
    // A length around the interesting sizes: 0, 1, a structure's size and
    // one either side, a packet, a ring, or anything up to 4 KB.
    uint32_t Length() {
        static const uint32_t kSizes[] = {0, 1, 2, 3, 4, 5, 7, 8, 12, 16, 20, 24, 28, 63, 64, 65,
                                          96, 128, 512, 4096, 4097};
        uint8_t pick = U8();
        if (pick < 2 * std::size(kSizes))
            return kSizes[pick % std::size(kSizes)];
        return U16() % 4200;
    }
    uint32_t Time() {
        static const uint32_t kTimes[] = {0, 1, 10, 50, 100, 1000, 0xFFFFFFFFu};
        uint8_t pick = U8();
        return pick < 200 ? kTimes[pick % std::size(kTimes)] : U16();
    }

private:
    const uint8_t* data_;
    size_t size_;
    size_t at_ = 0;
};

const ULONG kSerialCodes[] = {
    IOCTL_SERIAL_SET_BAUD_RATE,    IOCTL_SERIAL_SET_QUEUE_SIZE,   IOCTL_SERIAL_SET_LINE_CONTROL,
    IOCTL_SERIAL_SET_BREAK_ON,     IOCTL_SERIAL_SET_BREAK_OFF,    IOCTL_SERIAL_IMMEDIATE_CHAR,
    IOCTL_SERIAL_SET_TIMEOUTS,     IOCTL_SERIAL_GET_TIMEOUTS,     IOCTL_SERIAL_SET_DTR,
    IOCTL_SERIAL_CLR_DTR,          IOCTL_SERIAL_RESET_DEVICE,     IOCTL_SERIAL_SET_RTS,
    IOCTL_SERIAL_CLR_RTS,          IOCTL_SERIAL_SET_XOFF,         IOCTL_SERIAL_SET_XON,
    IOCTL_SERIAL_GET_WAIT_MASK,    IOCTL_SERIAL_SET_WAIT_MASK,    IOCTL_SERIAL_WAIT_ON_MASK,
    IOCTL_SERIAL_PURGE,            IOCTL_SERIAL_GET_BAUD_RATE,    IOCTL_SERIAL_GET_LINE_CONTROL,
    IOCTL_SERIAL_GET_CHARS,        IOCTL_SERIAL_SET_CHARS,        IOCTL_SERIAL_GET_HANDFLOW,
    IOCTL_SERIAL_SET_HANDFLOW,     IOCTL_SERIAL_GET_MODEMSTATUS,  IOCTL_SERIAL_GET_COMMSTATUS,
    IOCTL_SERIAL_XOFF_COUNTER,     IOCTL_SERIAL_GET_PROPERTIES,   IOCTL_SERIAL_GET_DTRRTS,
    IOCTL_SERIAL_LSRMST_INSERT,    IOCTL_SERIAL_CONFIG_SIZE,      IOCTL_SERIAL_GET_COMMCONFIG,
    IOCTL_SERIAL_SET_COMMCONFIG,   IOCTL_SERIAL_GET_STATS,        IOCTL_SERIAL_CLEAR_STATS,
    IOCTL_SERIAL_GET_MODEM_CONTROL, IOCTL_SERIAL_SET_MODEM_CONTROL, IOCTL_SERIAL_SET_FIFO_CONTROL,
    IOCTL_SERIAL_INTERNAL_DO_WAIT_WAKE, IOCTL_SERIAL_INTERNAL_CANCEL_WAIT_WAKE,
    IOCTL_SERIAL_INTERNAL_BASIC_SETTINGS, IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS};

const LONG kBusFailures[][2] = {
    {STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID},
    {STATUS_DEVICE_DATA_ERROR, USBD_STATUS_BUFFER_OVERRUN},
    {STATUS_DEVICE_DATA_ERROR, USBD_STATUS_CRC},
    {STATUS_IO_DEVICE_ERROR, USBD_STATUS_DEV_NOT_RESPONDING},
    {STATUS_CANCELLED, USBD_STATUS_CANCELED},
    {STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEVICE_GONE},
};

// The bytes the phone sends on bulk-in: position p carries p mod 251, so a
// byte out of place is seen even across a wrap of 256.
uint8_t StreamByte(uint64_t p) { return (uint8_t)(p % 251); }

class Scenario {
public:
    Scenario(rig::Machine& m, rig::Which which) : m_(m), which_(which) {}

    void Run(Reader& in) {
        Open();
        for (size_t op = 0; op < kMaxOps && !in.Empty(); ++op) {
            Step(in);
            Check();
        }
        Finish();
    }

private:
    rig::ComPort& Port() { return m_.Port(which_); }

    void Open() {
        if (!m_.Plugged() || !m_.Started(which_) || Port().Open() != 0)
            return;
        if constexpr (!kApp) {
            // The phone target's application: reads that end 10 ms after
            // the last byte, events of every kind awaited.
            Port().SetTimeouts(10, 0, 0);
            Port().Set(IOCTL_SERIAL_SET_WAIT_MASK, (ULONG)0x1FFF);
        }
    }

    // The phone target's fixed workload: one read and one wait always
    // outstanding, a write every few steps.
    void Workload() {
        if (!Port().IsOpen())
            return;
        bool reading = false, waiting = false;
        for (const auto& r : Port().Requests()) {
            reading |= r->read && !r->Done();
            waiting |= r->code == IOCTL_SERIAL_WAIT_ON_MASK && !r->Done();
        }
        if (!reading)
            Port().StartRead(97);
        if (!waiting)
            Port().StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
        if (++steps_ % 4 == 0)
            Port().StartWrite(std::vector<uint8_t>(33, (uint8_t)steps_));
    }

    void Step(Reader& in) {
        const uint8_t op = in.U8();
        // Ops are grouped: 0-11 application, 12-19 phone, 20-24 Plug and Play
        // and power. A target maps the byte onto the groups it drives.
        uint8_t kind;
        if constexpr (FUZZ_SIDE == kRequests)
            kind = op % 12;
        else if constexpr (FUZZ_SIDE == kPhone)
            kind = 12 + op % 8;
        else
            kind = op % 25;
        if (Trace())
            std::fprintf(stderr, "op %u (t=%lld ms, sent %llu, next %llu)\n", kind,
                         (long long)(sim::Now() / 10000), (unsigned long long)sent_,
                         (unsigned long long)next_);
        if constexpr (!kApp)
            Workload();
        switch (kind) {
        case 0: { // a serial control code, arbitrary lengths and contents
            ULONG code = kSerialCodes[in.U8() % std::size(kSerialCodes)];
            Ioctl(in, code);
            break;
        }
        case 1: // any code at all: device type, function, method, access
            Ioctl(in, in.U32());
            break;
        case 2:
            if (Port().IsOpen())
                Port().StartRead(in.Length());
            break;
        case 3:
            if (Port().IsOpen())
                Port().StartWrite(in.Bytes(in.Length() % 600));
            break;
        case 4:
            if (Port().IsOpen())
                Port().SetTimeouts(in.Time(), in.Time(), in.Time(), in.Time(), in.Time());
            break;
        case 5: // wait on a mask
            if (Port().IsOpen()) {
                Port().Set(IOCTL_SERIAL_SET_WAIT_MASK, (ULONG)in.U16());
                Port().StartIoctl(IOCTL_SERIAL_WAIT_ON_MASK, nullptr, 0, sizeof(ULONG));
            }
            break;
        case 6:
            if (Port().IsOpen()) {
                ULONG flags = in.U8() & 0x1F;
                if (flags & SERIAL_PURGE_RXCLEAR)
                    lossAllowed_ += 2;
                Port().Set(IOCTL_SERIAL_PURGE, flags);
            }
            break;
        case 7:
            if (Port().IsOpen()) {
                lossAllowed_ += 2; // a cancelled read may have taken bytes with it
                Port().CancelIo();
            }
            break;
        case 8: // close and reopen
            CloseChecked();
            Open();
            break;
        case 9:
            sim::AdvanceClockMs(in.U16() % 3000);
            break;
        case 10:
            if (Port().IsOpen() && Port().OpenSecond() == 0)
                Violation("a second open of an exclusive port succeeded");
            break;
        case 11:
        case 12: // the phone streams bytes, packetised any way
            Push(in.Length(), in.U8() % 80);
            break;
        case 13: { // one bulk-in packet exactly as given (stream bytes, any length)
            if (auto* u = Usb()) {
                size_t n = in.Length() % 200;
                std::vector<uint8_t> packet;
                for (size_t i = 0; i < n; ++i)
                    packet.push_back(StreamByte(sent_++));
                u->PushPacket(std::move(packet));
            }
            break;
        }
        case 14: // a SERIAL_STATE notification of any length and content
            if (auto* u = Usb())
                u->PushPacket(in.Bytes(in.U8() % 24), usb::Pipe::InterruptIn);
            break;
        case 15: { // any completion status on any pipe
            if (auto* u = Usb()) {
                auto pipe = (usb::Pipe)(in.U8() % 3);
                const auto& f = kBusFailures[in.U8() % std::size(kBusFailures)];
                if (pipe == usb::Pipe::BulkIn)
                    lossAllowed_ += 2;
                u->FailNext(pipe, f[0], f[1], false, in.U8() & 1);
            }
            break;
        }
        case 16: { // stall, delay, short, overstated, babble
            if (auto* u = Usb()) {
                auto pipe = (usb::Pipe)(in.U8() % 3);
                uint8_t what = in.U8();
                // A stall, a short or babbling packet may lose bytes; an
                // overstated length must not add any.
                if (pipe == usb::Pipe::BulkIn && what % 5 != 3)
                    lossAllowed_ += 2;
                switch (what % 5) {
                case 0: u->Stall(pipe); break;
                case 3: // a lying bus: more bytes reported than the buffer holds
                    u->OverstateNext(pipe, 1 + in.U8());
                    // Inside its own buffer a driver cannot tell a length the
                    // bus overstated from bytes that arrived (a host
                    // controller never reports more than it received); it
                    // must only never copy past the buffer, which the
                    // verifier and ASan watch. The stream's content is no
                    // longer evidence after that.
                    if (pipe == usb::Pipe::BulkIn)
                        lyingBus_ = true;
                    break;
                case 1: u->Delay(pipe, in.U8()); break;
                case 2: u->ShortNext(pipe, in.U8()); break;
                default: // only an IN pipe can babble
                    u->BabbleNext(pipe == usb::Pipe::BulkOut ? usb::Pipe::BulkIn : pipe,
                                  1 + in.U8());
                    break;
                }
            }
            break;
        }
        case 17: // pipe faults cleared again
            if (auto* u = Usb())
                u->ClearFaults((usb::Pipe)(in.U8() % 3));
            break;
        case 18:
            lossAllowed_ += 2;
            m_.Unplug();
            break;
        case 19:
        case 24:
            if (m_.Plugged()) {
                lossAllowed_ += 2;
                m_.SleepAndWake(in.U8() & 1 ? PowerSystemHibernate : PowerSystemSleeping3);
            }
            break;
        case 20: // query stop, then cancel
            if (m_.Started(which_))
                sim::PnpQueryStopThenCancel(m_.Node(which_));
            break;
        case 21:
            if (m_.Started(which_))
                sim::PnpQueryRemoveThenCancel(m_.Node(which_));
            break;
        case 22: // stop (refused while open) and start again
            if (m_.Started(which_) && NT_SUCCESS(sim::PnpStopDevice(m_.Node(which_)))) {
                lossAllowed_ += 2;
                sim::PnpStartDevice(m_.Node(which_));
            }
            break;
        case 23: // removal (refused while open), then enabled again
            if (m_.Started(which_) && m_.Plugged() &&
                NT_SUCCESS(sim::PnpRemoveDevice(m_.Node(which_)))) {
                if (m_.Node(which_)->state == sim::DevNodeState::Removed)
                    sim::PnpReenableDevice(m_.Node(which_));
            }
            break;
        }
        sim::RunUntilIdle();
    }

    usb::Interface* Usb() { return m_.Plugged() ? m_.Usb(which_) : nullptr; }

    void Push(size_t length, size_t packet) {
        usb::Interface* u = Usb();
        if (u == nullptr || length == 0)
            return;
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i < length; ++i)
            bytes.push_back(StreamByte(sent_++));
        u->Push(bytes.data(), bytes.size(), usb::Pipe::BulkIn, packet);
    }

    void Ioctl(Reader& in, ULONG code) {
        if (!Port().IsOpen())
            return;
        uint32_t inLength = in.Length();
        uint32_t outLength = in.Length();
        std::vector<uint8_t> input = in.Bytes(inLength < 64 ? inLength : 64);
        input.resize(inLength);
        if (code == IOCTL_SERIAL_PURGE || code == IOCTL_SERIAL_SET_QUEUE_SIZE ||
            code == IOCTL_SERIAL_RESET_DEVICE)
            lossAllowed_ += 2;
        Port().StartIoctl(code, input.data(), inLength, outLength);
    }

    // Requests that ended since the last look: statuses, lengths, bytes.
    void Check() {
        auto& requests = Port().Requests();
        while (checked_ < requests.size() && requests[checked_]->Done()) {
            const rig::Request& r = *requests[checked_++];
            if (!rig::DocumentedStatus(r.Status()))
                Violation(std::string(rig::WhichName(which_)) + ": request ended with status " +
                          std::to_string((unsigned)r.Status()));
            if (rig::Overreported(r))
                Violation("a request reported more bytes than its buffer holds");
            if (r.read)
                Received(r.output.data(), r.Bytes());
            if (r.code == IOCTL_SERIAL_GET_COMMSTATUS && r.Bytes() >= sizeof(ULONG) &&
                NT_SUCCESS(r.Status())) {
                ULONG errors;
                memcpy(&errors, r.output.data(), sizeof errors);
                if (errors & SERIAL_ERROR_QUEUEOVERRUN)
                    lossAllowed_ += 2;
            }
        }
    }

    // In order, none twice, none lost unless something that loses bytes
    // happened since the last byte.
    void Received(const uint8_t* bytes, size_t n) {
        if (lyingBus_)
            return;
        for (size_t i = 0; i < n; ++i) {
            if (bytes[i] == StreamByte(next_)) {
                ++next_;
                continue;
            }
            if (lossAllowed_ == 0 && !OverrunReported())
                Violation(std::string(rig::WhichName(which_)) + ": byte " + std::to_string(bytes[i]) +
                          " read where stream byte " + std::to_string(next_) + " (" +
                          std::to_string(StreamByte(next_)) + ") was due");
            // Skip ahead to the next place the byte could come from.
            uint64_t p = next_;
            while (StreamByte(p) != bytes[i])
                ++p;
            if (p >= sent_)
                Violation("a byte the phone never sent reached the application");
            next_ = p + 1;
            if (lossAllowed_ != 0)
                --lossAllowed_;
        }
    }

    // A gap is fine when the driver reports a ring overflow for it.
    bool OverrunReported() {
        if (!Port().IsOpen())
            return false;
        SERIAL_STATUS status{};
        DWORD bytes = 0;
        NTSTATUS s = Port().Ioctl(IOCTL_SERIAL_GET_COMMSTATUS, nullptr, 0, &status, sizeof status,
                                  &bytes);
        return NT_SUCCESS(s) && (status.Errors & SERIAL_ERROR_QUEUEOVERRUN) != 0;
    }

    void CloseChecked() {
        if (!Port().Close())
            rig::Machine::Hang(std::string("close of the ") + rig::WhichName(which_) + " port");
        Check();
        if (checked_ != Port().Requests().size())
            Violation("a request did not end by the time its handle was closed");
        Port().Requests().clear();
        checked_ = 0;
        lossAllowed_ += 2; // what was unread at the close is dropped with the handle
    }

    void Finish() {
        CloseChecked();
        m_.Unplug();
        std::string left = m_.Leftovers();
        if (!left.empty())
            Violation("after the unplug: " + left);
    }

    rig::Machine& m_;
    rig::Which which_;
    size_t checked_ = 0;
    unsigned steps_ = 0;
    uint64_t sent_ = 0;  // stream bytes the phone was given
    uint64_t next_ = 0;  // the stream position the application expects next
    unsigned lossAllowed_ = 0; // gaps explained by events since (two each)
    bool lyingBus_ = false;    // bulk-in lengths overstated: content unverifiable
};

} // namespace

#ifdef VXQT70_PIN_IMAGES
#include <dlfcn.h>
// libFuzzer keeps the coverage counters of every instrumented module it saw
// and clears them before each input; a driver image the loader unmaps after
// its unload would leave it clearing unmapped memory. Holding one reference
// to each image (and asking the dynamic loader never to unmap it) keeps the
// counters valid. The images' only mutable static is the device-name
// counter, so names may differ from a fresh process's; nothing else does.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    for (const char* image : {VXQT70_MODEM_IMAGE, VXQT70_DIAG_IMAGE})
        if (dlopen(image, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE) == nullptr)
            Violation(std::string("cannot pin ") + image + ": " + dlerror());
    return 0;
}
#endif

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reader in(data, size);
    const uint8_t head = in.U8();
    rig::MachineOptions options;
    options.atModem = false;
    // Bit 1: the hub completes power IRPs later, from its frame tick.
    options.phone = [head](usb::PhoneConfig& config) { config.powerPends = (head & 2) != 0; };
    rig::Machine machine(VXQT70_MODEM_IMAGE, VXQT70_DIAG_IMAGE, options);
    Scenario scenario(machine, (head & 1) ? rig::Which::Diag : rig::Which::Modem);
    scenario.Run(in);
    return 0;
}
