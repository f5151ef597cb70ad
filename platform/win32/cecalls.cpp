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

// Writes the decimal digits of dwValue at pszOut, as many as fit before pszEnd; returns the end
// of what was written.
static WCHAR* AppendDecimal(WCHAR* pszOut, const WCHAR* pszEnd, DWORD dwValue) {
    WCHAR szDigits[10];  // 4294967295
    int cDigits = 0;
    do {
        szDigits[cDigits++] = (WCHAR)(TEXT('0') + dwValue % 10);
        dwValue /= 10;
    } while (dwValue != 0);
    while (cDigits > 0 && pszOut < pszEnd) {
        *pszOut++ = szDigits[--cDigits];
    }
    return pszOut;
}

extern "C" void NKDbgPrintfW(LPCWSTR lpszFmt, ...) {
    if (lpszFmt == NULL) {
        return;
    }
    WCHAR szLine[256];
    WCHAR* pszOut = szLine;
    const WCHAR* const pszEnd = szLine + 255;  // the last place is the terminator's
    va_list args;
    va_start(args, lpszFmt);
    for (const WCHAR* pszIn = lpszFmt; *pszIn != 0 && pszOut < pszEnd; ++pszIn) {
        if (pszIn[0] == TEXT('%') && pszIn[1] == TEXT('u')) {
            pszOut = AppendDecimal(pszOut, pszEnd, va_arg(args, DWORD));
            ++pszIn;
        } else if (pszIn[0] == TEXT('%') && pszIn[1] == TEXT('%')) {
            *pszOut++ = TEXT('%');
            ++pszIn;
        } else {
            *pszOut++ = *pszIn;
        }
    }
    va_end(args);
    *pszOut = 0;
    OutputDebugStringW(szLine);
}

extern "C" FARPROC GetProcAddressW(HMODULE hModule, LPCWSTR lpProcName) {
    if (IS_INTRESOURCE(lpProcName)) {
        return GetProcAddress(hModule, (LPCSTR)lpProcName);
    }
    CHAR szName[256];
    DWORD i = 0;
    for (; lpProcName[i] != 0; ++i) {
        // Only ASCII is spelt the same in both widths; any other name is not found, not guessed.
        if (lpProcName[i] > 0x7F || i == sizeof(szName) - 1) {
            SetLastError(ERROR_PROC_NOT_FOUND);
            return NULL;
        }
        szName[i] = (CHAR)lpProcName[i];
    }
    szName[i] = 0;
    return GetProcAddress(hModule, szName);
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
