// <tchar.h> for Win32 programs built against the simulated machine: the
// generic-text names mapped to the narrow C library. Only the narrow mapping
// is offered: the host build's WCHAR is 16 bits (-fshort-wchar) and the C
// library's wide routines do not work on it, so a program compiled with
// _UNICODE is refused here rather than miscompiled.
#pragma once

#ifdef _UNICODE
#error "tchar.h: only the narrow generic-text mapping is available in the simulated machine"
#endif

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifndef __TEXT
typedef char TCHAR;
#endif
typedef char _TCHAR;
typedef unsigned char _TUCHAR;
typedef int _TINT;
#define _TEOF EOF

#define _T(x) x
#define _TEXT(x) x

#define _tmain main
#define _tprintf printf
#define _ftprintf fprintf
#define _stprintf sprintf
#define _sntprintf snprintf
#define _vtprintf vprintf
#define _vftprintf vfprintf
#define _vstprintf vsprintf
#define _vsntprintf vsnprintf
#define _tscanf scanf
#define _stscanf sscanf
#define _fgetts fgets
#define _fputts fputs
#define _puttc putc
#define _puttchar putchar
#define _gettc getc
#define _gettchar getchar
#define _tfopen fopen
#define _tcslen strlen
#define _tcscpy strcpy
#define _tcsncpy strncpy
#define _tcscat strcat
#define _tcsncat strncat
#define _tcscmp strcmp
#define _tcsncmp strncmp
#define _tcsicmp strcasecmp
#define _tcsnicmp strncasecmp
#define _tcschr strchr
#define _tcsrchr strrchr
#define _tcsstr strstr
#define _tcstok strtok
#define _tcsdup strdup
#define _tcstol strtol
#define _tcstoul strtoul
#define _tcstod strtod
#define _ttoi atoi
#define _ttol atol
#define _istdigit isdigit
#define _istspace isspace
#define _istalpha isalpha
#define _istprint isprint
#define _totupper toupper
#define _totlower tolower
#define _stricmp strcasecmp
#define _strnicmp strncasecmp
