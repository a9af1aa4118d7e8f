// Compiled into every kernel-mode image, and produces no code: the build stops
// here if the DDK headers do not give the 32-bit x86 layouts that the USB wire,
// the serial interface and the drivers' records depend on. The URB sizes are
// what the bus driver checks against Hdr.Length; the serial records are copied
// byte for byte to and from applications' buffers.
#include "platform/kernel.h"

#define LAYOUT(type, size) static_assert(sizeof(type) == (size), #type " is not " #size " bytes")
#define AT(type, field, offset)                                                                    \
    static_assert(offsetof(type, field) == (offset), #type "." #field " is not at " #offset)

// Base types as the 32-bit kernel has them.
LAYOUT(PVOID, 4);
LAYOUT(ULONG, 4);
LAYOUT(ULONG_PTR, 4);
LAYOUT(WCHAR, 2);
LAYOUT(BOOLEAN, 1);
LAYOUT(LIST_ENTRY, 8);
LAYOUT(UNICODE_STRING, 8);
LAYOUT(KSPIN_LOCK, 4);
LAYOUT(LARGE_INTEGER, 8);

// Kernel records the port device record embeds.
LAYOUT(KEVENT, 16);
LAYOUT(KTIMER, 40);
LAYOUT(KDPC, 32);
LAYOUT(FAST_MUTEX, 32);
LAYOUT(IO_REMOVE_LOCK, 24);
LAYOUT(DEVICE_CAPABILITIES, 64);
LAYOUT(WORK_QUEUE_ITEM, 16);
LAYOUT(IO_STACK_LOCATION, 36);
LAYOUT(IO_STATUS_BLOCK, 8);

// USB requests.
LAYOUT(URB, 96);
LAYOUT(struct _URB_HEADER, 16);
LAYOUT(struct _URB_BULK_OR_INTERRUPT_TRANSFER, 72);
LAYOUT(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, 80);
LAYOUT(struct _URB_PIPE_REQUEST, 24);
LAYOUT(USBD_PIPE_HANDLE, 4);
AT(struct _URB_HEADER, Function, 2);
AT(struct _URB_HEADER, Status, 4);
AT(struct _URB_PIPE_REQUEST, PipeHandle, 16);
AT(struct _URB_BULK_OR_INTERRUPT_TRANSFER, PipeHandle, 16);
AT(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferFlags, 20);
AT(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBufferLength, 24);
AT(struct _URB_BULK_OR_INTERRUPT_TRANSFER, TransferBuffer, 28);
AT(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, TransferFlags, 20);
AT(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, RequestTypeReservedBits, 72);
AT(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Request, 73);
AT(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Value, 74);
AT(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST, Index, 76);

// Serial records, as applications' buffers carry them.
LAYOUT(SERIAL_TIMEOUTS, 20);
LAYOUT(SERIAL_STATUS, 20);
LAYOUT(SERIAL_COMMPROP, 64);
LAYOUT(SERIALPERF_STATS, 24);
LAYOUT(SERIAL_HANDFLOW, 16);
LAYOUT(SERIAL_CHARS, 6);
LAYOUT(SERIAL_LINE_CONTROL, 3);
LAYOUT(SERIAL_BAUD_RATE, 4);
LAYOUT(SERIAL_QUEUE_SIZE, 8);
AT(SERIAL_STATUS, EofReceived, 16);
AT(SERIAL_STATUS, WaitForImmediate, 17);
AT(SERIAL_COMMPROP, SettableData, 40);
AT(SERIAL_COMMPROP, CurrentRxQueue, 48);
AT(SERIAL_LINE_CONTROL, WordLength, 2);

// Control codes the drivers answer to.
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003, "IOCTL_INTERNAL_USB_SUBMIT_URB");
static_assert(IOCTL_SERIAL_SET_BAUD_RATE == 0x1B0004, "IOCTL_SERIAL_SET_BAUD_RATE");
static_assert(IOCTL_SERIAL_SET_FIFO_CONTROL == 0x1B009C, "IOCTL_SERIAL_SET_FIFO_CONTROL");
static_assert(IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS == 0x1B0010,
              "IOCTL_SERIAL_INTERNAL_RESTORE_SETTINGS");
static_assert(URB_FUNCTION_RESET_PIPE == 0x001E, "URB_FUNCTION_RESET_PIPE");
