// Internals of the simulated USB bus (bus.cpp) and the phone model
// (phone.cpp). Never included by driver code or tests.
//
// Locking: one mutex per bus (BusState::lock) guards every field below. It is
// never held while a driver routine, an I/O manager routine that may call a
// driver (IofCompleteRequest), a Ke routine or the Plug and Play manager
// runs, so the bus can be entered from any of them.
#pragma once

#include "platform/usb/bus.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace usb::detail {

// The DDK's 32-bit sizes of the requests the bus reads; Hdr.Length must be
// at least this (the host layouts are larger, either is accepted).
constexpr USHORT kX86BulkTransferLength = 72;
constexpr USHORT kX86PipeRequestLength = 24;
constexpr USHORT kX86ClassRequestLength = 80;

constexpr LONGLONG kFrame100ns = 10000; // one USB frame: 1 ms

[[noreturn]] void UsageError(const std::string& what);

// One request pending at the bus. Transfers wait in their endpoint's queue
// until the phone serves them; everything else (and a transfer whose outcome
// is decided) waits in the bus's ready list for the next frame tick.
struct Request {
    enum class Type { Transfer, Abort, Reset, Class, Refused };
    Type type = Type::Transfer;
    PIRP irp = nullptr;
    PURB urb = nullptr;
    InterfaceState* ifc = nullptr;
    Pipe pipe = Pipe::Control;
    bool in = false;
    bool shortOk = false;
    PUCHAR buffer = nullptr;
    ULONG length = 0;   // the buffer's size as the caller gave it
    ULONG done = 0;     // bytes moved so far
    LONGLONG notBefore = 0;
    // Class requests.
    SetupPacket setup;
    // The outcome, once decided.
    NTSTATUS status = STATUS_PENDING;
    LONG usbd = USBD_STATUS_PENDING;
    ULONG reported = 0; // TransferBufferLength to report
    bool cancelRoutineSet = false;
};

// What the phone does with one transfer now.
enum class Verdict { Wait, Complete };

// One endpoint of the phone and its fault plan. Plain data and logic, no
// kernel objects: the part of the model that could run anywhere.
struct Endpoint {
    Pipe pipe = Pipe::BulkIn;
    ULONG maxPacket = 64;
    // IN: packets the device has ready, and how much of the first is taken.
    // A run of full packets may be kept as one entry (a multiple of
    // maxPacket long): only a short or empty packet ends a transfer, so the
    // boundaries inside such a run change nothing.
    std::deque<std::vector<uint8_t>> packets;
    size_t headOffset = 0;
    // Queues `length` bytes as the device sends them: packets of `packetSize`
    // (full runs merged), then a zero-length packet when `terminate` and the
    // last one was full.
    void QueueIn(const uint8_t* bytes, size_t length, size_t packetSize, bool terminate);
    // OUT: bytes received, and whether the device NAKs.
    std::vector<uint8_t> received;
    bool nak = false;
    bool halted = false;
    struct Error {
        NTSTATUS status;
        LONG usbd;
        bool persistent;
        bool halt;
    };
    std::optional<Error> error;
    bool stallNext = false;
    ULONG delayMs = 0;
    std::optional<ULONG> shortNext;
    std::optional<ULONG> babbleNext;
    std::optional<ULONG> overstateNext;
    bool atOnce = false;
    unsigned resets = 0;
    unsigned aborts = 0;
    std::deque<Request*> queue; // transfers waiting for the phone, oldest first

    size_t QueuedBytes() const;
    // Decides a transfer at the head of the queue. On Complete the outcome
    // is in r (status, usbd, reported) and the data has been moved.
    Verdict Serve(Request& r, LONGLONG now);

private:
    bool ServeFaults(Request& r);
    Verdict ServeIn(Request& r);
    Verdict ServeOut(Request& r);
};

struct InterfaceState {
    PhoneState* phone = nullptr;
    int number = 0;
    InterfaceKind kind = InterfaceKind::Modem;
    PDEVICE_OBJECT pdo = nullptr;
    Endpoint endpoints[kPipeCount];
    ULONG handles[3] = {0, 0, 0};  // bulk-in, bulk-out, interrupt-in; 0 until START
    bool removed = false;          // SURPRISE_REMOVAL (or REMOVE) seen, not started since
    DEVICE_POWER_STATE power = PowerDeviceD0;
    std::vector<ClassRequest> classRequests;
    std::vector<uint8_t> lineCoding = std::vector<uint8_t>(7, 0);
    USHORT controlLines = 0;
    std::unique_ptr<Interface> handle;
    // The AT modem behind a modem interface, when the phone has one.
    std::unique_ptr<ATMODEM> atModem;

