// Host backend: the Windows CE types and COREDLL calls, provided by the simulated core library.
//
// This header is read by driver code compiled as C++03 (with a 16-bit wchar_t) and by the host
// library, tools and tests compiled as C++20 (with char16_t). Both spellings of a wide character
// are 16-bit unsigned code units, and every call is extern "C", so the two sides meet in one ABI.
//
// Where Windows CE 5.0 declares a call or a type otherwise than the desktop, and a compiler sees
// the difference, this header declares it as the device does (docs/developers.md, "The device's
// declarations"), so that what the device would not compile does not compile here either.
#ifndef TIMEWARD_HOST_BACKEND_H
#define TIMEWARD_HOST_BACKEND_H

#if defined(__cplusplus) && __cplusplus >= 201103L
typedef char16_t WCHAR;
#define TIMEWARD_WIDE(x) u##x
#else
typedef wchar_t WCHAR;
#define TIMEWARD_WIDE(x) L##x
#endif
#define TEXT(x) TIMEWARD_WIDE(x)

#define WINAPI
#define COREDLL_API extern "C" __attribute__((visibility("default")))

typedef int BOOL;
typedef unsigned char BYTE;
typedef unsigned char UCHAR;
typedef unsigned short WORD;
typedef unsigned int DWORD;  // 32 bits, as on Windows, not unsigned long
typedef int LONG;
typedef unsigned int UINT;
typedef unsigned long ULONG_PTR;
typedef DWORD REGSAM;
typedef BYTE* PBYTE;
typedef BYTE* LPBYTE;
typedef DWORD* PDWORD;
typedef DWORD* LPDWORD;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef void* HANDLE;
typedef WCHAR TCHAR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef const WCHAR* LPCTSTR;
typedef const char* LPCSTR;
typedef LONG* LPLONG;  // a plain LONG *: no volatile LONG's address converts to it

struct HKEY__;
typedef HKEY__* HKEY;
typedef HKEY* PHKEY;
struct HINSTANCE__;
typedef HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef DWORD(WINAPI* LPTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef int(WINAPI* FARPROC)(void);

// A lock that its owner may enter again. The library keeps the lock itself; the record holds
// its address from InitializeCriticalSection to DeleteCriticalSection.
typedef struct _CRITICAL_SECTION {
    LPVOID LockObject;
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;
    WORD wDayOfWeek;
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *LPSYSTEMTIME;

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME;

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL 0
#endif
#define INFINITE 0xFFFFFFFFU
#define MAX_PATH 260

#define HKEY_LOCAL_MACHINE ((HKEY)(ULONG_PTR)0x80000002UL)
#define KEY_ALL_ACCESS 0xF003FU
#define REG_NONE 0U
#define REG_SZ 1U
#define REG_EXPAND_SZ 2U
#define REG_BINARY 3U
#define REG_DWORD 4U
#define REG_MULTI_SZ 7U
#define REG_OPTION_NON_VOLATILE 0U
#define REG_CREATED_NEW_KEY 1U
#define REG_OPENED_EXISTING_KEY 2U

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_NOT_READY 21L
#define ERROR_WRITE_FAULT 29L
#define ERROR_GEN_FAILURE 31L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_KEY_DELETED 1018L
#define ERROR_DLL_INIT_FAILED 1114L

#define WAIT_OBJECT_0 0x00000000U
#define WAIT_TIMEOUT 0x00000102U
#define WAIT_FAILED 0xFFFFFFFFU
#define STILL_ACTIVE 0x00000103U
#define MAXIMUM_WAIT_OBJECTS 64

#define SYNCHRONIZE 0x00100000U
#define EVENT_MODIFY_STATE 0x00000002U
#define EVENT_ALL_ACCESS 0x001F0003U

#define EVENT_PULSE 1
#define EVENT_RESET 2
#define EVENT_SET 3

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

// The notification subsystem's events (notify.h).
#define NOTIFICATION_EVENT_NONE 0
#define NOTIFICATION_EVENT_TIME_CHANGE 1

// What of winioctl.h the Power Manager's codes are made of (CE 5.0's pm.h includes none of it).
#define FILE_DEVICE_ACPI 0x00000032
#define METHOD_BUFFERED 0
#define FILE_ANY_ACCESS 0
#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((DeviceType) << 16) | ((Access) << 14) | ((Function) << 2) | (Method))

#include "power_manager.h"

// Registry.
COREDLL_API LONG RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                               PHKEY phkResult);
COREDLL_API LONG RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD Reserved, LPWSTR lpClass,
                                 DWORD dwOptions, REGSAM samDesired,
                                 LPSECURITY_ATTRIBUTES lpSecurityAttributes, PHKEY phkResult,
                                 LPDWORD lpdwDisposition);
COREDLL_API LONG RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName, LPDWORD lpReserved,
                                  LPDWORD lpType, LPBYTE lpData, LPDWORD lpcbData);
COREDLL_API LONG RegSetValueExW(HKEY hKey, LPCWSTR lpValueName, DWORD Reserved, DWORD dwType,
                                const BYTE* lpData, DWORD cbData);
