// The platform cases' needs on the host: the simulated kernel has no mutexes, so a name taken
// by another kind of object stands for one; its tick count is virtual time, which a case moves
// on; its loader looks for modules on a search path; another process is a simulated thread;
// and two threads' contention is explored schedule by schedule.
#include "platform_support.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

#include "coredll_sim.h"
#include "explore.h"
#include "other_process.h"

bool HoldNameWithAMutex(LPCWSTR name) {
    coredll::threads::TakeName(name);
    return true;
}

bool MoveTickCountTo(DWORD ticks) {
    const uint64_t now = coredll::clock::NowMs();
    coredll::clock::Advance((ticks - static_cast<DWORD>(now)) & 0xFFFFFFFFu);
    return true;
}

namespace {

// LoadLibraryW looks for the driver's module where the build puts it.
const bool kSearchPathSet = [] {
    coredll::modules::SetSearchPath(TIMEWARD_MODULE_DIR);
    return true;
}();

DWORD WINAPI OtherProcessThread(LPVOID) {
    return OtherProcessMain();
}

}  // namespace

HANDLE StartAnotherProcess() {
    return CreateThread(nullptr, 0, OtherProcessThread, nullptr, 0, nullptr);
}

DWORD EndOfAnotherProcess(HANDLE process) {
    DWORD code = STILL_ACTIVE;
    if (WaitForSingleObject(process, 10000) == WAIT_OBJECT_0)
        GetExitCodeThread(process, &code);
    CloseHandle(process);
    return code;
}

uint64_t RunOnTwoThreads(void (*before)(), void (*body)(), std::string (*after)()) {
    coredll::explore::Program p{"two-threads", before, {body, body}, nullptr, after};
    coredll::explore::Bounds b;
    b.preemptions = 2;
    b.depth_first_runs = 100000;
    const coredll::explore::Report r = coredll::explore::Explore(p, b);
    return r.exhausted ? r.depth_first_runs : 0;
}

TestPages MapTestPages() {
    TestPages pages;
    const size_t size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void* base =
        mmap(nullptr, 3 * size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED)
        return pages;
    BYTE* at = static_cast<BYTE*>(base);
    if (mprotect(at + size, size, PROT_READ) != 0 ||
        mprotect(at + 2 * size, size, PROT_NONE) != 0) {
        munmap(base, 3 * size);
        return pages;
    }
    // Not a page unmapped after ours: the next mapping anyone makes (the sanitizers' allocators
    // do, at any call) may take it. Linux maps nothing below vm.mmap_min_addr (64 KiB).
    BYTE* const never_mapped = reinterpret_cast<BYTE*>(std::uintptr_t{4096});
    pages = {at, at + size, at + 2 * size, never_mapped, static_cast<DWORD>(size)};
    return pages;
}

void UnmapTestPages(const TestPages& pages) {
    if (pages.writable)
        munmap(pages.writable, 3 * static_cast<size_t>(pages.size));
}

int ReadProcessMemoryAnswer(LPVOID, LPCVOID, DWORD) {
    return -1;
}

bool UnderWine() {
    return false;
}

void CatchDebugLines() {
    coredll::debug::EchoToStderr(false);
    coredll::debug::Clear();
}

int CountDebugLines(const std::string& text) {
    const std::vector<std::string> lines = coredll::debug::Texts();
    return static_cast<int>(std::count(lines.begin(), lines.end(), text));
}

bool FormatWithThePlatform(LPCWSTR, DWORD, std::basic_string<WCHAR>*) {
    return false;
}