    Endpoint& Ep(Pipe pipe) { return endpoints[static_cast<int>(pipe)]; }
    const Endpoint& Ep(Pipe pipe) const { return endpoints[static_cast<int>(pipe)]; }
    // Serves a class request: the phone's CDC behaviour.
    void ServeClass(Request& r);
    // The AT modem, caller holds the bus lock. Feeds bytes the host wrote;
    // RunModem lets time pass for it and queues its output on bulk-in and a
    // SERIAL_STATE notification on interrupt-in when its lines changed. True
    // when something was queued (the frame tick must run again). NextModemWake
    // gives the interrupt time the modem next needs a RunModem by. FeedModem
    // runs the modem itself, so it too answers whether output was queued.
    bool FeedModem(const uint8_t* data, ULONG length, LONGLONG now);
    bool RunModem(LONGLONG now);
    bool NextModemWake(LONGLONG* when) const;
};

// The SERIAL_STATE notification of interface `number` with this UART state.
std::vector<uint8_t> SerialStatePacket(int number, USHORT uartState);

struct PhoneState {
    BusState* bus = nullptr;
    int index = 0;
    PhoneConfig config;
    bool plugged = true;
    std::vector<std::unique_ptr<InterfaceState>> interfaces;
    std::vector<BusEvent> timeline;
    std::function<void(const BusEvent&)> hook;
    std::unique_ptr<Phone> handle;
};

// The PDO's device extension. The three handles sit at the offsets function
// drivers read; the rest is the bus's own.
struct PdoExtension {
    ULONG Signature;
    ULONG InterfaceNumber;
    ULONG PortNumber;
    ULONG BulkInPipe;    // offset 12
    ULONG BulkOutPipe;   // offset 16
    ULONG InterruptPipe; // offset 20
    InterfaceState* State;
};
constexpr ULONG kPdoSignature = 0x50627355; // "UsbP"

class BusState {
public:
    BusState();
    ~BusState();

    std::mutex lock;
    PDRIVER_OBJECT driver = nullptr;
    std::vector<std::unique_ptr<PhoneState>> phones;
    std::map<ULONG, std::pair<InterfaceState*, Pipe>> handleMap;
    ULONG nextHandle = 0x5B000010;
    std::map<PIRP, Request*> byIrp;   // every request pending at the bus
    std::map<PURB, Request*> byUrb;
    std::deque<Request*> ready;       // decided, to complete at the next tick
    uint64_t eventSequence = 0;
    // Events recorded under the lock whose hooks still have to run.
    std::vector<std::pair<PhoneState*, BusEvent>> hookQueue;
    KDPC dpc;
    KTIMER timer;
    bool timerSet = false;
    LONGLONG timerDue = 0;

    // Caller holds lock.
    void Record(InterfaceState* ifc, EventKind kind, Pipe pipe, ULONG length,
                NTSTATUS status = STATUS_SUCCESS, LONG usbd = 0, ULONG code = 0,
                const void* irp = nullptr);
    void RecordPhone(PhoneState* phone, const BusEvent& event);
    // Moves a request to the ready list with this outcome. Caller holds lock.
    void MakeReady(Request* r, NTSTATUS status, LONG usbd, ULONG reported);
    // Takes a waiting transfer out of its endpoint queue to be completed with
    // this outcome, unless its cancel routine already runs (then the cancel
    // routine completes it). Caller holds lock.
    void Retire(Request* r, NTSTATUS status, LONG usbd);
    // Every transfer pending on an interface (one pipe, or all: pipe < 0).
    void RetireAll(InterfaceState* ifc, int pipe, NTSTATUS status, LONG usbd);

    // Lock not held: wake the frame tick, run the hooks.
    void Kick();
    void RunHooks();
    // The frame tick.
    void Tick();

    Phone& PlugIn(const PhoneConfig& config);
    void Unplug(PhoneState* phone);

    NTSTATUS SubmitUrb(InterfaceState* ifc, PIRP irp, PURB urb);
    void CancelTransfer(PIRP irp);
};

BusState* CurrentBus();
LONGLONG Now();

} // namespace usb::detail
