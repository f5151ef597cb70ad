// For compile checks off the device only: the console output of the C library, which the
// Windows CE backend's ConsoleWriteW writes with. Not a call of the driver's, so not in
// docs/developers.md's table: these are the C standard's forms, and how CE 5.0's stdio.h defines
// stdout and stderr (objects or macros) is not checked here.
#ifndef TIMEWARD_SDK_CHECK_STDIO_H
#define TIMEWARD_SDK_CHECK_STDIO_H

extern "C" {

typedef struct _FILE FILE;
extern FILE* stdout;
extern FILE* stderr;
int __cdecl fputws(const wchar_t* s, FILE* stream);

}  // extern "C"

#endif  // TIMEWARD_SDK_CHECK_STDIO_H
