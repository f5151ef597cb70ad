// What the platform cases need of a backend beyond the platform's own calls, one source per
// backend: the host's uses the simulation's controls, the Win32 one the Win32 calls.
#ifndef TIMEWARD_TESTS_PLATFORM_SUPPORT_H
#define TIMEWARD_TESTS_PLATFORM_SUPPORT_H

#include <platform.h>

#include <cstdint>
#include <string>

// Gives `name` to a mutex held until the process ends; false when it cannot.
bool HoldNameWithAMutex(LPCWSTR name);
// Moves the tick count on to `ticks`, no thread waiting; false where it cannot be moved.
bool MoveTickCountTo(DWORD ticks);

// Starts another process that runs OtherProcessMain (other_process.h): on Win32 a process of its
// own; on the host a simulated thread, since the simulated kernel, as Windows CE's, holds the
// named objects of every process in one place (timeward-sim runs another process's calls so).
// Null when it cannot start.
HANDLE StartAnotherProcess();
// Waits for its end and closes it: its exit code, or STILL_ACTIVE when it does not end.
DWORD EndOfAnotherProcess(HANDLE process);

// Runs `body` on two threads at once, after `before`, and returns the number of runs: on the
// host under the deterministic scheduler, once for each schedule within two preemptions (a run
// whose `after` returns a message ends the process with it and the schedule); on Win32, where
// no scheduler can be chosen, a hundred times on two real threads (a message fails the case
// there too: the run count is then 0).
uint64_t RunOnTwoThreads(void (*before)(), void (*body)(), std::string (*after)());

// Three pages in a row: readable and writable, read-only, and one that no access reaches; and
// a page that is not mapped at all. Null pages when they cannot be had.
struct TestPages {
    BYTE* writable = nullptr;
    BYTE* read_only = nullptr;
    BYTE* no_access = nullptr;
    BYTE* unmapped = nullptr;
    DWORD size = 0;
};
TestPages MapTestPages();
void UnmapTestPages(const TestPages& pages);
// The platform's own answer to reading `cb` bytes at `src` into `dest`: on Win32 whether
// ReadProcessMemory on this process reads them all; -1 where there is none to ask (the host).
int ReadProcessMemoryAnswer(LPVOID dest, LPCVOID src, DWORD cb);

// Whether the platform is Wine, whose answers differ from Windows' in a few places.
bool UnderWine();

// The platform's debug lines, caught from now on; how many caught were `text` (ASCII).
void CatchDebugLines();
int CountDebugLines(const std::string& text);
// `format` with one DWORD formatted by the platform's own formatter (Win32's wsprintfW); false
// where there is none (the host, whose only formatter is the debug line's own).
bool FormatWithThePlatform(LPCWSTR format, DWORD value, std::basic_string<WCHAR>* out);

#endif  // TIMEWARD_TESTS_PLATFORM_SUPPORT_H
