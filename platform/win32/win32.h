// User-mode Win32 over the simulated I/O manager: the kernel32 routines a
// serial program calls, with their Windows names, types and error codes, so
// that unmodified Win32 serial code compiles and runs against the simulated
// machine. Each call sends exactly the requests kernel32 sends (CreateFile:
// IRP_MJ_CREATE only; CloseHandle: CLEANUP then CLOSE; ReadFile: one
// IRP_MJ_READ of the length asked, zero included).
//
// Time is the simulation's: WaitForSingleObject's timeout and Sleep run on the
// virtual clock, and every wait lets the rest of the machine run.
//
// Include after (or instead of) platform/kernel.h; it reuses the kernel's base
// types (DWORD, HANDLE, ULONG_PTR) and adds only what user mode has on top.
#pragma once

#include "platform/kernel.h"
#include "platform/win32/win32_api.h"

namespace sim {
// Win32 handles still open (files and events), for end-of-test checks.
size_t Win32OpenHandles();
// What Windows does to a process's handles when it exits: cancels the I/O
// still pending on each file handle, then closes every handle (a file's
// CLEANUP and CLOSE reach its driver). Returns how many there were.
size_t Win32CloseAtExit();
} // namespace sim
