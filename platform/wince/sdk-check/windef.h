// For compile checks off the device only: the types of Windows CE 5.0's windef.h and of the
// winnt.h and basetsd.h it brings, those the driver and timewardctl use. Windows CE is Unicode
// throughout: TCHAR is WCHAR, a 16-bit wchar_t.
#ifndef TIMEWARD_SDK_CHECK_WINDEF_H
#define TIMEWARD_SDK_CHECK_WINDEF_H

// Row WINAPI: the device's headers define __stdcall as __cdecl, so WINAPI is __cdecl.
#define WINAPI __cdecl
// Row NKDbgPrintfW: WINAPIV is __cdecl.
#define WINAPIV __cdecl
// Row RegOpenKeyExW: the registry's calls are APIENTRY, which is WINAPI.
#define APIENTRY WINAPI

// Row Base types: Windows' own, the desktop's as well.
#define CONST const
#define VOID void
#ifndef NULL
#define NULL 0
#endif
#define FALSE 0
#define TRUE 1
#define MAX_PATH 260  // row Constants

#define __TEXT(quote) L##quote
#define TEXT(quote) __TEXT(quote)

// Row Base types.
typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned char UCHAR;
typedef unsigned short WORD;
typedef unsigned long DWORD;  // row DWORD, LONG
typedef long LONG;            // row DWORD, LONG
typedef unsigned int UINT;
typedef unsigned long ULONG_PTR;
typedef wchar_t WCHAR;
typedef WCHAR TCHAR;
typedef void* LPVOID;
typedef CONST void* LPCVOID;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;  // row LPBYTE
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef WCHAR* LPWSTR;
typedef CONST WCHAR* LPCWSTR;
typedef CONST TCHAR* LPCTSTR;
// Row LPLONG: a plain long *, far being empty. No volatile: a volatile LONG's address does not
// convert to it.
typedef long* LPLONG;

typedef void* HANDLE;  // row Base types
// Row HKEY, PHKEY: strict handles, each a type of its own; HINSTANCE too, which is why a
// DllMain with an HINSTANCE is not winbase.h's DllMain (row DllMain).
struct HKEY__ {
    int unused;
};
typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
struct HINSTANCE__ {
    int unused;
};
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;  // row Base types

typedef DWORD ACCESS_MASK;
typedef ACCESS_MASK REGSAM;  // row REGSAM

typedef int(WINAPI* FARPROC)();  // row GetProcAddressW

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME;  // row RegEnumKeyExW

#endif  // TIMEWARD_SDK_CHECK_WINDEF_H
