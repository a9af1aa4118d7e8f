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
    PKEY_VALUE_FULL_INFORMATION info;
    ULONG infoBytes;
    ULONG resultBytes = 0;
    NTSTATUS status;

    RtlInitUnicodeString(&valueName, L"PortName");
    status = IoOpenDeviceRegistryKey(Port->Pdo, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_READ, &key);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    infoBytes = valueName.Length + BufferBytes + 24;
    info =
        (PKEY_VALUE_FULL_INFORMATION)ExAllocatePoolWithTag(NonPagedPool, infoBytes, PORT_POOL_TAG);
    if (info == NULL) {
        status = STATUS_INSUFFICIENT_RESOURCES;
        goto CloseKey;
    }

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

    ExFreePool(info);
CloseKey:
    ZwClose(key);
    return status;
}

// Makes "\DosDevices\<port name>" in a new string with room for LINK_TEXT_BYTES.
static NTSTATUS MakeLinkText(PUNICODE_STRING LinkText, PCWSTR PortName) {
    NTSTATUS status = InitUnicodeString(LinkText, LINK_TEXT_BYTES);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    int count = swprintf(LinkText->Buffer, L"\\DosDevices\\%ws", PortName);
    LinkText->Length = (USHORT)(count * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS CreateSymbolicLink(PDEVICE_EXTENSION Port) {
    // One code unit more than "PortName" may fill: the SERIALCOMM value is
    // written with two zero code units after the name, and a 63-character
    // name has only one inside the 128 bytes.
    WCHAR portName[PORT_NAME_BYTES / sizeof(WCHAR) + 1];
    UNICODE_STRING linkText;
    NTSTATUS status;

    RtlZeroMemory(portName, sizeof(portName));
    status = GetCOMPort(Port, portName, PORT_NAME_BYTES);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = MakeLinkText(&linkText, portName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = InitUnicodeString(&Port->SymbolicLinkName, linkText.Length);
    if (NT_SUCCESS(status)) {
        RtlCopyUnicodeString(&Port->SymbolicLinkName, &linkText);
    }
    FreeUnicodeString(&linkText);
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
    UNICODE_STRING linkText;
    NTSTATUS status;

    RtlZeroMemory(portName, sizeof(portName));
    status = GetCOMPort(Port, portName, PORT_NAME_BYTES);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = MakeLinkText(&linkText, portName);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    status = IoDeleteSymbolicLink(&linkText);
    FreeUnicodeString(&linkText);
    return status;
}
