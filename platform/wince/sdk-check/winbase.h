// For compile checks off the device only: Windows CE 5.0's winbase.h, the calls and types the
// driver and timewardctl use. Each is declared as the row of docs/developers.md's table "The
// device's declarations" named beside it gives it. Only the wide names are declared, and no
// generic name but GetProcAddress, which the device defines as GetProcAddressW.
#ifndef TIMEWARD_SDK_CHECK_WINBASE_H
#define TIMEWARD_SDK_CHECK_WINBASE_H

#include "windef.h"

// Row Constants, but where a row of a call says otherwise.
#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_TIMEOUT 258L
#define WAIT_FAILED 0xFFFFFFFF
#define MAXIMUM_WAIT_OBJECTS 64
#define SYNCHRONIZE 0x00100000L
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS 0x001F0003  // row OpenEventW: the one access the device opens with
#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1

// Row Base types.
typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

typedef DWORD(WINAPI* PTHREAD_START_ROUTINE)(LPVOID lpThreadParameter);
typedef PTHREAD_START_ROUTINE LPTHREAD_START_ROUTINE;  // row LPTHREAD_START_ROUTINE

// Row CRITICAL_SECTION: the device's layout; the desktop's fields are not there.
typedef struct CRITICAL_SECTION {
    unsigned int LockCount;
    HANDLE OwnerThread;
    HANDLE hCrit;
    DWORD needtrap;
    DWORD dwContentions;
} CRITICAL_SECTION, *LPCRITICAL_SECTION;

// Row Base types.
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

extern "C" {

// Rows InterlockedExchange, InterlockedCompareExchange, InterlockedIncrement / Decrement: real
// functions that COREDLL exports, no intrinsic and no macro, on a plain long *.
LONG WINAPI InterlockedExchange(LPLONG Target, LONG Value);
LONG WINAPI InterlockedCompareExchange(LPLONG Destination, LONG Exchange, LONG Comperand);
LONG WINAPI InterlockedIncrement(LPLONG lpAddend);
LONG WINAPI InterlockedDecrement(LPLONG lpAddend);

// Row CreateEventW: the security attributes must be NULL.
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                           BOOL bInitialState, LPCWSTR lpName);
// Row OpenEventW: the access must be EVENT_ALL_ACCESS, the inheritance FALSE.
HANDLE WINAPI OpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName);
// Row WaitForSingleObject.
DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
// Row WaitForMultipleObjects: fWaitAll must be FALSE.
DWORD WINAPI WaitForMultipleObjects(DWORD cObjects, CONST HANDLE* lphObjects, BOOL fWaitAll,
                                    DWORD dwTimeout);
// Row CloseHandle, Sleep, GetTickCount, GetLastError, SetLastError.
BOOL WINAPI CloseHandle(HANDLE hObject);
VOID WINAPI Sleep(DWORD dwMilliseconds);
DWORD WINAPI GetTickCount(VOID);
DWORD WINAPI GetLastError(VOID);
VOID WINAPI SetLastError(DWORD dwErrCode);

// Row GetSystemTime / SetSystemTime.
VOID WINAPI GetSystemTime(LPSYSTEMTIME lpSystemTime);
BOOL WINAPI SetSystemTime(CONST SYSTEMTIME* lpSystemTime);

// Row InitializeCriticalSection.
VOID WINAPI InitializeCriticalSection(LPCRITICAL_SECTION lpcsCriticalSection);
VOID WINAPI EnterCriticalSection(LPCRITICAL_SECTION lpcsCriticalSection);
VOID WINAPI LeaveCriticalSection(LPCRITICAL_SECTION lpcsCriticalSection);
VOID WINAPI DeleteCriticalSection(LPCRITICAL_SECTION lpcsCriticalSection);

// Row CreateThread: a DWORD stack size.
HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpsa, DWORD cbStack,
                           LPTHREAD_START_ROUTINE lpStartAddr, LPVOID lpvThreadParam,
                           DWORD fdwCreate, LPDWORD lpIDThread);

// Rows LoadLibraryW, FreeLibraryAndExitThread (no no-return attribute: a function that ends in
// it still needs its return), GetModuleFileNameW, GetProcAddressW.
HINSTANCE WINAPI LoadLibraryW(LPCWSTR lpLibFileName);
BOOL WINAPI FreeLibrary(HMODULE hLibModule);
VOID WINAPI FreeLibraryAndExitThread(HMODULE hLibModule, DWORD dwExitCode);
DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize);
HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName);
FARPROC WINAPI GetProcAddressW(HMODULE hModule, LPCWSTR lpProcName);
#define GetProcAddress GetProcAddressW
BOOL WINAPI DisableThreadLibraryCalls(HMODULE hLibModule);

// Row DllMain: declared here, with a HANDLE; a module's own declaration or definition must
// match it.
BOOL WINAPI DllMain(HANDLE hinstDLL, DWORD dwReason, LPVOID lpvReserved);

}  // extern "C"

#endif  // TIMEWARD_SDK_CHECK_WINBASE_H
