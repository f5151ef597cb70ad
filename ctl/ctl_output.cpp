// timewardctl's output: lines on the console, errors on standard error.
#include "ctl_output.h"

#include "platform.h"

void Print(const TEXT_LINE* pLine) {
    ConsoleWriteW(FALSE, pLine->sz);
    ConsoleWriteW(FALSE, TEXT("\n"));
}

void PrintLine(void*, const TEXT_LINE* pLine) {
    Print(pLine);
}

void PrintError(const TEXT_LINE* pLine, LPCWSTR pszWhy) {
    ConsoleWriteW(TRUE, TEXT("timewardctl: "));
    ConsoleWriteW(TRUE, pLine->sz);
    ConsoleWriteW(TRUE, TEXT("\n"));
    if (pszWhy != NULL) {
        ConsoleWriteW(TRUE, TEXT("  "));
        ConsoleWriteW(TRUE, pszWhy);
        ConsoleWriteW(TRUE, TEXT("\n"));
    }
}
