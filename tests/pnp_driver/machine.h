// A simulated machine with both driver images installed and a USB bus, for
// tests that drive the drivers as the system does: plug a phone, let the
// Plug and Play manager load, add and start, then look at what the drivers
// left in the namespace, the registry and the device interfaces.
#pragma once

#include "platform/sim/sim.h"
#include "platform/usb/bus.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>

namespace pnp_driver {

inline const GUID kModemInterface = {
    0x456F868B, 0x66CF, 0x4BDF, {0xBF, 0xB7, 0x84, 0xDE, 0x59, 0xCC, 0x27, 0x78}};
inline const GUID kComPortInterface = {
    0x86E0D1E0, 0x8089, 0x11D0, {0x9C, 0xE4, 0x08, 0x00, 0x3E, 0x30, 0x1F, 0x73}};

class Machine : public ::testing::Test {
protected:
    Machine() {
        sim::RegisterDriverImage("vxqt70modem", VXQT70_MODEM_IMAGE);
        sim::RegisterDriverImage("vxqt70diag", VXQT70_DIAG_IMAGE);
        bus_ = std::make_unique<usb::Bus>();
    }
    ~Machine() override { bus_.reset(); }

    usb::Phone& Plug(const usb::PhoneConfig& config = usb::PhoneConfig()) {
        return bus_->PlugIn(config);
    }
    static usb::PhoneConfig Unenumerated(std::u16string serial = u"VX0001") {
        usb::PhoneConfig config;
        config.serial = std::move(serial);
        config.enumerate = false;
        return config;
    }
    static sim::DevNode* Node(usb::Interface& interface) {
        return sim::PnpFindNode(interface.Pdo());
    }
    static std::u16string NameOf(PDEVICE_OBJECT device) {
        for (const auto& entry : sim::DeviceNames())
            if (entry.device == device)
                return entry.name;
        return u"";
    }
    static std::optional<sim::SerialCommEntry> SerialCommOf(const std::u16string& device) {
        for (const auto& entry : sim::SerialComm())
            if (entry.device == device)
                return entry;
        return std::nullopt;
    }
    static std::optional<sim::DeviceInterface> InterfaceOf(PDEVICE_OBJECT pdo) {
        for (const auto& entry : sim::DeviceInterfaces())
            if (entry.pdo == pdo)
                return entry;
        return std::nullopt;
    }
    static bool LinkExists(const std::u16string& name) { return sim::LinkTarget(name).has_value(); }
    static std::u16string Com(unsigned n) {
        return u"\\DosDevices\\COM" + sim::U16(std::to_string(n));
    }

    sim::Kernel kernel_;
    std::unique_ptr<usb::Bus> bus_;
};

} // namespace pnp_driver

namespace pnp_driver {

// Sends one IRP of the test's own to the top of `device`'s stack, the way a
// driver above would, and runs the machine until it has come back.
struct SentIrp {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    bool done = false;
};

inline NTSTATUS NTAPI SentIrpDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* sent = static_cast<SentIrp*>(context);
    sent->status = irp->IoStatus.Status;
    sent->information = irp->IoStatus.Information;
    sent->done = true;
    IoFreeIrp(irp);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

inline SentIrp SendIrp(PDEVICE_OBJECT device, UCHAR major, UCHAR minor = 0, ULONG code = 0,
                       ULONG_PTR information = 0x5A5A) {
    SentIrp sent;
    PDEVICE_OBJECT top = sim::TopOfStack(device);
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->IoStatus.Information = information;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    IoSetCompletionRoutine(irp, SentIrpDone, &sent, TRUE, TRUE, TRUE);
    IoCallDriver(top, irp);
    sim::RunUntilIdle();
    EXPECT_TRUE(sent.done);
    return sent;
}

} // namespace pnp_driver
