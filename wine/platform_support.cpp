// The platform cases' needs on desktop Windows.
#include "platform_support.h"

#include "harness.h"

#include <cstdio>

bool HoldNameWithAMutex(LPCWSTR name) {
    return CreateMutexW(nullptr, FALSE, name) != nullptr;
}

bool MoveTickCountTo(DWORD) {
    return false;
}

// another_process.exe, next to the cases' own program.
HANDLE StartAnotherProcess() {
    WCHAR path[MAX_PATH + 32];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return nullptr;
    DWORD dir = n;
    while (dir > 0 && path[dir - 1] != L'\\' && path[dir - 1] != L'/')
        --dir;
    lstrcpyW(path + dir, L"another_process.exe");
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(path, nullptr, nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
        return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

DWORD EndOfAnotherProcess(HANDLE process) {
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process, 10000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return code;
}

namespace {

DWORD WINAPI RunBody(LPVOID body) {
    reinterpret_cast<void (*)()>(body)();
    return 0;
}

}  // namespace

uint64_t RunOnTwoThreads(void (*before)(), void (*body)(), std::string (*after)()) {
    const uint64_t kRuns = 100;
    for (uint64_t run = 0; run < kRuns; ++run) {
        before();
        HANDLE threads[2];
        for (HANDLE& t : threads)
            t = CreateThread(nullptr, 0, RunBody, reinterpret_cast<LPVOID>(body), 0, nullptr);
        const bool ended = threads[0] && threads[1] &&
                           WaitForMultipleObjects(2, threads, TRUE, 10000) == WAIT_OBJECT_0;
        for (HANDLE t : threads) {
            if (t)
                CloseHandle(t);
        }
        const std::string what = ended ? after() : "its threads did not start or did not end";
        if (!what.empty()) {
            std::fprintf(stderr, "run %llu of two threads: %s\n",
                         static_cast<unsigned long long>(run + 1), what.c_str());
            return 0;
        }
    }
    return kRuns;
}

TestPages MapTestPages() {
    TestPages pages;
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    const DWORD size = info.dwPageSize;
    // Reserved and never committed, the fourth page is mapped to nothing.
    BYTE* at = static_cast<BYTE*>(VirtualAlloc(nullptr, 4 * size, MEM_RESERVE, PAGE_NOACCESS));
    DWORD old = 0;
    if (!at || !VirtualAlloc(at, 3 * size, MEM_COMMIT, PAGE_READWRITE) ||
        !VirtualProtect(at + size, size, PAGE_READONLY, &old) ||
        !VirtualProtect(at + 2 * size, size, PAGE_NOACCESS, &old)) {
        if (at)
            VirtualFree(at, 0, MEM_RELEASE);
        return pages;
    }
    pages = {at, at + size, at + 2 * size, at + 3 * size, size};
    return pages;
}

void UnmapTestPages(const TestPages& pages) {
    if (pages.writable)
        VirtualFree(pages.writable, 0, MEM_RELEASE);
}

int ReadProcessMemoryAnswer(LPVOID dest, LPCVOID src, DWORD cb) {
    SIZE_T done = 0;
    return ReadProcessMemory(GetCurrentProcess(), src, dest, cb, &done) && done == cb ? 1 : 0;
}

bool UnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version");
}

// The harness's vectored handler for the debug-print exceptions catches the lines.
void CatchDebugLines() {
    harness::CatchDebugLines();
}

int CountDebugLines(const std::string& text) {
    return harness::CountLines(text);
}

bool FormatWithThePlatform(LPCWSTR format, DWORD value, std::basic_string<WCHAR>* out) {
    WCHAR text[1025];  // wsprintfW writes at most 1024 characters and the terminator
    const int n = wsprintfW(text, format, value);
    if (n < 0)
        return false;
    out->assign(text, static_cast<size_t>(n));
    return true;
}
