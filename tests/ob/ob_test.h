// Helpers shared by the object-manager tests: a driver that owns the devices a
// test makes, and counted strings over literals.
#pragma once

#include "platform/sim/api_io.h"
#include "platform/sim/sim.h"

#include <gtest/gtest.h>

#include <string>

namespace obtest {

inline NTSTATUS NTAPI EmptyEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    return STATUS_SUCCESS;
}

// A counted string over a literal, as a driver builds one with RtlInitUnicodeString.
struct Name {
    UNICODE_STRING string{};
    explicit Name(PCWSTR text) { RtlInitUnicodeString(&string, text); }
    PUNICODE_STRING operator&() { return &string; }
};

// Makes a device object owned by `driver` (named, or unnamed when `name` is
// NULL); fails the test if IoCreateDevice refuses.
inline PDEVICE_OBJECT MakeDevice(PDRIVER_OBJECT driver, PCWSTR name) {
    PDEVICE_OBJECT device = nullptr;
    UNICODE_STRING text{};
    if (name != nullptr)
        RtlInitUnicodeString(&text, name);
    sim::DriverScope scope(driver);
    const NTSTATUS status = IoCreateDevice(driver, 0, name != nullptr ? &text : nullptr,
                                           FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    EXPECT_EQ(status, STATUS_SUCCESS);
    return device;
}

inline void DeleteDevice(PDEVICE_OBJECT device) {
    sim::DriverScope scope(device->DriverObject);
    IoDeleteDevice(device);
}

// Deletes the devices `driver` still has, then unloads it.
inline void Unload(PDRIVER_OBJECT driver) {
    while (driver->DeviceObject != nullptr)
        DeleteDevice(driver->DeviceObject);
    sim::UnloadDriver(driver);
}

// A physical device object as the Plug and Play manager reports it.
inline PDEVICE_OBJECT MakePdo(PDRIVER_OBJECT bus, PCWSTR name, const char* instancePath) {
    PDEVICE_OBJECT pdo = MakeDevice(bus, name);
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    if (instancePath != nullptr)
        sim::SetDeviceInstancePath(pdo, sim::U16(instancePath));
    return pdo;
}

} // namespace obtest
