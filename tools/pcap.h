// A USB capture Wireshark reads: every URB the port drivers send, at
// submission and at completion, as pcap records of link type 249 (USBPcap's
// pseudo-header, then the setup packet of a control transfer, then the data
// in the direction it moved), stamped with the virtual clock.
//
// Like USBPcap, the capture opens with the phone's device and configuration
// descriptors as a GET_DESCRIPTOR exchange, so that Wireshark knows which
// interface is a CDC modem and decodes its class requests (SET_LINE_CODING,
// SET_CONTROL_LINE_STATE) and SERIAL_STATE notifications.
//
// Endpoint addresses: the simulated phone has no descriptors of its own, so
// the capture numbers the endpoints of interface n from 3n+1: bulk-in
// 0x81+3n, bulk-out 0x02+3n, interrupt-in 0x83+3n.
#pragma once

#include "platform/usb/capture.h"
#include "platform/usb/phone.h"

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vxqt70 {

// The endpoint address the capture gives an interface's pipe (`in` chooses
// the default pipe's direction).
UCHAR CaptureEndpoint(int interfaceNumber, usb::Pipe pipe, bool in);

class PcapCapture {
public:
    // Creates `path` and starts capturing the phone's URBs; NULL with
    // `error` set when the file cannot be written.
    static std::unique_ptr<PcapCapture> Start(const std::string& path, usb::Phone& phone,
                                              std::string* error);
    ~PcapCapture(); // stops capturing and closes the file
    PcapCapture(const PcapCapture&) = delete;
    PcapCapture& operator=(const PcapCapture&) = delete;

    unsigned long Records() const;

private:
    explicit PcapCapture(FILE* file) : file_(file) {}
    static void OnUrb(const usb::UrbCapture& urb, void* self);
    void Descriptors(usb::Phone& phone);
    // One record: the pseudo-header (27 bytes, 28 with a control stage),
    // then `payload`.
    void Write(LONGLONG time, uint64_t irp, LONG usbd, USHORT function, bool completion,
               int device, UCHAR endpoint, UCHAR transfer, int stage,
               const std::vector<uint8_t>& payload);

    FILE* file_;
    mutable std::mutex lock_;
    unsigned long records_ = 0;
};

} // namespace vxqt70
