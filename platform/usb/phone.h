// The phone behind the simulated USB bus, as tests see it: one handle per USB
// interface (modem, diagnostics) to put bytes on its IN pipes, read what the
// host sent on its OUT pipe, raise serial-state notifications, look at the
// class requests, pipe resets and aborts it received, and make it misbehave.
//
// Every call is thread-safe and may be made at any IRQL, from a test, from a
// completion routine or from an event hook. Calls that give the host
// something to complete (data, a fault) do not complete anything themselves:
// they wake the bus, whose frame tick (a DPC at DISPATCH_LEVEL) completes the
// waiting transfers when the machine next runs.
#pragma once

#include "platform/kernel.h"
#include "platform/usb/phonecore/atmodem.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace usb {

namespace detail {
struct InterfaceState;
struct PhoneState;
class BusState;
} // namespace detail

enum class InterfaceKind { Modem, Diagnostics };
const char* InterfaceKindName(InterfaceKind kind); // "modem", "diagnostics"

// The pipes of one interface. Control is the device's default pipe as the
// interface's class requests use it.
enum class Pipe { BulkIn = 0, BulkOut = 1, InterruptIn = 2, Control = 3 };
constexpr int kPipeCount = 4;
const char* PipeName(Pipe pipe); // "bulk-in", "bulk-out", "interrupt-in", "control"

// The CDC class requests the modem interface understands.
constexpr UCHAR kSetLineCoding = 0x20;
constexpr UCHAR kGetLineCoding = 0x21;
constexpr UCHAR kSetControlLineState = 0x22;
constexpr UCHAR kSendBreak = 0x23;
// SET_CONTROL_LINE_STATE wValue bits.
constexpr USHORT kLineDtr = 0x0001;
constexpr USHORT kLineRts = 0x0002;
// SERIAL_STATE UART state bits.
constexpr USHORT kStateDcd = 0x0001;     // bRxCarrier
constexpr USHORT kStateDsr = 0x0002;     // bTxCarrier
constexpr USHORT kStateBreak = 0x0004;
constexpr USHORT kStateRing = 0x0008;
constexpr USHORT kStateFraming = 0x0010;
constexpr USHORT kStateParity = 0x0020;
constexpr USHORT kStateOverrun = 0x0040;

struct SetupPacket {
    UCHAR bmRequestType = 0;
    UCHAR bRequest = 0;
    USHORT wValue = 0;
    USHORT wIndex = 0;
    USHORT wLength = 0;
};

// One class request as the phone saw it: the setup packet, the data stage the
// host sent (OUT) or the phone returned (IN), and how it ended.
struct ClassRequest {
    SetupPacket setup;
    std::vector<uint8_t> data;
    NTSTATUS status = STATUS_PENDING;
    LONG usbdStatus = 0;
};

// ---------------------------------------------------------------- timeline
enum class EventKind {
    Submit,       // a transfer or class request reached the bus
    Complete,     // the bus completed one (status, usbd status, length moved)
    Cancel,       // IoCancelIrp reached a transfer pending at the bus
    Abort,        // URB_FUNCTION_ABORT_PIPE arrived (its completion is a Complete)
    Reset,        // URB_FUNCTION_RESET_PIPE arrived
    ClassRequest, // a class request was carried out (or stalled) by the phone
    Refused,      // a request the bus does not carry out (bad URB, bad handle)
    Unplug,       // the phone was pulled
    Pnp,          // a PnP IRP at the interface's PDO (minor in `code`)
    Power,        // a device power IRP (new D state in `code`)
};
const char* EventKindName(EventKind kind);

struct BusEvent {
    uint64_t sequence = 0;     // from 1, bus-wide
    LONGLONG time = 0;         // interrupt time (100 ns) when it happened
    EventKind kind = EventKind::Submit;
    int interfaceNumber = -1;
    Pipe pipe = Pipe::Control;
    ULONG length = 0;          // bytes asked (Submit) or moved/reported (Complete)
    NTSTATUS status = STATUS_SUCCESS;
    LONG usbdStatus = 0;
    ULONG code = 0;            // class request bRequest, PnP minor, D state
    const void* irp = nullptr;
    // "submit bulk-in 4096", "complete bulk-in 10 ok", "complete bulk-in 0 cancelled",
    // "abort interrupt-in", "reset bulk-in", "class 0x22 0x0003", "unplug", ...
    std::string Text() const;
};

