// <windows.h> for Win32 programs built against the simulated machine: the
// kernel32 routines and types of platform/win32/win32.h (files, events,
// waits, serial ports) plus the everyday macros such programs use. Put this
// folder on the include path (the CMake target win32_headers does) and an
// unmodified Win32 serial program compiles and runs on Linux.
//
// Strings are narrow unless UNICODE is defined, as with the Windows headers.
// C++ programs get the kernel's own declarations underneath; a C program gets
// the same base types (same widths: DWORD and LONG 32 bits, WCHAR 16) here,
// since the simulated kernel's headers are C++.
#pragma once

#ifdef __cplusplus
#include "platform/win32/win32.h"
#else
#include <stddef.h>
#include <stdint.h>

_Static_assert(sizeof(wchar_t) == 2, "the host build needs -fshort-wchar: WCHAR is 16 bits");

#define NTAPI
#define VOID void
typedef char CHAR;
typedef unsigned char UCHAR;
typedef short SHORT;
typedef unsigned short USHORT;
typedef int32_t LONG;
typedef uint32_t ULONG, DWORD;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef UCHAR BOOLEAN;
typedef void* PVOID;
typedef PVOID HANDLE;
typedef LONG NTSTATUS;
typedef wchar_t WCHAR;
#define STATUS_PENDING ((NTSTATUS)0x00000103L)

#include "platform/win32/win32_api.h"
#endif

#include <string.h>

#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif


#ifdef UNICODE
typedef WCHAR TCHAR;
#define __TEXT(quote) L##quote
#else
typedef char TCHAR;
#define __TEXT(quote) quote
#endif
#define TEXT(quote) __TEXT(quote)
typedef TCHAR* LPTSTR;
typedef const TCHAR* LPCTSTR;
typedef TCHAR* PTSTR;
typedef const TCHAR* PCTSTR;

#define ZeroMemory(destination, length) memset((destination), 0, (length))
#define FillMemory(destination, length, fill) memset((destination), (fill), (length))
#define CopyMemory(destination, source, length) memcpy((destination), (source), (length))
#define MoveMemory(destination, source, length) memmove((destination), (source), (length))
#define SecureZeroMemory(destination, length) memset((destination), 0, (length))

#define LOBYTE(w) ((BYTE)(((DWORD_PTR)(w)) & 0xff))
#define HIBYTE(w) ((BYTE)((((DWORD_PTR)(w)) >> 8) & 0xff))
#define LOWORD(l) ((WORD)(((DWORD_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((DWORD_PTR)(l)) >> 16) & 0xffff))
#define MAKEWORD(a, b) ((WORD)(((BYTE)(a)) | ((WORD)((BYTE)(b))) << 8))
#define MAKELONG(a, b) ((LONG)(((WORD)(a)) | ((DWORD)((WORD)(b))) << 16))
#define ARRAYSIZE(a) (sizeof(a) / sizeof((a)[0]))
#define _countof(a) (sizeof(a) / sizeof((a)[0]))

#define lstrlenA(s) ((int)strlen(s))
#define lstrcpyA(d, s) strcpy((d), (s))
#define lstrcmpA(a, b) strcmp((a), (b))
#ifndef UNICODE
#define lstrlen lstrlenA
#define lstrcpy lstrcpyA
#define lstrcmp lstrcmpA
#endif
