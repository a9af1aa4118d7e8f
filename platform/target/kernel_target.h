// Kernel-mode build: the driver sees the Windows DDK itself, as shipped with
// mingw-w64 (ntddk.h, the USB driver interface, the serial interface). What
// follows the includes only fills gaps in those headers; it changes nothing a
// driver does.
#pragma once

#if !defined(__i386__) || !defined(_WIN32)
#error "the kernel-mode build is for 32-bit x86 Windows (i686-w64-mingw32)"
#endif

// mingw's intrin.h defines these two as inline intrinsics; wdm.h, compiled as
// C++, then redeclares them and the build stops. Claiming them as already
// defined lets wdm.h's declarations stand alone.
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset

extern "C" {
#include <ntddk.h>
#include <usbdrivr.h>
#include <usbdi.h>
// The serial interface header carries GUID_DEVINTERFACE_COMPORT, which the
// diagnostics port registers. Defined here (as a COMDAT constant, merged
// across objects) the image needs no GUID library.
#include <initguid.h>
#include <ntddser.h>
}

extern "C" {
// Exported by ntoskrnl.exe but declared by no DDK header mingw ships. The
// kernel's swprintf is the old one without a buffer size.
int __cdecl swprintf(wchar_t* Buffer, const wchar_t* Format, ...);
}

// Two serial control codes of the DDK that mingw's ntddser.h leaves out.
#ifndef IOCTL_SERIAL_GET_COMMCONFIG
#define IOCTL_SERIAL_GET_COMMCONFIG                                                                \
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 33, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define IOCTL_SERIAL_SET_COMMCONFIG                                                                \
    CTL_CODE(FILE_DEVICE_SERIAL_PORT, 34, METHOD_BUFFERED, FILE_ANY_ACCESS)
#endif

// The modem-status bits of the serial interface (the 16550's modem status
// register), reported by IOCTL_SERIAL_GET_MODEMSTATUS; mingw's ntddser.h
// leaves them out.
#ifndef SERIAL_MSR_DCTS
#define SERIAL_MSR_DCTS 0x01
#define SERIAL_MSR_DDSR 0x02
#define SERIAL_MSR_TERI 0x04
#define SERIAL_MSR_DDCD 0x08
#define SERIAL_MSR_CTS 0x10
#define SERIAL_MSR_DSR 0x20
#define SERIAL_MSR_RI 0x40
#define SERIAL_MSR_DCD 0x80
#endif
