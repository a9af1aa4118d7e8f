// A phone on the simulated bus with the shared fake driver ("usbfunc") as a
// minimal function driver above each interface's PDO, built without the Plug
// and Play manager: the test sends START itself and submits URBs the way the
// port drivers do (a driver-allocated IRP per request, its completion routine
// taking it back).
#pragma once

#include "common/fake_driver.h"
#include "platform/kernel.h"
#include "platform/sim/api_io.h"
#include "platform/sim/sim.h"
#include "platform/usb/bus.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace usbtest {

using usb::Pipe;
using Strings = std::vector<std::string>;

// One request the test driver sends down, and what came back. A transfer's
// buffer carries a guard of kGuard 0x55 bytes past its length, so a write
// past it shows.
constexpr size_t kGuard = 16;
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
    ULONG asked = 0; // a transfer's length

    USBD_STATUS Usbd() const { return urb.UrbHeader.Status; }
    ULONG Length() const { return urb.UrbBulkOrInterruptTransfer.TransferBufferLength; }
    std::string Text() const {
        return std::string(buffer.begin(), buffer.begin() + std::min<size_t>(Length(), asked));
    }
    bool GuardIntact() const {
        return std::all_of(buffer.begin() + asked, buffer.end(), [](uint8_t b) { return b == 0x55; });
    }
};

struct Port {
    usb::Interface* ifc = nullptr;
    PDEVICE_OBJECT pdo = nullptr;
    PDEVICE_OBJECT fdo = nullptr;
    USBD_PIPE_HANDLE pipe[3] = {};
};

inline NTSTATUS NTAPI RequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* r = static_cast<Request*>(context);
    r->status = irp->IoStatus.Status;
    r->completionIrql = KeGetCurrentIrql();
    r->completedInsideCall = r->inCall;
    r->done = true;
    r->irp = nullptr;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The function driver passes Plug and Play and power down. Its device is
// detached and deleted by the test after REMOVE has come back (the I/O
// manager still reads the device object after its dispatch routine returns).
class UsbTest : public ::testing::Test {
protected:
    UsbTest()
        : bus_(std::make_unique<usb::Bus>()),
          func_({.name = "usbfunc", .devices = 0, .flags = DO_POWER_PAGABLE,
                 .deviceType = FILE_DEVICE_SERIAL_PORT}) {}
    ~UsbTest() override {
        if (!HasFailure()) {
            sim::RunUntilIdle();
            RemoveStacks();
        }
        bus_.reset();
    }

    // Plugs a phone (default: modem and diagnostics) and builds a stack on
    // each interface; with `start`, starts them (Start).
    void Plug(usb::PhoneConfig config = usb::PhoneConfig(), bool start = true) {
        config.enumerate = false;
        phone_ = &bus_->PlugIn(config);
        ports_.resize(phone_->InterfaceCount());
        for (size_t i = 0; i < ports_.size(); ++i) {
            ports_[i].ifc = &phone_->At(i);
            ports_[i].pdo = ports_[i].ifc->Pdo();
            ports_[i].fdo = func_.NewDevice(ports_[i].pdo);
            ASSERT_EQ(fake::Driver::Lower(ports_[i].fdo), ports_[i].pdo);
        }
        if (start)
            Start();
    }
    // IRP_MN_START_DEVICE on each stack, then the pipe handles read from the
    // PDO's extension as a port driver does (three 32-bit values).
    void Start() {
        for (Port& port : ports_) {
            ASSERT_EQ(SendPnp(port, IRP_MN_START_DEVICE), STATUS_SUCCESS);
            for (int p = 0; p < 3; ++p)
                port.pipe[p] = reinterpret_cast<USBD_PIPE_HANDLE>(
                    static_cast<ULONG_PTR>(ExtensionHandle(port, p)));
        }
    }
    static ULONG ExtensionHandle(const Port& port, int pipe) {
        const size_t offsets[3] = {usb::kBulkInHandleOffset, usb::kBulkOutHandleOffset,
                                   usb::kInterruptHandleOffset};
        ULONG value = 0;
        std::memcpy(&value, static_cast<const uint8_t*>(port.pdo->DeviceExtension) + offsets[pipe],
                    sizeof value);
        return value;
    }
    // A Plug and Play IRP down the stack; `caps` for IRP_MN_QUERY_CAPABILITIES.
    NTSTATUS SendPnp(Port& port, UCHAR minor, DEVICE_CAPABILITIES* caps = nullptr) {
        Request& done = Call(New(), port, port.fdo, IRP_MJ_PNP, minor, caps);
        sim::RunUntilIdle();
        EXPECT_TRUE(done.done);
        return done.status;
    }
    // A driver-allocated IRP to `to` (the port's function device, or its PDO
    // directly as the port drivers send URBs), its completion taking it back;
    // `argument` is the capabilities record or the URB.
    Request& Call(Request& r, Port& port, PDEVICE_OBJECT to, UCHAR major, UCHAR minor,
                  PVOID argument) {
        sim::DriverScope scope(func_.object);
        PIRP irp = IoAllocateIrp(port.fdo->StackSize, FALSE);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = major;
        next->MinorFunction = minor;
        next->Parameters.Others.Argument1 = argument;
        if (major == IRP_MJ_INTERNAL_DEVICE_CONTROL)
            next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
        IoSetCompletionRoutine(irp, RequestDone, &r, TRUE, TRUE, TRUE);
        r.irp = irp;
        r.inCall = true;
        r.returned = IoCallDriver(to, irp);
        r.inCall = false;
        return r;
    }
    // Tears the stacks down as a removal does (REMOVE, detach, delete).
    void RemoveStacks() {
        for (Port& port : ports_) {
            if (port.fdo == nullptr)
                continue;
            SendPnp(port, IRP_MN_REMOVE_DEVICE);
            sim::DriverScope scope(func_.object);
            IoDetachDevice(port.pdo);
            IoDeleteDevice(port.fdo);
            port.fdo = nullptr;
        }
        sim::RunUntilIdle();
    }

