// The port's COM name. The system's COM-port installer writes "PortName" into
// the device's hardware key; at start the port reads it, links
// \DosDevices\<name> to its device, publishes the pair under SERIALCOMM and
// enables its device interface, and at stop or removal undoes all of that.
// Everything here runs at PASSIVE_LEVEL from the Plug and Play handlers, which
// the system serialises per device, and takes no lock.
#include "port.h"

// "PortName" is read into a buffer of this many bytes: 63 characters and a
// terminator.
#define PORT_NAME_BYTES 128
// Room for "\DosDevices\" and any port name that fits the buffer above.
#define LINK_TEXT_BYTES 256
// The value as ZwQueryValueKey returns it: header, the name "PortName" and
// the data, with room to align the data.
#define PORT_NAME_INFO_BYTES (sizeof(L"PortName") + PORT_NAME_BYTES + 24)

// The name and link texts are made on the stack, never in pool: the removal
// that must delete a renamed port's link cannot fail for want of memory and
// leave the COM name taken by a device that is gone.

static const WCHAR SerialCommKey[] = L"SERIALCOMM";

NTSTATUS InitUnicodeString(PUNICODE_STRING String, USHORT MaximumLength) {
    ULONG bytes = (ULONG)MaximumLength + sizeof(WCHAR);

    String->Length = 0;
    String->MaximumLength = 0;
    String->Buffer = (PWSTR)ExAllocatePoolWithTag(NonPagedPool, bytes, PORT_POOL_TAG);
    if (String->Buffer == NULL) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(String->Buffer, bytes);
    String->MaximumLength = MaximumLength;
    return STATUS_SUCCESS;
}

// Releases a string made by InitUnicodeString and leaves it empty, so that a
// second release does nothing.
VOID FreeUnicodeString(PUNICODE_STRING String) {
    if (String->Buffer != NULL) {
        ExFreePool(String->Buffer);
    }
    String->Buffer = NULL;
    String->Length = 0;
    String->MaximumLength = 0;
}

