// Desktop equivalents of the Windows CE-only calls, linked into the module.
#include <timeward_backend.h>

static const DWORD READABLE = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                              PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
static const DWORD WRITABLE =
    PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

// TRUE when every page of the range is committed with one of the protections. A guarded copy
// must not write through WriteProcessMemory, which would write into read-only pages too.
static BOOL RangeAllows(LPCVOID pStart, DWORD cbSize, DWORD dwProtections) {
    const BYTE* pCur = (const BYTE*)pStart;
    const BYTE* pEnd = pCur + cbSize;
    if (pEnd < pCur) {
        return FALSE;
    }
    while (pCur < pEnd) {
        MEMORY_BASIC_INFORMATION mbi;
        if (VirtualQuery(pCur, &mbi, sizeof(mbi)) != sizeof(mbi) || mbi.State != MEM_COMMIT ||
            (mbi.Protect & (PAGE_GUARD | PAGE_NOACCESS)) != 0 ||
            (mbi.Protect & dwProtections) == 0) {
            return FALSE;
        }
        pCur = (const BYTE*)mbi.BaseAddress + mbi.RegionSize;
    }
    return TRUE;
}

extern "C" BOOL EventModify(HANDLE hEvent, DWORD func) {
    switch (func) {
        case EVENT_SET:
            return SetEvent(hEvent);
        case EVENT_RESET:
            return ResetEvent(hEvent);
        case EVENT_PULSE:
            return PulseEvent(hEvent);
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
    }
}

extern "C" void NKDbgPrintfW(LPCWSTR lpszFmt, ...) {
    if (lpszFmt != NULL) {
        OutputDebugStringW(lpszFmt);
    }
}

extern "C" BOOL CeSafeCopyMemory(LPVOID pDest, LPCVOID pSrc, DWORD cbSize) {
    if (cbSize == 0) {
        return TRUE;
    }
    if (pDest == NULL || pSrc == NULL || !RangeAllows(pSrc, cbSize, READABLE) ||
        !RangeAllows(pDest, cbSize, WRITABLE)) {
        return FALSE;
    }
    // A page may still change under us; ReadProcessMemory then fails rather than faults.
    SIZE_T cbDone = 0;
    return ReadProcessMemory(GetCurrentProcess(), pSrc, pDest, cbSize, &cbDone) && cbDone == cbSize;
}
