// timewardctl's output: lines on the console, errors on standard error.
#ifndef TIMEWARD_CTL_OUTPUT_H
#define TIMEWARD_CTL_OUTPUT_H

#include "text_line.h"

// The line, and a line break, on standard output.
void Print(const TEXT_LINE* pLine);
// The same, as a LINE_SINK.
void PrintLine(void* pContext, const TEXT_LINE* pLine);
// An error, and the line that says why (NULL: none), on standard error.
void PrintError(const TEXT_LINE* pLine, LPCWSTR pszWhy = NULL);

#endif  // TIMEWARD_CTL_OUTPUT_H
