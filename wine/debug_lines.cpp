// The Wine harness's debug lines: the driver's debug prints, caught and counted.
#include "harness.h"

#include <algorithm>

namespace harness {
namespace {

CRITICAL_SECTION g_lines_lock;
std::vector<std::string> g_lines;
HANDLE g_line_event;

LONG CALLBACK CatchDebugPrint(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* r = info->ExceptionRecord;
    std::string text;
    if (r->ExceptionCode == 0x40010006 && r->NumberParameters >= 2) {  // DBG_PRINTEXCEPTION_C
        text.assign(reinterpret_cast<const char*>(r->ExceptionInformation[1]));
    } else if (r->ExceptionCode == 0x4001000A && r->NumberParameters >= 2) {  // the wide one
        for (const wchar_t* w = reinterpret_cast<const wchar_t*>(r->ExceptionInformation[1]); *w;
             ++w) {
            text.push_back(static_cast<char>(*w));
        }
    } else {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    EnterCriticalSection(&g_lines_lock);
    g_lines.push_back(text);
    LeaveCriticalSection(&g_lines_lock);
    SetEvent(g_line_event);
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

void CatchDebugLines() {
    InitializeCriticalSection(&g_lines_lock);
    g_line_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    AddVectoredExceptionHandler(1, CatchDebugPrint);
}

int CountLines(const std::string& text) {
    EnterCriticalSection(&g_lines_lock);
    int n = static_cast<int>(std::count(g_lines.begin(), g_lines.end(), text));
    LeaveCriticalSection(&g_lines_lock);
    return n;
}

// Waits, without polling, until `text` has been written `count` times; false after 10 s.
bool WaitForLines(const std::string& text, int count) {
    const DWORD deadline = GetTickCount() + 10000;
    while (CountLines(text) < count) {
        DWORD now = GetTickCount();
        if (static_cast<LONG>(deadline - now) <= 0)
            return false;
        WaitForSingleObject(g_line_event, deadline - now);
    }
    return true;
}

}  // namespace harness
