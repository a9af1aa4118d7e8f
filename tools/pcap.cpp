// The USBPcap-format capture of the drivers' URBs.
#include "tools/pcap.h"

#include <cerrno>
#include <cstring>

namespace vxqt70 {

namespace {

constexpr uint32_t kPcapMagic = 0xA1B2C3D4; // microsecond timestamps
constexpr uint32_t kLinkTypeUsbPcap = 249;
// Transfer types of the pseudo-header.
constexpr UCHAR kTransferInterrupt = 1;
constexpr UCHAR kTransferControl = 2;
constexpr UCHAR kTransferBulk = 3;
constexpr UCHAR kTransferIrpInfo = 0xFE; // a URB that moves no data (abort, reset)
// Control transfer stages.
constexpr int kNoStage = -1;
constexpr int kStageSetup = 0;
constexpr int kStageData = 1;
constexpr int kStageComplete = 3;
constexpr USHORT kFunctionGetDescriptor = 0x000B; // URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE
constexpr USHORT kBus = 1;

void Put16(std::vector<uint8_t>& b, unsigned v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& b, uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}

std::vector<uint8_t> SetupBytes(const usb::SetupPacket& s) {
    std::vector<uint8_t> b = {s.bmRequestType, s.bRequest};
    Put16(b, s.wValue);
    Put16(b, s.wIndex);
    Put16(b, s.wLength);
    return b;
}

UCHAR TransferType(const usb::UrbCapture& u) {
    if (u.function == URB_FUNCTION_ABORT_PIPE || u.function == URB_FUNCTION_RESET_PIPE)
        return kTransferIrpInfo;
    switch (u.pipe) {
    case usb::Pipe::Control: return kTransferControl;
    case usb::Pipe::InterruptIn: return kTransferInterrupt;
    default: return kTransferBulk;
    }
}

} // namespace

UCHAR CaptureEndpoint(int interfaceNumber, usb::Pipe pipe, bool in) {
    const int base = 3 * interfaceNumber;
    switch (pipe) {
    case usb::Pipe::BulkIn: return static_cast<UCHAR>(0x80 | (base + 1));
    case usb::Pipe::BulkOut: return static_cast<UCHAR>(base + 2);
    case usb::Pipe::InterruptIn: return static_cast<UCHAR>(0x80 | (base + 3));
    default: return in ? 0x80 : 0x00;
    }
}

std::unique_ptr<PcapCapture> PcapCapture::Start(const std::string& path, usb::Phone& phone,
                                                std::string* error) {
    FILE* file = fopen(path.c_str(), "wb");
    if (file == nullptr) {
        *error = "cannot write " + path + ": " + strerror(errno);
        return nullptr;
    }
    std::vector<uint8_t> header;
    Put32(header, kPcapMagic);
    Put16(header, 2); // version 2.4
    Put16(header, 4);
    Put32(header, 0); // GMT
    Put32(header, 0); // accuracy
    Put32(header, 65535);
    Put32(header, kLinkTypeUsbPcap);
    fwrite(header.data(), 1, header.size(), file);
    std::unique_ptr<PcapCapture> capture(new PcapCapture(file));
    capture->Descriptors(phone);
    usb::SetUrbWatcher(&PcapCapture::OnUrb, capture.get());
    return capture;
}

PcapCapture::~PcapCapture() {
    usb::SetUrbWatcher(nullptr, nullptr);
    std::lock_guard<std::mutex> guard(lock_);
    fclose(file_);
}

unsigned long PcapCapture::Records() const {
    std::lock_guard<std::mutex> guard(lock_);
    return records_;
}

void PcapCapture::Write(LONGLONG time, uint64_t irp, LONG usbd, USHORT function,
                        bool completion, int device, UCHAR endpoint, UCHAR transfer, int stage,
                        const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> r;
    const unsigned headerLength = stage == kNoStage ? 27 : 28;
    Put16(r, headerLength);
    Put32(r, static_cast<uint32_t>(irp));
    Put32(r, static_cast<uint32_t>(irp >> 32));
    Put32(r, static_cast<uint32_t>(usbd));
    Put16(r, function);
    r.push_back(completion ? 1 : 0); // USBPCAP_INFO_PDO_TO_FDO
    Put16(r, kBus);
    Put16(r, static_cast<unsigned>(device + 1)); // USB addresses start at 1
    r.push_back(endpoint);
    r.push_back(transfer);
    Put32(r, static_cast<uint32_t>(payload.size()));
    if (stage != kNoStage)
        r.push_back(static_cast<uint8_t>(stage));
    r.insert(r.end(), payload.begin(), payload.end());

    const uint64_t us = static_cast<uint64_t>(time) / 10;
    std::vector<uint8_t> record;
    Put32(record, static_cast<uint32_t>(us / 1000000));
    Put32(record, static_cast<uint32_t>(us % 1000000));
    Put32(record, static_cast<uint32_t>(r.size()));
    Put32(record, static_cast<uint32_t>(r.size()));
    record.insert(record.end(), r.begin(), r.end());
    std::lock_guard<std::mutex> guard(lock_);
    fwrite(record.data(), 1, record.size(), file_);
    fflush(file_);
    records_++;
}

void PcapCapture::OnUrb(const usb::UrbCapture& u, void* self) {
    auto* capture = static_cast<PcapCapture*>(self);
    const UCHAR transfer = TransferType(u);
    const UCHAR endpoint = CaptureEndpoint(u.interfaceNumber, u.pipe, u.in);
    const uint64_t irp = reinterpret_cast<uintptr_t>(u.irp);
    const auto* bytes = static_cast<const uint8_t*>(u.data);
    const std::vector<uint8_t> data(bytes, bytes != nullptr ? bytes + u.length : bytes);
    const LONG usbd = u.completion ? u.usbdStatus : 0;
    if (transfer != kTransferControl) {
        capture->Write(u.time, irp, usbd, u.function, u.completion, u.device, endpoint, transfer,
                       kNoStage, data);
        return;
    }
    // A control transfer as USBPcap writes it: the setup packet at
    // submission, the OUT data stage after it, and the completion with any
    // IN data.
    if (!u.completion) {
        capture->Write(u.time, irp, usbd, u.function, false, u.device, endpoint, transfer,
                       kStageSetup, SetupBytes(u.setup));
        if (!u.in && !data.empty())
            capture->Write(u.time, irp, usbd, u.function, false, u.device, endpoint, transfer,
                           kStageData, data);
    } else {
        capture->Write(u.time, irp, usbd, u.function, true, u.device, endpoint, transfer,
                       kStageComplete, data);
    }
}

// The device and configuration descriptors, as the answers to two
// GET_DESCRIPTOR requests at the start of the capture.
void PcapCapture::Descriptors(usb::Phone& phone) {
    unsigned vid = 0, pid = 0;
    if (phone.InterfaceCount() > 0) {
        const std::u16string id = phone.At(0).DeviceId(); // USB\VID_v&PID_p&MI_nn
        std::string narrow(id.begin(), id.end());
        sscanf(narrow.c_str(), "USB\\VID_%4x&PID_%4x", &vid, &pid);
    }
    std::vector<uint8_t> device = {18, 1};
    Put16(device, 0x0200); // USB 2.0
    device.insert(device.end(), {0xEF, 0x02, 0x01, 64}); // composite (IAD), EP0 64
    Put16(device, vid);
    Put16(device, pid);
    Put16(device, 0x0100);
    device.insert(device.end(), {0, 0, 0, 1});

    std::vector<uint8_t> config = {9, 2, 0, 0, static_cast<uint8_t>(phone.InterfaceCount()), 1,
                                   0, 0x80, 250};
    for (size_t i = 0; i < phone.InterfaceCount(); i++) {
        usb::Interface& ifc = phone.At(i);
        const auto number = static_cast<uint8_t>(ifc.Number());
        const bool modem = ifc.Kind() == usb::InterfaceKind::Modem;
        // CDC ACM with AT commands for the modem; vendor-specific otherwise.
        config.insert(config.end(), {9, 4, number, 0, 3, static_cast<uint8_t>(modem ? 0x02 : 0xFF),
                                     static_cast<uint8_t>(modem ? 0x02 : 0xFF),
                                     static_cast<uint8_t>(modem ? 0x01 : 0xFF), 0});
        if (modem) {
            config.insert(config.end(), {5, 0x24, 0x00, 0x10, 0x01}); // header, CDC 1.10
            config.insert(config.end(), {5, 0x24, 0x01, 0x00, number}); // call management
            config.insert(config.end(), {4, 0x24, 0x02, 0x02});         // ACM: line coding
        }
        const struct {
            usb::Pipe pipe;
            uint8_t attributes, interval;
        } endpoints[] = {{usb::Pipe::BulkIn, 2, 0}, {usb::Pipe::BulkOut, 2, 0},
                         {usb::Pipe::InterruptIn, 3, 16}};
        for (const auto& e : endpoints) {
            config.insert(config.end(),
                          {7, 5, CaptureEndpoint(ifc.Number(), e.pipe, false), e.attributes});
            Put16(config, ifc.MaxPacket(e.pipe));
            config.push_back(e.interval);
        }
    }
    config[2] = static_cast<uint8_t>(config.size());
    config[3] = static_cast<uint8_t>(config.size() >> 8);

    const int address = 0; // the phone's number on the bus
    uint64_t irp = 1;
    for (const auto& [type, descriptor] :
         {std::pair<uint8_t, const std::vector<uint8_t>*>{1, &device}, {2, &config}}) {
        usb::SetupPacket get;
        get.bmRequestType = 0x80;
        get.bRequest = 6;
        get.wValue = static_cast<USHORT>(type << 8);
        get.wLength = static_cast<USHORT>(descriptor->size());
        Write(0, irp, 0, kFunctionGetDescriptor, false, address, 0x80, kTransferControl,
              kStageSetup, SetupBytes(get));
        Write(0, irp, 0, kFunctionGetDescriptor, true, address, 0x80, kTransferControl,
              kStageComplete, *descriptor);
        irp++;
    }
}

} // namespace vxqt70
