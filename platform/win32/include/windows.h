// <windows.h> for Win32 programs built against the simulated machine: the
// kernel32 routines and types of platform/win32/win32.h (files, events,
// waits, serial ports) plus the everyday macros such programs use. Put this
// folder on the include path (the CMake target win32_headers does) and an
// unmodified Win32 serial program compiles and runs on Linux.
//
// Strings are narrow unless UNICODE is defined, as with the Windows headers.
// Programs are compiled as C++ (the simulated kernel's headers are C++).
#pragma once

#include "platform/win32/win32.h"

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
