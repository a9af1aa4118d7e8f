// The simulated USB parent bus driver: what a composite USB device's parent
// driver is to the function drivers above it. It is a driver object of its
// own ("usbbus-sim") that creates one physical device object per interface
// of a plugged phone and answers, at those PDOs, the requests function
// drivers send: IOCTL_INTERNAL_USB_SUBMIT_URB (bulk/interrupt transfers,
// abort pipe, reset pipe, class requests), Plug and Play and power.
//
// The contract a function driver relies on: after IRP_MN_START_DEVICE has
// completed, the PDO's device extension holds the interface's bulk-in,
// bulk-out and interrupt-in pipe handles as 32-bit values at byte offsets
// 12, 16 and 20. Transfers stay pending until the phone has something for
// them and complete later from the bus's frame tick, a DPC at DISPATCH_LEVEL,
// never inside IofCallDriver (unless a test asks for it, see
// Interface::CompleteAtOnce).
//
// Lifetime: one usb::Bus at a time, made after the sim::Kernel and destroyed
// before it. Destroying it unplugs the phones still plugged (so the Plug and
// Play manager removes their stacks), deletes the PDOs and unloads the bus
// driver.
#pragma once

#include "platform/usb/phone.h"
#include "platform/usb/wire.h"

#include <memory>
#include <string>
#include <vector>

namespace usb {

// Byte offsets of the pipe handles in the PDO's device extension.
constexpr size_t kBulkInHandleOffset = 12;
constexpr size_t kBulkOutHandleOffset = 16;
constexpr size_t kInterruptHandleOffset = 20;

struct PhoneConfig {
    // Ids the bus reports (made-up values, no real vendor's).
    USHORT vendorId = 0xFFF0;
    USHORT productId = 0x7070;
    USHORT revision = 0x0100;
    // The phone's serial number: the instance id of each interface is built
    // from it, so a phone plugged again under the same serial is the same
    // device instance (and keeps its COM names).
    std::u16string serial = u"VX0001";
    // One entry per interface, numbered from 0 in this order.
    std::vector<InterfaceKind> interfaces = {InterfaceKind::Modem, InterfaceKind::Diagnostics};
    ULONG bulkMaxPacket = 64;
    ULONG interruptMaxPacket = 16;
    // The modem interface's function behind its pipes. Off: the phone only
    // records what the host writes and sends only what a test pushes. On: an
    // AT command interpreter (platform/usb/phonecore/atmodem.h) takes the
    // bulk-out bytes, answers on bulk-in, reports DCD and DSR as SERIAL_STATE
    // notifications (DSR from plug-in on) and follows the host's DTR. What the
    // host writes is still recorded for TakeReceived either way.
    bool atModem = false;
    // The diagnostics interface's function: off, it records what the host
    // writes and sends what a test pushes; on, every bulk-out byte comes back
    // on bulk-in (the responder the Wine bus driver always runs).
    bool loopBack = false;
    // Report each interface's PDO to the Plug and Play manager at plug-in
    // (sim::PnpDeviceArrived, which loads the driver, adds and starts the
    // stack). False: the test builds its own stack on Interface::Pdo().
    bool enumerate = true;
    // How the hub ends a device power IRP: false, inside the call; true,
    // pending, from its next frame tick, as a real hub does while the port
    // suspends or resumes (the function driver's completion routine then
    // sees PendingReturned).
    bool powerPends = false;
    // The host controller the phone hangs on. Each controller has its own
    // frame tick (a DPC and a timer of its own), so on several processors
    // two controllers' completions run at the same time, as on a PC with
    // several controllers; phones on one controller are served in the order
    // they were plugged, by one tick. Every phone on controller 0 unless a
    // test or program spreads them (a rack of phones behind several
    // controllers).
    unsigned hostController = 0;
    // Wire timing (platform/usb/wire.h). Off, a decided transfer completes at
    // the next frame tick, as every existing test expects. On, it completes
    // when a USB 2.0 bus at `speed` would deliver it: its packets in the
    // (micro)frames the bulk budget allows from the (micro)frame after its
    // submission, interrupt transfers at `interruptInterval` (micro)frames,
    // control transfers their stages, then the host controller's `latency`
    // (100 ns units: 0, or about 10000 for interrupt moderation). What the
    // phone's bulk pipes carry comes and goes at `phoneBytesPerSecond` (0: as
    // fast as the bus takes it; 900000 for a 7.2 Mbit/s radio link): bytes
    // pushed on bulk-in arrive back to back from the push on, in whole
    // packets. What the host or the bus ends (abort, reset, cancel, unplug,
    // removal, suspend) leaves at once, taking the transfers still on the
    // wire of that pipe ahead of it. `bulkMaxPacket` must be the speed's (64
    // full speed, 512 high speed): TimeWire sets both.
    struct Wire {
        bool on = false;
        WIRE_SPEED speed = WireFullSpeed;
        LONGLONG latency = 0;
        ULONG interruptInterval = 1;
        ULONGLONG phoneBytesPerSecond = 0;
    } wire;
    // Times the wire at `speed` with the speed's bulk packets.
    void TimeWire(WIRE_SPEED speed, LONGLONG latency = 0, ULONGLONG phoneBytesPerSecond = 0) {
        wire = {true, speed, latency, wire.interruptInterval, phoneBytesPerSecond};
        bulkMaxPacket = speed == WireHighSpeed ? 512 : 64;
    }
};

class Bus {
public:
    Bus();
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    // The bus alive now, NULL when none.
    static Bus* Current();

    // Plugs a phone: creates its interfaces' PDOs (and, with
    // config.enumerate, has the Plug and Play manager start their stacks).
    // Call at PASSIVE_LEVEL. The phone's handle lives as long as the bus.
    Phone& PlugIn(const PhoneConfig& config = PhoneConfig());
    std::vector<Phone*> Phones();

    // The bus driver object (for attributing, or for tests that look at it).
    PDRIVER_OBJECT Driver() const;
    // The interface a PDO of this bus stands for; NULL for any other device.
    Interface* InterfaceOf(PDEVICE_OBJECT pdo);

private:
    std::unique_ptr<detail::BusState> s_;
};

} // namespace usb