COREDLL_API LONG RegDeleteValueW(HKEY hKey, LPCWSTR lpValueName);
COREDLL_API LONG RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
COREDLL_API LONG RegFlushKey(HKEY hKey);
COREDLL_API LONG RegCloseKey(HKEY hKey);
// The subkey at dwIndex, in a stable order while the key is unchanged; ERROR_NO_MORE_ITEMS past
// the last. *lpcchName counts characters, the terminator in on the way in and out on the way out.
COREDLL_API LONG RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName, LPDWORD lpcchName,
                               LPDWORD lpReserved, LPWSTR lpClass, LPDWORD lpcchClass,
                               PFILETIME lpftLastWriteTime);

// Clock.
COREDLL_API void GetSystemTime(LPSYSTEMTIME lpSystemTime);
COREDLL_API BOOL SetSystemTime(const SYSTEMTIME* lpSystemTime);
COREDLL_API DWORD GetTickCount(void);

// Events, waits and threads.
// Security attributes must be NULL (ERROR_INVALID_PARAMETER otherwise).
COREDLL_API HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                BOOL bInitialState, LPCWSTR lpName);
// Opens with EVENT_ALL_ACCESS and no inheritance only (ERROR_INVALID_PARAMETER otherwise).
COREDLL_API HANDLE OpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName);
COREDLL_API BOOL EventModify(HANDLE hEvent, DWORD func);
// As on Windows CE, no exports of the core library but inline calls of EventModify.
inline BOOL SetEvent(HANDLE hEvent) {
    return EventModify(hEvent, EVENT_SET);
}
inline BOOL ResetEvent(HANDLE hEvent) {
    return EventModify(hEvent, EVENT_RESET);
}
inline BOOL PulseEvent(HANDLE hEvent) {
    return EventModify(hEvent, EVENT_PULSE);
}
COREDLL_API DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
// As on Windows CE, only a wait for any one of the objects: fWaitAll must be FALSE.
COREDLL_API DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL fWaitAll,
                                         DWORD dwMilliseconds);
COREDLL_API void Sleep(DWORD dwMilliseconds);
COREDLL_API HANDLE CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, DWORD dwStackSize,
                                LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                DWORD dwCreationFlags, LPDWORD lpThreadId);
// STILL_ACTIVE while the thread runs.
COREDLL_API BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode);
COREDLL_API BOOL CloseHandle(HANDLE hObject);
COREDLL_API void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
COREDLL_API void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
COREDLL_API void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
COREDLL_API void DeleteCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
COREDLL_API LONG InterlockedExchange(LPLONG Target, LONG Value);
COREDLL_API LONG InterlockedCompareExchange(LPLONG Destination, LONG Exchange, LONG Comperand);

// Debug output, last-error code, guarded copy, modules.
COREDLL_API void NKDbgPrintfW(LPCWSTR lpszFmt, ...);
COREDLL_API void SetLastError(DWORD dwErrCode);
COREDLL_API DWORD GetLastError(void);
COREDLL_API BOOL CeSafeCopyMemory(LPVOID pDest, LPCVOID pSrc, DWORD cbSize);
COREDLL_API BOOL DisableThreadLibraryCalls(HMODULE hLibModule);
COREDLL_API HMODULE LoadLibraryW(LPCWSTR lpLibFileName);
COREDLL_API FARPROC GetProcAddressW(HMODULE hModule, LPCWSTR lpProcName);
// As on Windows CE: the name is wide.
#define GetProcAddress GetProcAddressW
COREDLL_API BOOL FreeLibrary(HMODULE hLibModule);
// Called by a thread to drop a reference to the module its code lives in and end itself, so
// that no code of the module runs after the module may be unloaded. It does not return, but as
// on Windows CE it is not declared so: a function that ends in it still needs its return.
COREDLL_API void FreeLibraryAndExitThread(HMODULE hLibModule, DWORD dwExitCode);
COREDLL_API DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
COREDLL_API HMODULE GetModuleHandleW(LPCWSTR lpModuleName);

// The notification subsystem (notify.h): with NOTIFICATION_EVENT_TIME_CHANGE and an
// application name "\\.\Notifications\NamedEvents\NAME", sets the event NAME whenever the
// system time is set; NOTIFICATION_EVENT_NONE removes the name's registrations. An OS design
// may leave the component out, so callers find it with GetProcAddressW on the core library.
COREDLL_API BOOL CeRunAppAtEvent(TCHAR* pwszAppName, LONG lWhichEvent);

// A module's entry point, which the module defines and the loader calls: its instance handle
// is a HANDLE, as Windows CE declares it.
extern "C" BOOL WINAPI DllMain(HANDLE hinstDLL, DWORD dwReason, LPVOID lpvReserved);

// Console programs: writes wide text to standard output, or to standard error when fError.
COREDLL_API void ConsoleWriteW(BOOL fError, LPCWSTR pszText);

#endif  // TIMEWARD_HOST_BACKEND_H