// ---------------------------------------------------------------- the fault plan
// The kinds, in the order they are tried on a transfer (platform/usb/phonecore).
enum class FaultKind {
    Unplug,    // the phone is pulled as the transfer is served
    Stall,     // see Interface::Stall
    Error,     // see Interface::FailNext (status, usbdStatus, halt)
    Babble,    // see Interface::BabbleNext (value: bytes past the buffer)
    Short,     // see Interface::ShortNext (value: bytes)
    Overstate, // see Interface::OverstateNext (value: bytes)
};

struct FaultPlan {
    unsigned skip = 0;
    unsigned count = 1;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    LONG usbdStatus = 0;
    bool halt = false;
    ULONG value = 0;
};

// ---------------------------------------------------------------- one interface
class Interface {
public:
    int Number() const;
    InterfaceKind Kind() const;
    // The interface's physical device object; NULL once the bus deleted it.
    PDEVICE_OBJECT Pdo() const;
    // USB ids as the bus reports them in IRP_MN_QUERY_ID.
    std::u16string DeviceId() const;                 // USB\VID_v&PID_p&MI_nn
    std::vector<std::u16string> HardwareIds() const; // most specific first
    std::vector<std::u16string> CompatibleIds() const;
    std::u16string InstanceId() const;
    ULONG MaxPacket(Pipe pipe) const;

    // ---- device to host
    // Queues bytes on an IN pipe split into packets of `packetSize` (0: the
    // pipe's max packet size). A transfer ends on a short packet or when its
    // buffer is full, so unless `terminate` is false a run that ends on a
    // full packet is followed by a zero-length packet, as a device ends a
    // burst. Bytes that do not fit a transfer's buffer wait for the next one.
    void Push(const void* data, size_t length, Pipe pipe = Pipe::BulkIn, size_t packetSize = 0,
              bool terminate = true);
    void Push(std::string_view text, Pipe pipe = Pipe::BulkIn);
    // One packet exactly as given (empty: a zero-length packet).
    void PushPacket(std::vector<uint8_t> packet, Pipe pipe = Pipe::BulkIn);
    // A SERIAL_STATE notification on the interrupt-in pipe: bmRequestType
    // 0xA1, bNotification 0x20, wValue 0, wIndex the interface, wLength 2,
    // then the UART state bitmap (kState* bits).
    void SendSerialState(USHORT uartState);
    // IN bytes not yet taken by a transfer.
    size_t QueuedBytes(Pipe pipe = Pipe::BulkIn) const;

    // ---- host to device
    // What the host wrote on bulk-out since the last call, then forgotten.
    std::vector<uint8_t> TakeReceived();
    std::string TakeReceivedText();
    // While held the phone NAKs bulk-out: writes stay pending at the bus.
    void HoldBulkOut(bool hold);

    // ---- what the host asked for
    std::vector<ClassRequest> ClassRequests() const;
    void ClearClassRequests();
    // The last SET_LINE_CODING data (7 bytes, zeros before the first) and the
    // last SET_CONTROL_LINE_STATE value.
    std::vector<uint8_t> LineCoding() const;
    USHORT ControlLines() const;
    unsigned Resets(Pipe pipe) const;
    unsigned Aborts(Pipe pipe) const;
    // Transfers (and class requests) pending at the bus for this pipe.
    size_t Outstanding(Pipe pipe) const;
    bool Halted(Pipe pipe) const;
    // The pipe handle the bus gave the function driver (0 before START).
    ULONG PipeHandle(Pipe pipe) const;

    // ---- the AT modem (PhoneConfig::atModem, modem interfaces only)
    bool HasAtModem() const;
    // Runs `change` on the modem's record under the bus's lock (the AtModem*
    // functions: the dial answer, the far end, a remote hang-up, power), then
    // queues what it produced for the host. A usage error without a modem.
    void WithAtModem(const std::function<void(ATMODEM&)>& change);
    // A copy of the modem's record, for looking at its state.
    ATMODEM AtModemSnapshot() const;

