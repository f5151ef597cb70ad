// Console output of programs on desktop Windows: wide text on a console, UTF-8 on a file or
// a pipe.
#include "platform.h"

extern "C" void ConsoleWriteW(BOOL fError, LPCWSTR pszText) {
    HANDLE hOut = GetStdHandle(fError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    if (pszText == NULL || hOut == NULL || hOut == INVALID_HANDLE_VALUE) {
        return;
    }
    DWORD cch = 0;
    while (pszText[cch]) {
        ++cch;
    }
    DWORD dwMode;
    DWORD dwDone;
    if (GetConsoleMode(hOut, &dwMode)) {
        WriteConsoleW(hOut, pszText, cch, &dwDone, NULL);
        return;
    }
    // A piece at a time, never splitting a surrogate pair.
    char szUtf8[768];
    while (cch > 0) {
        DWORD cchPiece = cch < 256 ? cch : 256;
        if (cchPiece < cch && pszText[cchPiece - 1] >= 0xD800 && pszText[cchPiece - 1] <= 0xDBFF) {
            --cchPiece;
        }
        int cb = WideCharToMultiByte(CP_UTF8, 0, pszText, (int)cchPiece, szUtf8, sizeof(szUtf8),
                                     NULL, NULL);
        if (cb <= 0 || !WriteFile(hOut, szUtf8, (DWORD)cb, &dwDone, NULL)) {
            return;
        }
        pszText += cchPiece;
        cch -= cchPiece;
    }
}
