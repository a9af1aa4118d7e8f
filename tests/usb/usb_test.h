// A phone on the simulated bus with a minimal function driver ("usbfunc")
// attached above each interface's PDO, built without the Plug and Play
// manager: the test sends START itself and submits URBs the way the port
// drivers do (a driver-allocated IRP per request, its completion routine
// taking it back).
#pragma once

#include "common/fake_driver.h"
#include "platform/kernel.h"
#include "platform/sim/api_io.h"
#include "platform/sim/sim.h"
#include "platform/usb/bus.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace usbtest {

// One request the test driver sends down, and what came back.
struct Request {
    URB urb{};
    std::vector<uint8_t> buffer;
    NTSTATUS returned = STATUS_PENDING; // what IofCallDriver returned
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
    KIRQL completionIrql = PASSIVE_LEVEL;
    bool completedInsideCall = false;
    PIRP irp = nullptr; // while pending
    bool inCall = false;

    USBD_STATUS Usbd() const { return urb.UrbHeader.Status; }
    ULONG Length() const { return urb.UrbBulkOrInterruptTransfer.TransferBufferLength; }
    std::string Text() const {
        return std::string(buffer.begin(),
                           buffer.begin() + std::min<size_t>(Length(), buffer.size()));
    }
};

struct Port {
    usb::Interface* ifc = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    USBD_PIPE_HANDLE pipe[3] = {};
};

class UsbTest : public ::testing::Test {
protected:
    UsbTest();
    ~UsbTest() override;

    // Plugs a phone (default: modem and diagnostics) and builds a stack on
    // each interface; with `start`, sends IRP_MN_START_DEVICE and reads the
    // pipe handles from the PDO's extension as a port driver does.
    void Plug(usb::PhoneConfig config = usb::PhoneConfig(), bool start = true);
    NTSTATUS SendPnp(Port& port, UCHAR minor);
    // Tears the stacks down as a removal does (REMOVE, detach, delete).
    void RemoveStacks();

    // Request builders and senders (the URB is the test's, as in the drivers).
    void BuildTransfer(Request& r, Port& port, usb::Pipe pipe, ULONG length, bool shortOk = true);
    void BuildPipeRequest(Request& r, Port& port, USHORT function, usb::Pipe pipe);
    void BuildClass(Request& r, UCHAR request, USHORT value, std::vector<uint8_t> data,
                    bool in = false);
    void Send(Request& r, Port& port);
    // Transfers in one go: build, send.
    Request& Read(usb::Pipe pipe = usb::Pipe::BulkIn, ULONG length = 4096, int port = 0);
    Request& Write(const std::string& data, int port = 0);
    Request& PipeRequest(USHORT function, usb::Pipe pipe, int port = 0);
    Request& Class(UCHAR request, USHORT value, std::vector<uint8_t> data = {}, int port = 0);

    sim::Kernel kernel_;
    std::unique_ptr<usb::Bus> bus_;
    fake::Driver func_;
    usb::Phone* phone_ = nullptr;
    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<Port> ports_;
    std::vector<std::unique_ptr<Request>> requests_;
};

} // namespace usbtest