// Copies the raw data of "PortName" into Buffer, which the caller has zeroed:
// the terminator comes from the data or from the zeros. A value that does not
// fit, or that fills the buffer without a terminator, is refused with
// STATUS_INSUFFICIENT_RESOURCES: the name would run into whatever follows the
// buffer when it is formatted.
NTSTATUS GetCOMPort(PDEVICE_EXTENSION Port, PWCHAR Buffer, ULONG BufferBytes) {
    UNICODE_STRING valueName;
    HANDLE key = NULL;
    ULONG block[(PORT_NAME_INFO_BYTES + sizeof(ULONG) - 1) / sizeof(ULONG)];
    PKEY_VALUE_FULL_INFORMATION info = (PKEY_VALUE_FULL_INFORMATION)block;
    ULONG infoBytes;
    ULONG resultBytes = 0;
    NTSTATUS status;

    VXQT70_ASSERT(BufferBytes <= PORT_NAME_BYTES);

    RtlInitUnicodeString(&valueName, L"PortName");
    status = IoOpenDeviceRegistryKey(Port->Pdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    infoBytes = valueName.Length + BufferBytes + 24;
    status =
        ZwQueryValueKey(key, &valueName, KeyValueFullInformation, info, infoBytes, &resultBytes);
    if (status == STATUS_BUFFER_OVERFLOW || status == STATUS_BUFFER_TOO_SMALL) {
        // Far too long for the block sized from BufferBytes.
        status = STATUS_INSUFFICIENT_RESOURCES;
    } else if (NT_SUCCESS(status)) {
        PWCHAR data = (PWCHAR)((PUCHAR)info + info->DataOffset);
        ULONG units = info->DataLength / sizeof(WCHAR);

        if (info->DataLength > BufferBytes) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else if (info->DataLength == BufferBytes && data[units - 1] != 0) {
            status = STATUS_INSUFFICIENT_RESOURCES;
        } else {
            RtlCopyMemory(Buffer, data, info->DataLength);
        }
    }

    ZwClose(key);
    return status;
}

// Makes "\DosDevices\<port name>" in Buffer, which holds LINK_TEXT_BYTES.
static VOID MakeLinkText(PUNICODE_STRING LinkText, PWCHAR Buffer, PCWSTR PortName) {
    int count = swprintf(Buffer, L"\\DosDevices\\%ws", PortName);

    LinkText->Buffer = Buffer;
    LinkText->Length = (USHORT)(count * sizeof(WCHAR));
    LinkText->MaximumLength = LINK_TEXT_BYTES;
}

NTSTATUS CreateSymbolicLink(PDEVICE_EXTENSION Port) {
    // One code unit more than "PortName" may fill: the SERIALCOMM value is
    // written with two zero code units after the name, and a 63-character
    // name has only one inside the 128 bytes.
    WCHAR portName[PORT_NAME_BYTES / sizeof(WCHAR) + 1];
    WCHAR linkBuffer[LINK_TEXT_BYTES / sizeof(WCHAR)];
    UNICODE_STRING linkText;
    NTSTATUS status;

    RtlZeroMemory(portName, sizeof(portName));
    status = GetCOMPort(Port, portName, PORT_NAME_BYTES);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    MakeLinkText(&linkText, linkBuffer, portName);
    status = InitUnicodeString(&Port->SymbolicLinkName, linkText.Length);
    if (NT_SUCCESS(status)) {
        RtlCopyUnicodeString(&Port->SymbolicLinkName, &linkText);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = IoCreateUnprotectedSymbolicLink(&Port->SymbolicLinkName, &Port->DeviceName);
    if (!NT_SUCCESS(status)) {
        // Most likely another device holds the name. The link is not ours, so
        // the teardown that follows a failed start must not delete it.
        FreeUnicodeString(&Port->SymbolicLinkName);
        return status;
    }

    status =
        RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, SerialCommKey, Port->DeviceName.Buffer,
                              REG_SZ, portName, (ULONG)((wcslen(portName) + 2) * sizeof(WCHAR)));
    if (NT_SUCCESS(status)) {
        EnableAllInterfaces(Port, TRUE);
    }
    return status;
}

// Safe to repeat and safe on a partial naming: each step skips what was never
// made or is already gone, and runs whatever the previous one returned. The
// result is the last status obtained; callers ignore it.
NTSTATUS DestroySymbolicLink(PDEVICE_EXTENSION Port) {
    NTSTATUS status = STATUS_SUCCESS;

    DeregisterAllInterfaces(Port);

    if (Port->DeviceName.Buffer != NULL) {
        status =
            RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, SerialCommKey, Port->DeviceName.Buffer);
    }

    if (Port->SymbolicLinkName.Buffer != NULL) {
        status = IoDeleteSymbolicLink(&Port->SymbolicLinkName);
        if (!NT_SUCCESS(status)) {
            status = TryToDeleteNewLink(Port);
        }
        FreeUnicodeString(&Port->SymbolicLinkName);
    }
    return status;
}

// The link made at start is gone when the port was renamed while it ran (the
// installer rewrote "PortName" and made the link again under the new name);
// that newer link is the one to delete.
NTSTATUS TryToDeleteNewLink(PDEVICE_EXTENSION Port) {
    WCHAR portName[PORT_NAME_BYTES / sizeof(WCHAR) + 1];
    WCHAR linkBuffer[LINK_TEXT_BYTES / sizeof(WCHAR)];
    UNICODE_STRING linkText;
    NTSTATUS status;

    RtlZeroMemory(portName, sizeof(portName));
    status = GetCOMPort(Port, portName, PORT_NAME_BYTES);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    MakeLinkText(&linkText, linkBuffer, portName);
    return IoDeleteSymbolicLink(&linkText);
}
