#include "usb_test.h"

#include <cstring>

namespace usbtest {

namespace {

NTSTATUS NTAPI RequestDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* r = static_cast<Request*>(context);
    r->status = irp->IoStatus.Status;
    r->completionIrql = KeGetCurrentIrql();
    r->completedInsideCall = r->inCall;
    r->done = true;
    r->irp = nullptr;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// The test function driver passes Plug and Play and power down. Its device
// is detached and deleted by the test after REMOVE has come back (the I/O
// manager still reads the device object after its dispatch routine returns).
fake::Config FunctionDriver() {
    fake::Config c;
    c.name = "usbfunc";
    c.devices = 0;
    c.deviceType = FILE_DEVICE_SERIAL_PORT;
    c.flags = DO_POWER_PAGABLE;
    return c;
}

struct PnpDone {
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
};

NTSTATUS NTAPI PnpIrpDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* d = static_cast<PnpDone*>(context);
    d->status = irp->IoStatus.Status;
    d->done = true;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

UsbTest::UsbTest() : bus_(std::make_unique<usb::Bus>()), func_(FunctionDriver()) {
    driver_ = func_.object;
}

UsbTest::~UsbTest() {
    if (!HasFailure()) {
        sim::RunUntilIdle();
        RemoveStacks();
    }
    bus_.reset();
}

void UsbTest::Plug(usb::PhoneConfig config, bool start) {
    config.enumerate = false;
    phone_ = &bus_->PlugIn(config);
    ports_.resize(phone_->InterfaceCount());
    for (size_t i = 0; i < ports_.size(); ++i) {
        Port& port = ports_[i];
        port.ifc = &phone_->At(i);
        port.pdo = port.ifc->Pdo();
        port.fdo = func_.NewDevice(port.pdo);
        ASSERT_EQ(fake::Driver::Lower(port.fdo), port.pdo);
    }
    if (!start)
        return;
    for (Port& port : ports_) {
        ASSERT_EQ(SendPnp(port, IRP_MN_START_DEVICE), STATUS_SUCCESS);
        // What StartDevice does: three 32-bit handles at 12, 16 and 20.
        auto* bytes = static_cast<const uint8_t*>(port.pdo->DeviceExtension);
        const size_t offsets[3] = {usb::kBulkInHandleOffset, usb::kBulkOutHandleOffset,
                                   usb::kInterruptHandleOffset};
        for (int p = 0; p < 3; ++p) {
            ULONG value = 0;
            std::memcpy(&value, bytes + offsets[p], sizeof value);
            port.pipe[p] = reinterpret_cast<USBD_PIPE_HANDLE>(static_cast<ULONG_PTR>(value));
        }
    }
}

NTSTATUS UsbTest::SendPnp(Port& port, UCHAR minor) {
    PnpDone done;
    {
        sim::DriverScope scope(driver_);
        PIRP irp = IoAllocateIrp(port.fdo->StackSize, FALSE);
        irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_PNP;
        next->MinorFunction = minor;
        IoSetCompletionRoutine(irp, PnpIrpDone, &done, TRUE, TRUE, TRUE);
        IoCallDriver(port.fdo, irp);
    }
    sim::RunUntilIdle();
    EXPECT_TRUE(done.done);
    return done.status;
}

void UsbTest::RemoveStacks() {
    for (Port& port : ports_) {
        if (port.fdo == nullptr)
            continue;
        SendPnp(port, IRP_MN_REMOVE_DEVICE);
        sim::DriverScope scope(driver_);
        IoDetachDevice(port.pdo);
        IoDeleteDevice(port.fdo);
        port.fdo = nullptr;
    }
    sim::RunUntilIdle();
}

void UsbTest::BuildTransfer(Request& r, Port& port, usb::Pipe pipe, ULONG length, bool shortOk) {
    r.buffer.assign(length, 0);
    ULONG flags =
        pipe == usb::Pipe::BulkOut ? USBD_TRANSFER_DIRECTION_OUT : USBD_TRANSFER_DIRECTION_IN;
    if (shortOk)
        flags |= USBD_SHORT_TRANSFER_OK;
    UsbBuildInterruptOrBulkTransferRequest(&r.urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER),
                                           port.pipe[static_cast<int>(pipe)], r.buffer.data(),
                                           nullptr, length, flags, nullptr);
}

void UsbTest::BuildPipeRequest(Request& r, Port& port, USHORT function, usb::Pipe pipe) {
    r.urb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    r.urb.UrbHeader.Function = function;
    r.urb.UrbPipeRequest.PipeHandle = port.pipe[static_cast<int>(pipe)];
}

void UsbTest::BuildClass(Request& r, UCHAR request, USHORT value, std::vector<uint8_t> data,
                         bool in) {
    r.buffer = std::move(data);
    UsbBuildVendorRequest(&r.urb, URB_FUNCTION_CLASS_INTERFACE,
                          sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          in ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT, 0, request,
                          value, 0, r.buffer.empty() ? nullptr : r.buffer.data(), nullptr,
                          static_cast<ULONG>(r.buffer.size()), nullptr);
}

void UsbTest::Send(Request& r, Port& port) {
    sim::DriverScope scope(driver_);
    PIRP irp = IoAllocateIrp(port.fdo->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = &r.urb;
    IoSetCompletionRoutine(irp, RequestDone, &r, TRUE, TRUE, TRUE);
    r.irp = irp;
    r.inCall = true;
    r.returned = IoCallDriver(port.pdo, irp);
    r.inCall = false;
}

Request& UsbTest::Read(usb::Pipe pipe, ULONG length, int port) {
    requests_.push_back(std::make_unique<Request>());
    Request& r = *requests_.back();
    BuildTransfer(r, ports_[port], pipe, length);
    Send(r, ports_[port]);
    return r;
}

Request& UsbTest::Write(const std::string& data, int port) {
    requests_.push_back(std::make_unique<Request>());
    Request& r = *requests_.back();
    BuildTransfer(r, ports_[port], usb::Pipe::BulkOut, static_cast<ULONG>(data.size()));
    std::memcpy(r.buffer.data(), data.data(), data.size());
    Send(r, ports_[port]);
    return r;
}

Request& UsbTest::PipeRequest(USHORT function, usb::Pipe pipe, int port) {
    requests_.push_back(std::make_unique<Request>());
    Request& r = *requests_.back();
    BuildPipeRequest(r, ports_[port], function, pipe);
    Send(r, ports_[port]);
    return r;
}

Request& UsbTest::Class(UCHAR request, USHORT value, std::vector<uint8_t> data, int port) {
    requests_.push_back(std::make_unique<Request>());
    Request& r = *requests_.back();
    BuildClass(r, request, value, std::move(data));
    Send(r, ports_[port]);
    return r;
}

} // namespace usbtest
