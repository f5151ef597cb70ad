// timeward-host's cases: what the Device Manager and the Power Manager do to the module, and
// what must follow.
#include "harness.h"

#include <cstring>

namespace harness {
namespace {

void FirstBoot(Module& m) {
    SetClock(Date(2026, 12, 8, 9, 30, 0));
    CHECK(m.Init(L"Drivers\\Active\\42", nullptr) == 1);
    CHECK(CountLines(kNoSnapshot) == 1);
    HANDLE named = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"SaveRTCEvent");
    CHECK(named != nullptr);
    if (named)
        CloseHandle(named);
    CHECK(m.Deinit(1));
    CHECK(CountLines(kSaved) == 1);  // the last snapshot, taken before Deinit returns
    SYSTEMTIME st;
    CHECK(StoredSnapshot(&st));
    CHECK(SameTime(st, Date(2026, 12, 8, 9, 30, 0)));
    CHECK(g_set_calls.empty());
    m.Unload();
    CHECK(GetModuleHandleW(L"Timeward.dll") == nullptr);
}

void Restore(Module& m, int ahead_seconds) {
    SYSTEMTIME now = Date(2026, 12, 8, 9, 30, 0);
    SetClock(now);
    SYSTEMTIME snap = FromTicks(ToTicks(now) + static_cast<ULONGLONG>(ahead_seconds) * 10000000);
    StoreSnapshot(snap);
    CHECK(m.Init(L"Drivers\\Active\\42", nullptr) == 1);
    const bool restored = ahead_seconds > 300;
    CHECK(CountLines(kRestore) == (restored ? 1 : 0));
    CHECK(g_set_calls.size() == (restored ? 1u : 0u));
    if (restored && !g_set_calls.empty())
        CHECK(SameTime(g_set_calls[0], snap));
    CHECK(m.Deinit(1));
}

void SwitchOff(Module& m) {
    SetDword(L"TimewardImplemented", 1);
    CHECK(m.Init(L"Drivers\\Active\\42", nullptr) == 0);
    CHECK(CountLines(kOff) == 1);
    CHECK(OpenEventW(EVENT_MODIFY_STATE, FALSE, L"SaveRTCEvent") == nullptr);
    SYSTEMTIME st;
    CHECK(!StoredSnapshot(&st));
    m.Unload();
}

// Pages the driver cannot write or read: each request fails, and nothing faults.
void UnreachableBuffersFailWithoutAFault(Module& m) {
    BYTE caps[48];
    DWORD actual = 0, state = 0;
    BYTE* ro = static_cast<BYTE*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
    BYTE* none = static_cast<BYTE*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_NOACCESS));
    std::memset(ro, 0xA5, 4096);
    DWORD old;
    VirtualProtect(ro, 4096, PAGE_READONLY, &old);
    for (BYTE* bad : {ro, none}) {
        CHECK(!m.IOControl(1, kIoctlCaps, nullptr, 0, bad, 48, &actual));
        CHECK(!m.IOControl(1, kIoctlGet, nullptr, 0, bad, 4, &actual));
        CHECK(!m.IOControl(1, kIoctlCaps, nullptr, 0, caps, 48, reinterpret_cast<DWORD*>(bad)));
        state = 0;
        CHECK(!m.IOControl(1, kIoctlSet, nullptr, 0, reinterpret_cast<PBYTE>(&state), 4,
                           reinterpret_cast<DWORD*>(bad)));
    }
    CHECK(!m.IOControl(1, kIoctlSet, nullptr, 0, none, 4, &actual));
    for (int i = 0; i < 4096; ++i) {
        if (ro[i] != 0xA5) {
            CHECK(ro[i] == 0xA5);
            break;
        }
    }
}

