// Host build: the run-time library's string routines the drivers use.
#pragma once

// Pulled in before the renames below so that a later include of the C library
// header cannot collide with them.
#include <wchar.h>
// <cwchar> #undefs wcslen and swprintf; included here so that a later include
// (any standard header may pull it in) is a no-op and the renames below stay.
#include <cwchar>

extern "C" {
VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
VOID NTAPI RtlCopyUnicodeString(PUNICODE_STRING DestinationString,
                                PCUNICODE_STRING SourceString);
NTSTATUS NTAPI RtlAppendUnicodeToString(PUNICODE_STRING Destination, PCWSTR Source);
NTSTATUS NTAPI RtlAppendUnicodeStringToString(PUNICODE_STRING Destination,
                                              PCUNICODE_STRING Source);
NTSTATUS NTAPI RtlIntegerToUnicodeString(ULONG Value, ULONG Base, PUNICODE_STRING String);
VOID NTAPI RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);
LONG NTAPI RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                   BOOLEAN CaseInSensitive);
BOOLEAN NTAPI RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2,
                                    BOOLEAN CaseInSensitive);

// The C library's wide routines assume a 32-bit wchar_t on this host, so the
// simulation supplies the kernel's own (16-bit, and swprintf with the old
// unbounded signature that ntoskrnl exports).
size_t SimWcslen(const WCHAR* s);
int SimSwprintf(WCHAR* buffer, const WCHAR* format, ...);
}
#define wcslen(s) SimWcslen(s)
#define swprintf(...) SimSwprintf(__VA_ARGS__)