    // ---- misbehaviour: the phone's fault plan, by pipe and by count. Arm
    // sets one kind: it waits until `skip` more transfers have completed on
    // the pipe, then hits `count` transfers (0: every one until ClearFaults).
    void Arm(Pipe pipe, FaultKind kind, const FaultPlan& plan);
    // The shorthands below apply to the next transfer the phone serves on
    // that pipe (the one pending now, or the next one submitted).
    // Fails it with these statuses; `persistent` fails every transfer until
    // ClearFaults; `halt` also halts the pipe until a reset.
    void FailNext(Pipe pipe, NTSTATUS status, LONG usbdStatus, bool persistent = false,
                  bool halt = false);
    // The endpoint stalls: the transfer fails with USBD_STATUS_STALL_PID and
    // every later one with USBD_STATUS_ENDPOINT_HALTED until
    // URB_FUNCTION_RESET_PIPE. On the control pipe a stall ends that request
    // only (a protocol stall).
    void Stall(Pipe pipe);
    // Transfers submitted from now on complete no earlier than `ms`
    // milliseconds (frames) of virtual time after they were submitted.
    void Delay(Pipe pipe, ULONG ms);
    // IN: the transfer ends with a short packet after at most `bytes` bytes,
    // at once, with whatever is queued (0: an empty packet). OUT: the phone
    // accepts only `bytes` of the transfer.
    void ShortNext(Pipe pipe, ULONG bytes);
    // IN: the phone babbles `extra` bytes past the transfer's buffer. The
    // host controller drops what does not fit and fails the transfer with
    // STATUS_DEVICE_DATA_ERROR / USBD_STATUS_BUFFER_OVERRUN, the buffer full,
    // TransferBufferLength = the buffer's length; the pipe halts.
    void BabbleNext(Pipe pipe, ULONG extra);
    // The transfer succeeds but its TransferBufferLength is reported `extra`
    // bytes larger than the buffer (IN) or than what was sent (OUT): a lying
    // bus. Nothing is written past the buffer.
    void OverstateNext(Pipe pipe, ULONG extra);
    // Requests on this pipe (aborts and resets of it; class requests for
    // Control) complete inside IofCallDriver when they can.
    void CompleteAtOnce(Pipe pipe, bool enable = true);
    // Forgets every fault of the pipe (a halt stays until reset).
    void ClearFaults(Pipe pipe);

private:
    friend class detail::BusState;
    friend class Phone;
    explicit Interface(detail::InterfaceState* state) : s_(state) {}
    detail::InterfaceState* s_;
};

// ---------------------------------------------------------------- the phone
class Phone {
public:
    size_t InterfaceCount() const;
    Interface& At(size_t index);
    // The first interface of the kind; a usage error if there is none.
    Interface& Modem();
    Interface& Diagnostics();
    bool Plugged() const;
    // Pulls the cable: every transfer pending on the phone fails with
    // STATUS_DEVICE_NOT_CONNECTED / USBD_STATUS_DEVICE_GONE at the next frame
    // tick, later ones the same; then the Plug and Play manager is told (for
    // PDOs it knows) and sends the surprise removal. May be called from any
    // context, an event hook included; the Plug and Play part is run at
    // PASSIVE_LEVEL, from the machine's pump when called higher.
    void Unplug();

    // Everything that happened on the phone's interfaces, in order.
    std::vector<BusEvent> Timeline() const;
    // The same as text, optionally one interface only and without PnP/power.
    std::vector<std::string> TimelineText(int interfaceNumber = -1, bool withPnp = false) const;
    void ClearTimeline();
    // Called for each event as it happens, outside the bus's lock, on the
    // thread and at the IRQL of the event (DISPATCH_LEVEL for completions).
    void SetEventHook(std::function<void(const BusEvent&)> hook);

private:
    friend class detail::BusState;
    explicit Phone(detail::PhoneState* state) : s_(state) {}
    detail::PhoneState* s_;
};

} // namespace usb