void PowerRequests(Module& m) {
    CHECK(m.Init(L"Drivers\\Active\\42", nullptr) == 1);
    BYTE caps[64];
    std::memset(caps, 0xEE, sizeof caps);
    DWORD actual = 0;
    SetLastError(0);
    CHECK(!m.IOControl(1, kIoctlCaps, nullptr, 0, caps, 47, &actual));
    CHECK(GetLastError() == ERROR_INVALID_PARAMETER);
    CHECK(m.IOControl(1, kIoctlCaps, nullptr, 0, caps, 64, &actual));
    CHECK(actual == 48 && caps[0] == 0x11 && caps[1] == 0 && caps[47] == 0 && caps[48] == 0xEE);

    DWORD state = 0;
    CHECK(m.IOControl(1, kIoctlSet, nullptr, 0, reinterpret_cast<PBYTE>(&state), 4, &actual));
    CHECK(state == 0 && actual == 4);
    state = 3;
    CHECK(m.IOControl(1, kIoctlSet, nullptr, 0, reinterpret_cast<PBYTE>(&state), 4, &actual));
    CHECK(state == 4);
    CHECK(WaitForLines(kSaved, 1));
    state = 5;
    SetLastError(0xBEEF);
    CHECK(!m.IOControl(1, kIoctlSet, nullptr, 0, reinterpret_cast<PBYTE>(&state), 4, &actual));
    CHECK(GetLastError() == 0xBEEF && state == 5);
    DWORD got = 0;
    CHECK(m.IOControl(1, kIoctlGet, nullptr, 0, reinterpret_cast<PBYTE>(&got), 4, &actual));
    CHECK(got == 4);
    for (DWORD low : {1u, 2u, 4u}) {
        state = low;
        CHECK(m.IOControl(1, kIoctlSet, nullptr, 0, reinterpret_cast<PBYTE>(&state), 4, &actual));
        CHECK(state == 4 && actual == 4);
    }
    CHECK(WaitForLines(kSaved, 2));
    for (DWORD bad : {0xFFFFFFFFu, 5u}) {
        state = bad;
        SetLastError(0xBEEF);
        CHECK(!m.IOControl(1, kIoctlSet, nullptr, 0, reinterpret_cast<PBYTE>(&state), 4, &actual));
        CHECK(GetLastError() == 0xBEEF && state == bad);
    }
    state = 1;
    SetLastError(0xBEEF);
    CHECK(!m.IOControl(1, kIoctlSet, nullptr, 0, reinterpret_cast<PBYTE>(&state), 3, &actual));
    CHECK(!m.IOControl(1, kIoctlSet, nullptr, 0, nullptr, 4, &actual));
    CHECK(GetLastError() == 0xBEEF);
    state = 3;  // no byte-count pointer: the save is requested, the answer written, yet FALSE
    CHECK(!m.IOControl(1, kIoctlSet, nullptr, 0, reinterpret_cast<PBYTE>(&state), 4, nullptr));
    CHECK(state == 4 && GetLastError() == 0xBEEF);
    SetLastError(0);
    CHECK(!m.IOControl(1, kIoctlGet, nullptr, 0, reinterpret_cast<PBYTE>(&got), 4, nullptr));
    CHECK(GetLastError() == ERROR_INVALID_PARAMETER);
    SetLastError(0);
    CHECK(!m.IOControl(1, kIoctlCaps, nullptr, 0, nullptr, 48, &actual));
    CHECK(GetLastError() == ERROR_INVALID_PARAMETER);
    CHECK(m.IOControl(1, kIoctlCaps, nullptr, 0, caps, 48, nullptr));

    UnreachableBuffersFailWithoutAFault(m);
    CHECK(!m.IOControl(1, 0x00321004, nullptr, 0, reinterpret_cast<PBYTE>(&state), 4, &actual));
    CHECK(WaitForLines(kNoNotifications, 1));  // the saver registers a second after it starts
    CHECK(m.Deinit(1));
    CHECK(CountLines(kSaved) >= 3);
    CHECK(CountLines(kNoNotifications) == 1);  // the saver's, once: not at each of its wakes
}

// Another process opens "SaveRTCEvent" by name and sets it.
void NamedEvent(Module& m) {
    CHECK(m.Init(L"Drivers\\Active\\42", nullptr) == 1);
    SetClock(Date(2026, 12, 8, 11, 0, 0));
    CHECK(Child("set-event").End() == 0);
    CHECK(WaitForLines(kSaved, 1));
    SYSTEMTIME st;
    CHECK(StoredSnapshot(&st) && SameTime(st, Date(2026, 12, 8, 11, 0, 0)));
    CHECK(m.Deinit(1));
}