    // ---- requests (the URB is the test's, as in the drivers)
    Request& New() { return *requests_.emplace_back(std::make_unique<Request>()); }
    // A bulk or interrupt transfer, built but not sent.
    Request& Transfer(Pipe pipe, ULONG length, int port = 0, bool shortOk = true) {
        Request& r = New();
        r.asked = length;
        r.buffer.assign(length + kGuard, 0x55);
        std::fill_n(r.buffer.begin(), length, 0);
        ULONG flags = pipe == Pipe::BulkOut ? USBD_TRANSFER_DIRECTION_OUT
                                            : USBD_TRANSFER_DIRECTION_IN;
        UsbBuildInterruptOrBulkTransferRequest(
            &r.urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
            ports_[port].pipe[static_cast<int>(pipe)], r.buffer.data(), nullptr, length,
            flags | (shortOk ? USBD_SHORT_TRANSFER_OK : 0), nullptr);
        return r;
    }
    Request& Send(Request& r, int port = 0) {
        return Call(r, ports_[port], ports_[port].pdo, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, &r.urb);
    }
    Request& Read(Pipe pipe = Pipe::BulkIn, ULONG length = 4096, int port = 0) {
        return Send(Transfer(pipe, length, port), port);
    }
    Request& Write(const std::string& data, int port = 0) {
        Request& r = Transfer(Pipe::BulkOut, static_cast<ULONG>(data.size()), port);
        std::memcpy(r.buffer.data(), data.data(), data.size());
        return Send(r, port);
    }
    Request& PipeRequest(USHORT function, Pipe pipe, int port = 0) {
        Request& r = New();
        r.urb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
        r.urb.UrbHeader.Function = function;
        r.urb.UrbPipeRequest.PipeHandle = ports_[port].pipe[static_cast<int>(pipe)];
        return Send(r, port);
    }
    Request& Class(UCHAR request, USHORT value, std::vector<uint8_t> data = {}, int port = 0) {
        Request& r = New();
        r.buffer = std::move(data);
        UsbBuildVendorRequest(&r.urb, URB_FUNCTION_CLASS_INTERFACE,
                              sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                              USBD_TRANSFER_DIRECTION_OUT, 0, request, value, 0,
                              r.buffer.empty() ? nullptr : r.buffer.data(), nullptr,
                              static_cast<ULONG>(r.buffer.size()), nullptr);
        return Send(r, port);
    }

    sim::Kernel kernel_;
    std::unique_ptr<usb::Bus> bus_;
    fake::Driver func_;
    usb::Phone* phone_ = nullptr;
    std::vector<Port> ports_;
    std::vector<std::unique_ptr<Request>> requests_;
};

} // namespace usbtest
