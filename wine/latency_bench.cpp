// timeward-host's latency benchmark under Wine: the time from IOCTL_POWER_SET D4 to the end of
// the snapshot's flush, then what D4 requests and RTC_Deinit come to while another process waits
// on "SaveRTCEvent". Not a pass/fail case; tools/bench runs it as "timeward-host latency".
#include "harness.h"

#include <algorithm>

namespace harness {
namespace {

// Flushes of the module's key, counted by a wrapper around its RegFlushKey import.
LONG(WINAPI* g_real_flush)(HKEY) = nullptr;
volatile LONG g_flushes = 0;
HANDLE g_flush_event;

LONG WINAPI CountingRegFlushKey(HKEY key) {
    LONG rc = g_real_flush(key);
    InterlockedIncrement(&g_flushes);
    SetEvent(g_flush_event);
    return rc;
}

}  // namespace

void Latency(Module& m) {
    g_flush_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    g_real_flush = reinterpret_cast<LONG(WINAPI*)(HKEY)>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"advapi32.dll"), "RegFlushKey")));
    CHECK(g_real_flush != nullptr);
    CHECK(PatchImport(m.h, "ADVAPI32.dll", "RegFlushKey", (void*)&CountingRegFlushKey));
    CHECK(m.Init(L"Drivers\\Active\\42", nullptr) == 1);
    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    std::vector<double> us;
    LARGE_INTEGER t0, t1;
    for (int i = 0; i < 200 && !g_failures; ++i) {
        LONG before = g_flushes;
        QueryPerformanceCounter(&t0);
        m.Suspend();
        while (g_flushes == before) {
            if (WaitForSingleObject(g_flush_event, 10000) == WAIT_TIMEOUT) {
                CHECK(!"a D4 request got no flush within 10 s");
                break;
            }
        }
        QueryPerformanceCounter(&t1);
        us.push_back(static_cast<double>(t1.QuadPart - t0.QuadPart) * 1e6 /
                     static_cast<double>(freq.QuadPart));
    }
    CHECK(m.Deinit(1));
    std::sort(us.begin(), us.end());
    if (!us.empty()) {
        std::printf("D4 to flushed under Wine: median %.0f us, p99 %.0f us (%zu requests)\n",
                    us[us.size() / 2], us[us.size() * 99 / 100], us.size());
    }

    // A waiter may take signals meant for the saver: the snapshots go missing, and a Deinit whose
    // stop it took waits out the saver's five minutes, so that one is cut off at 30 s.
    // Started before the saver: where the two wait on one event, Wine wakes it first, so it
    // would take the first request and every other one after, and the stop.
    Child waiter("wait-event");
    CHECK(m.Init(L"Drivers\\Active\\42", nullptr) == 1);
    const int saved = CountLines(kSaved);
    for (int i = 0; i < 20; ++i) {
        m.Suspend();
        Sleep(150);
    }
    const int snapshots = CountLines(kSaved) - saved;
    QueryPerformanceCounter(&t0);
    const int deinit = m.DeinitWithin(30000);
    QueryPerformanceCounter(&t1);
    const DWORD taken = waiter.End();
    std::printf(
        "20 D4 requests 150 ms apart, another process waiting on SaveRTCEvent: "
        "%d snapshots (the waiter took %lu signals)\n",
        snapshots, taken);
    if (deinit < 0) {
        std::printf("RTC_Deinit while it waits: at least 30 s (it had not returned)\n");
    } else {
        std::printf("RTC_Deinit while it waits: %.1f ms\n",
                    static_cast<double>(t1.QuadPart - t0.QuadPart) * 1e3 /
                        static_cast<double>(freq.QuadPart));
    }
}

}  // namespace harness