// The child's signals: it is ready; it is to end.
const wchar_t kChildReady[] = L"TimewardHostChildReady";
const wchar_t kChildDone[] = L"TimewardHostChildDone";

}  // namespace

int PlayChild(const char* role) {
    if (std::strcmp(role, "set-event") == 0) {
        HANDLE e = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"SaveRTCEvent");
        return e && SetEvent(e) ? 0 : kChildFailed;
    }
    const bool hold = std::strcmp(role, "hold-event") == 0;
    if (!hold && std::strcmp(role, "wait-event") != 0)
        return kNotAChild;
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, kChildReady);
    HANDLE done = OpenEventW(SYNCHRONIZE, FALSE, kChildDone);
    // The holder makes its own; the waiter takes the event as it finds it.
    HANDLE save = CreateEventW(nullptr, hold, hold, L"SaveRTCEvent");
    if (!ready || !done || !save || (hold && GetLastError() == ERROR_ALREADY_EXISTS))
        return kChildFailed;
    SetEvent(ready);
    HANDLE events[] = {done, save};
    for (int taken = 0;; ++taken) {
        const DWORD woke = WaitForMultipleObjects(hold ? 1 : 2, events, FALSE, 60000);
        if (woke != WAIT_OBJECT_0 + 1)
            return woke == WAIT_OBJECT_0 ? taken : kChildFailed;
    }
}

