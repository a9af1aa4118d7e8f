// A watcher on the URBs the function drivers send to the bus, the place a
// USB capture filter sits on Windows: it sees each URB once when it is
// submitted and once when it completes (aborts, resets, cancellations and
// refusals included). The bus calls UrbCaptured at those two points; a
// capture writer (tools/pcap) installs the watcher.
//
// The call comes at the caller's IRQL (DISPATCH_LEVEL for completions from
// the frame tick), possibly with the bus's lock held: the watcher must not
// block or call into the simulated machine. `data` is valid only during the
// call. Install or remove the watcher while no URB is in flight.
#pragma once

#include "platform/usb/phone.h"

#include <atomic>

namespace usb {

struct UrbCapture {
    bool completion = false;   // false: submitted (FDO to PDO); true: completed (PDO to FDO)
    const void* irp = nullptr; // pairs a submission with its completion
    LONGLONG time = 0;         // interrupt time (100 ns)
    int device = 0;            // the phone's number on the bus, from 0
    int interfaceNumber = 0;
    Pipe pipe = Pipe::Control; // Control for class requests
    USHORT function = 0;       // URB_FUNCTION_*
    bool in = false;           // the transfer's direction: device to host
    SetupPacket setup;         // class requests
    ULONG requested = 0;       // the transfer buffer's length
    NTSTATUS status = STATUS_PENDING; // (completion) the IRP's status
    LONG usbdStatus = 0;              // (completion) the URB's USBD status
    // The bytes that moved in this direction at this point: OUT data at
    // submission, IN data at completion; NULL/0 otherwise.
    const void* data = nullptr;
    ULONG length = 0;
};

using UrbWatcher = void (*)(const UrbCapture& urb, void* context);

namespace detail {
struct UrbWatch {
    std::atomic<UrbWatcher> watcher{nullptr};
    std::atomic<void*> context{nullptr};
};
inline UrbWatch& TheUrbWatch() {
    static UrbWatch watch;
    return watch;
}
} // namespace detail

// Installs the watcher (NULL removes it).
inline void SetUrbWatcher(UrbWatcher watcher, void* context) {
    detail::TheUrbWatch().context.store(context);
    detail::TheUrbWatch().watcher.store(watcher);
}

// Called by the bus at submission and completion of every URB.
inline void UrbCaptured(const UrbCapture& urb) {
    const UrbWatcher watcher = detail::TheUrbWatch().watcher.load();
    if (watcher != nullptr)
        watcher(urb, detail::TheUrbWatch().context.load());
}

} // namespace usb
