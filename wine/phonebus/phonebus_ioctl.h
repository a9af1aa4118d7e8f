// The phone bus's control device, shared by the bus driver and the programs
// that drive it: "\\.\VxPhoneBus" takes these device-control codes.
#pragma once

// User mode gets CTL_CODE from winioctl.h, kernel mode from the DDK.
#define VXPHONEBUS_CONTROL_DEVICE L"\\Device\\VxPhoneBusControl"
#define VXPHONEBUS_CONTROL_LINK L"\\DosDevices\\VxPhoneBus"
#define VXPHONEBUS_USER_PATH "\\\\.\\VxPhoneBus"

// Pull the phone out: every transfer fails, both interfaces leave the bus's
// relations, and the Plug and Play manager is told to look again.
#define IOCTL_VXPHONEBUS_UNPLUG CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Put it back (same serial number, so the same device instances).
#define IOCTL_VXPHONEBUS_PLUG CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Unload the port drivers of the interfaces the phone had, as the Plug and
// Play manager does after a driver's last device is removed. Fails with
// ERROR_BUSY (STATUS_DEVICE_BUSY) until the phone is out and both drivers'
// devices are gone.
#define IOCTL_VXPHONEBUS_UNLOAD_DRIVERS CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Output: one VXPHONEBUS_STATUS.
#define IOCTL_VXPHONEBUS_STATUS CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS)

// Input: one VXPHONEBUS_FAULT. Arms one kind of the phone's fault plan on
// one pipe (platform/usb/phonecore/phonecore.h, PHONE_FAULT), or clears the
// pipe's plan.
#define IOCTL_VXPHONEBUS_FAULT CTL_CODE(FILE_DEVICE_UNKNOWN, 0x804, METHOD_BUFFERED, FILE_ANY_ACCESS)

#define VXPHONEBUS_PIPE_BULK_IN 0
#define VXPHONEBUS_PIPE_BULK_OUT 1
#define VXPHONEBUS_PIPE_INTERRUPT_IN 2
#define VXPHONEBUS_PIPE_CONTROL 3

#define VXPHONEBUS_FAULT_UNPLUG 0
#define VXPHONEBUS_FAULT_STALL 1
#define VXPHONEBUS_FAULT_ERROR 2
#define VXPHONEBUS_FAULT_BABBLE 3
#define VXPHONEBUS_FAULT_SHORT 4
#define VXPHONEBUS_FAULT_OVERSTATE 5
#define VXPHONEBUS_FAULT_CLEAR 0xFF

typedef struct _VXPHONEBUS_FAULT {
    unsigned long Interface;        // 0 modem, 1 diagnostics
    unsigned long Pipe;             // VXPHONEBUS_PIPE_*
    unsigned long Kind;             // VXPHONEBUS_FAULT_*
    unsigned long Skip;             // transfers to let through first
    unsigned long Count;            // transfers it hits; 0 until cleared
    long Status;                    // NTSTATUS, for an error
    long Usbd;                      // USBD_STATUS, for an error
    unsigned long Halt;             // an error also halts the endpoint
    unsigned long Value;            // bytes, for babble, short, overstate
} VXPHONEBUS_FAULT;

typedef struct _VXPHONEBUS_STATUS {
    unsigned long Plugged;          // 1 while the phone is on the bus
    unsigned long ChildrenAlive;    // interface PDOs not yet deleted
    unsigned long Submitted;        // URBs seen since load
    unsigned long BulkOutBytes[2];  // per interface: bytes the host sent
    unsigned long BulkInBytes[2];   // per interface: bytes handed to the host
    unsigned long ClassRequests;    // class requests carried out
    unsigned long Aborts;           // abort-pipe requests
    unsigned long Resets;           // reset-pipe requests
    unsigned long Cancels;          // transfers cancelled while pending
    unsigned long ModemCommands;    // AT command lines executed
    unsigned long ModemCalls;       // calls connected
    unsigned long FailedTransfers[2]; // per interface: transfers failed (not cancelled)
} VXPHONEBUS_STATUS;