Child::Child(const char* role) {
    ready = CreateEventW(nullptr, TRUE, FALSE, kChildReady);
    done = CreateEventW(nullptr, TRUE, FALSE, kChildDone);
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring cmd = L"\"" + std::wstring(self) + L"\" ";
    cmd.append(role, role + std::strlen(role));
    STARTUPINFOW si{};
    si.cb = sizeof si;
    if (CreateProcessW(self, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        HANDLE either[] = {ready, pi.hProcess};
        WaitForMultipleObjects(2, either, FALSE, 30000);
    }
}

DWORD Child::End() {
    DWORD code = kChildFailed;
    if (pi.hProcess) {
        SetEvent(done);
        if (WaitForSingleObject(pi.hProcess, 30000) != WAIT_OBJECT_0) {
            TerminateProcess(pi.hProcess, kChildFailed);
            WaitForSingleObject(pi.hProcess, 30000);
        }
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        pi = {};
    }
    CloseHandle(ready);
    CloseHandle(done);
    return code;
}

namespace {

// RTC_Deinit, bounded, returns TRUE having taken its last snapshot, of the clock then: the
// count-th in all.
void CheckDeinitSaves(Module& m, int count) {
    const SYSTEMTIME last = Date(2026, 12, 8, 15, 0, 0);
    SetClock(last);
    CHECK(m.DeinitWithin(10000) == TRUE);
    CHECK(CountLines(kSaved) == count);
    SYSTEMTIME st;
    CHECK(StoredSnapshot(&st) && SameTime(st, last));
}

// Another process created "SaveRTCEvent" as a manual-reset event and set it before the module
// was loaded: each wake gives one snapshot and leaves the event reset.
void ForeignEvent(Module& m) {
    m.Unload();
    Child holder("hold-event");
    CHECK(m.Load());
    CHECK(m.Init(L"Drivers\\Active\\42", nullptr) == 1);
    CHECK(WaitForLines(kSaved, 1));
    HANDLE save = OpenEventW(EVENT_MODIFY_STATE | SYNCHRONIZE, FALSE, L"SaveRTCEvent");
    CHECK(save != nullptr);
    if (save) {
        CHECK(WaitForSingleObject(save, 0) == WAIT_TIMEOUT);  // left reset after the wake
        CHECK(SetEvent(save));
        CHECK(WaitForLines(kSaved, 2));
        CHECK(WaitForSingleObject(save, 0) == WAIT_TIMEOUT);
        CloseHandle(save);
    }
    CHECK(m.Deinit(1));
    CHECK(CountLines(kSaved) == 3);  // one per wake, and the last one
    CHECK(holder.End() == 0);
}

// Another process waits on "SaveRTCEvent", as an application that answers it would. It can take
// none of the driver's own requests, nor its stop: each D4 gives a snapshot, and RTC_Deinit
// returns with the last one instead of waiting out the saver's five minutes.
void EventWaiter(Module& m) {
    // Started before the saver: where the two wait on one event, Wine wakes it first.
    Child waiter("wait-event");
    CHECK(m.Init(L"Drivers\\Active\\42", nullptr) == 1);
    for (int i = 1; i <= 20 && !g_failures; ++i) {
        CHECK(m.Suspend());
        CHECK(WaitForLines(kSaved, i));
    }
    CheckDeinitSaves(m, 21);
    CHECK(waiter.End() == 0);  // nobody asked by name, so it took no signal
}

// Another kind of object holds the name: the driver says so once and runs on its own requests,
// and RTC_Init leaves the caller's error code as it found it.
void EventNameTaken(Module& m) {
    m.Unload();
    HANDLE mutex = CreateMutexW(nullptr, TRUE, L"SaveRTCEvent");
    CHECK(mutex != nullptr);
    CHECK(m.Load());
    SetLastError(0xBEEF);
    CHECK(m.Init(L"Drivers\\Active\\42", nullptr) == 1);
    CHECK(GetLastError() == 0xBEEF);
    CHECK(m.Suspend());
    CHECK(WaitForLines(kSaved, 1));
    CheckDeinitSaves(m, 2);
    CHECK(CountLines(kNameTaken) == 1);
    CloseHandle(mutex);
}

// D4 requests on another thread while RTC_Deinit runs: every request succeeds and leaves no
// error code, and Deinit returns only once the saver has ended (the module is unloaded after).
struct Requests {
    Module* m;
    volatile LONG failed;
};

DWORD WINAPI SendRequests(LPVOID p) {
    auto* r = static_cast<Requests*>(p);
    for (int i = 0; i < 200; ++i) {
        DWORD state = 4, actual = 0;
        SetLastError(0xBEEF);
        if (!r->m->IOControl(1, kIoctlSet, nullptr, 0, reinterpret_cast<PBYTE>(&state), 4,
                             &actual) ||
            GetLastError() != 0xBEEF) {
            InterlockedIncrement(&r->failed);
        }
    }
    return 0;
}

void DeinitRace(Module& m) {
    for (int round = 0; round < 50 && !g_failures; ++round) {
        CHECK(m.Init(L"Drivers\\Active\\42", nullptr) == 1);
        Requests requests{&m, 0};
        HANDLE t = CreateThread(nullptr, 0, SendRequests, &requests, 0, nullptr);
        CHECK(t != nullptr);
        CHECK(m.Deinit(1));
        WaitForSingleObject(t, 30000);
        CloseHandle(t);
        CHECK(requests.failed == 0);
    }
    CHECK(!m.Deinit(1));  // no instance left
    m.Unload();
    CHECK(GetModuleHandleW(L"Timeward.dll") == nullptr);
}

// With no key at all, and with the key but no snapshot.
void NoSnapshot(Module& m) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
    CHECK(m.Init(L"Drivers\\Active\\42", nullptr) == 1);
    CHECK(CountLines(kNoSnapshot) == 1);
    CHECK(m.Deinit(1));
    HKEY h;
    CHECK(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_READ, &h) == ERROR_FILE_NOT_FOUND);
    ResetKey();
    CHECK(m.Init(L"Drivers\\Active\\42", nullptr) == 1);
    CHECK(CountLines(kNoSnapshot) == 2);
    CHECK(m.Deinit(1));
    CHECK(CountLines(kNotSavedNoKey) == 1);  // the first run's last snapshot, with no key
}

// A D4 request writes the eight fields and the signature, as REG_DWORD values, and flushes.
void SuspendSnapshot(Module& m) {
    CHECK(m.Init(L"Drivers\\Active\\42", nullptr) == 1);
    SYSTEMTIME clock = Date(2026, 12, 8, 14, 15, 16);
    clock.wMilliseconds = 170;
    SetClock(clock);
    CHECK(m.Suspend());
    CHECK(WaitForLines(kSaved, 1));
    SYSTEMTIME st;
    CHECK(StoredSnapshot(&st));  // every value a REG_DWORD, the signature 0x54575244
    CHECK(SameTime(st, clock) && st.wDayOfWeek == clock.wDayOfWeek);
    CHECK(m.Deinit(1));
}

