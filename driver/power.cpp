// Answers the Power Manager's requests through RTC_IOControl.
//
// Caller memory is touched only through CeSafeCopyMemory, after explicit checks for absent
// pointers, so no request faults: a buffer that cannot be read or written fails the request.
#include "power.h"

#include "saver.h"
#include "timeward.h"

// The record the Power Manager expects: 48 bytes on every platform.
typedef char POWER_CAPABILITIES_IS_48_BYTES[sizeof(POWER_CAPABILITIES) == 48 ? 1 : -1];

// The device knows D0 and D4; every other field is zero.
static const POWER_CAPABILITIES POWER_CAPS = {DX_MASK(D0) | DX_MASK(D4), 0, 0, {0, 0, 0, 0, 0},
                                              {0, 0, 0, 0, 0},           0};

// Touched only through the Interlocked calls, which take a plain LONG * on Windows CE 5.0.
static LONG g_lPowerState = D0;

extern "C" void ResetPowerState(void) {
    InterlockedExchange(&g_lPowerState, D0);
}

static BOOL StoreCount(PDWORD pdwActualOut, DWORD dwCount) {
    return CeSafeCopyMemory(pdwActualOut, &dwCount, sizeof(dwCount));
}

static BOOL GetCapabilities(PBYTE pBufOut, DWORD dwLenOut, PDWORD pdwActualOut) {
    // Some Windows CE SDKs declare the source of CeSafeCopyMemory without const; it only reads.
    if (pBufOut == NULL || dwLenOut < sizeof(POWER_CAPS) ||
        !CeSafeCopyMemory(pBufOut, (LPVOID)&POWER_CAPS, sizeof(POWER_CAPS))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (pdwActualOut != NULL && !StoreCount(pdwActualOut, sizeof(POWER_CAPS))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

// The requested state comes in the out buffer, which also carries the answer back. Failures
// set no error code; a save already requested and a state already written back stay, but the
// state is recorded only when the request succeeds.
static BOOL SetPowerState(PBYTE pBufOut, DWORD dwLenOut, PDWORD pdwActualOut) {
    DWORD dwState;
    if (pBufOut == NULL || dwLenOut < sizeof(dwState)) {
        return FALSE;
    }
    if (!CeSafeCopyMemory(&dwState, pBufOut, sizeof(dwState))) {
        return FALSE;
    }
    // Unsigned: PwrDeviceUnspecified (-1) is as invalid as 5.
    if (dwState > (DWORD)D4) {
        return FALSE;
    }
    // Any low-power state is D4 to this driver, and the moment to take a snapshot.
    if (dwState != (DWORD)D0) {
        RequestSave();
        dwState = D4;
    }
    if (!CeSafeCopyMemory(pBufOut, &dwState, sizeof(dwState)) || pdwActualOut == NULL ||
        !StoreCount(pdwActualOut, sizeof(dwState))) {
        return FALSE;
    }
    // Only a request that succeeded changes the state that IOCTL_POWER_GET reports. D0 after a
    // low-power state is a resume: the tick count stood still while the clock ran on.
    if (InterlockedExchange(&g_lPowerState, (LONG)dwState) == D4 && dwState == (DWORD)D0) {
        NoteResume();
    }
    return TRUE;
}

static BOOL GetPowerState(PBYTE pBufOut, DWORD dwLenOut, PDWORD pdwActualOut) {
    DWORD dwState = (DWORD)InterlockedCompareExchange(&g_lPowerState, 0, 0);
    if (pdwActualOut == NULL || pBufOut == NULL || dwLenOut < sizeof(dwState) ||
        !CeSafeCopyMemory(pBufOut, &dwState, sizeof(dwState)) ||
        !StoreCount(pdwActualOut, sizeof(dwState))) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}

extern "C" BOOL RTC_IOControl(DWORD hOpenContext, DWORD dwCode, PBYTE pBufIn, DWORD dwLenIn,
                              PBYTE pBufOut, DWORD dwLenOut, PDWORD pdwActualOut) {
    (void)hOpenContext;
    (void)pBufIn;
    (void)dwLenIn;
    switch (dwCode) {
        case IOCTL_POWER_CAPABILITIES:
            return GetCapabilities(pBufOut, dwLenOut, pdwActualOut);
        case IOCTL_POWER_SET:
            return SetPowerState(pBufOut, dwLenOut, pdwActualOut);
        case IOCTL_POWER_GET:
            return GetPowerState(pBufOut, dwLenOut, pdwActualOut);
        default:
            return FALSE;  // IOCTL_POWER_QUERY among them; no error code
    }
}