// A REG_BINARY of four bytes reads as a DWORD; of eight it does not; above 65535 keeps the low
// 16 bits.
void ValueTypes(Module& m) {
    SYSTEMTIME now = Date(2003, 1, 1, 0, 0, 0);
    SetClock(now);
    StoreSnapshot(Date(2026, 12, 8, 9, 30, 0));
    HKEY h;
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &h);
    BYTE hour[4] = {9, 0, 0, 0};
    RegSetValueExW(h, L"RTCHour", 0, REG_BINARY, hour, 4);
    DWORD year = 0x10000 + 2026;
    RegSetValueExW(h, L"RTCYear", 0, REG_DWORD, reinterpret_cast<BYTE*>(&year), 4);
    RegCloseKey(h);
    CHECK(m.Init(L"Drivers\\Active\\42", nullptr) == 1);
    CHECK(g_set_calls.size() == 1);
    if (!g_set_calls.empty())
        CHECK(SameTime(g_set_calls[0], Date(2026, 12, 8, 9, 30, 0)));
    CHECK(m.Deinit(1));

    SetClock(now);
    g_set_calls.clear();
    StoreSnapshot(Date(2026, 12, 8, 9, 30, 0));
    RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &h);
    BYTE minute[8] = {30, 0, 0, 0, 0, 0, 0, 0};
    RegSetValueExW(h, L"RTCMinute", 0, REG_BINARY, minute, 8);
    RegCloseKey(h);
    CHECK(m.Init(L"Drivers\\Active\\43", nullptr) == 1);
    CHECK(CountLines(kRestore) == 1);  // the first part's alone; the clock goes to the floor
    CHECK(CountLines(kNoSnapshot) == 1);
    CHECK(m.Deinit(1));
}

void StreamCalls(Module& m) {
    CHECK(m.Init(L"Drivers\\Active\\42", nullptr) == 1);
    DWORD open = m.Open(1, GENERIC_READ, 0);
    CHECK(open == 1);
    BYTE buf[100];
    std::memset(buf, 0x3C, sizeof buf);
    CHECK(m.Read(open, buf, sizeof buf) == 1);
    CHECK(buf[0] == 0x3C && buf[99] == 0x3C);
    CHECK(m.Write(open, buf, 0) == 1);
    CHECK(m.Seek(open, -5, FILE_END) == 1);
    m.PowerDown(1);
    m.PowerUp(1);
    CHECK(m.Close(open));
    CHECK(CountLines(kSaved) == 0);
    CHECK(m.Deinit(1));
}

void Reload(Module& m) {
    SetClock(Date(2026, 12, 8, 9, 30, 0));
    CHECK(m.Init(L"Drivers\\Active\\42", nullptr) == 1);
    CHECK(m.Deinit(1));
    m.Unload();
    CHECK(GetModuleHandleW(L"Timeward.dll") == nullptr);
    SetClock(Date(2003, 1, 1, 0, 0, 0));  // the real-time clock lost its time
    CHECK(m.Load());
    CHECK(m.Init(L"Drivers\\Active\\43", nullptr) == 1);
    CHECK(CountLines(kRestore) == 1);
    SYSTEMTIME now;
    TestGetSystemTime(&now);
    CHECK(SameTime(now, Date(2026, 12, 8, 9, 30, 0)));
    CHECK(m.Deinit(1));
}

}  // namespace

// The cases, by name: each row is a ctest test (wine/CMakeLists.txt reads them here).
const std::map<std::string, Case>& Cases() {
    static const std::map<std::string, Case> cases = {
        {"first-boot", FirstBoot},
        {"restore-301", [](Module& m) { Restore(m, 301); }},
        {"no-restore-300", [](Module& m) { Restore(m, 300); }},
        {"no-restore-behind", [](Module& m) { Restore(m, -3600); }},
        {"switch-off", SwitchOff},
        {"power", PowerRequests},
        {"named-event", NamedEvent},
        {"no-snapshot", NoSnapshot},
        {"suspend-snapshot", SuspendSnapshot},
        {"value-types", ValueTypes},
        {"stream", StreamCalls},
        {"reload", Reload},
        {"foreign-event", ForeignEvent},
        {"deinit-race", DeinitRace},
        {"event-waiter", EventWaiter},
        {"event-name-taken", EventNameTaken},
    };
    return cases;
}

}  // namespace harness
