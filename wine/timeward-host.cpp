// timeward-host: does to Timeward.dll what the Device Manager and the Power Manager do, on
// desktop Windows or under Wine, and checks the results. One case a run:
//   timeward-host CASE        (see kCases below; exit status 0 when the case held)
//
// The driver's debug lines are caught by a vectored exception handler for the debug-print
// exceptions. The clock is a test clock: after loading, the module's imports of GetSystemTime
// and SetSystemTime are pointed at it in its import address table, so the machine's clock is
// never touched and the DLL on disk stays as integrators get it.
#define UNICODE
#define _UNICODE
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <type_traits>
#include <vector>

namespace {

const wchar_t kKey[] = L"SOFTWARE\\Orvex\\Timeward";
const DWORD kSignature = 0x54575244;
const DWORD kIoctlCaps = 0x00321000, kIoctlSet = 0x00321008, kIoctlGet = 0x0032100C;

int g_failures = 0;

#define CHECK(cond)                                                                       \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++g_failures;                                                                 \
        }                                                                                 \
    } while (0)

// --- Debug lines -----------------------------------------------------------------------

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

// --- Test clock ------------------------------------------------------------------------

CRITICAL_SECTION g_clock_lock;
ULONGLONG g_clock;  // 100 ns units since 1601, as a FILETIME
std::vector<SYSTEMTIME> g_set_calls;

ULONGLONG ToTicks(const SYSTEMTIME& st) {
    FILETIME ft;
    if (!SystemTimeToFileTime(&st, &ft))
        return 0;
    return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

SYSTEMTIME FromTicks(ULONGLONG t) {
    FILETIME ft{static_cast<DWORD>(t), static_cast<DWORD>(t >> 32)};
    SYSTEMTIME st{};
    FileTimeToSystemTime(&ft, &st);
    return st;
}

void WINAPI TestGetSystemTime(LPSYSTEMTIME st) {
    EnterCriticalSection(&g_clock_lock);
    *st = FromTicks(g_clock);
    LeaveCriticalSection(&g_clock_lock);
}

BOOL WINAPI TestSetSystemTime(const SYSTEMTIME* st) {
    ULONGLONG t = st ? ToTicks(*st) : 0;
    EnterCriticalSection(&g_clock_lock);
    if (st)
        g_set_calls.push_back(*st);
    if (t)
        g_clock = t;
    LeaveCriticalSection(&g_clock_lock);
    return t != 0;
}

SYSTEMTIME Date(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s) {
    SYSTEMTIME st{};
    st.wYear = y;
    st.wMonth = mo;
    st.wDay = d;
    st.wHour = h;
    st.wMinute = mi;
    st.wSecond = s;
    return FromTicks(ToTicks(st));  // with its day of the week
}

void SetClock(const SYSTEMTIME& st) {
    EnterCriticalSection(&g_clock_lock);
    g_clock = ToTicks(st);
    LeaveCriticalSection(&g_clock_lock);
}

// Points the module's import of `function` from `dll` at `replacement`.
bool PatchImport(HMODULE module, const char* dll, const char* function, void* replacement) {
    auto base = reinterpret_cast<BYTE*>(module);
    auto dos = reinterpret_cast<IMAGE_DOS_HEADER*>(base);
    auto nt = reinterpret_cast<IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const IMAGE_DATA_DIRECTORY& dir =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    if (!dir.VirtualAddress)
        return false;
    for (auto imp = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress);
         imp->Name; ++imp) {
        if (_stricmp(reinterpret_cast<char*>(base + imp->Name), dll) != 0)
            continue;
        auto names = reinterpret_cast<IMAGE_THUNK_DATA*>(
            base + (imp->OriginalFirstThunk ? imp->OriginalFirstThunk : imp->FirstThunk));
        auto slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + imp->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            auto by_name = reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<char*>(by_name->Name), function) != 0)
                continue;
            DWORD old;
            VirtualProtect(&slots->u1.Function, sizeof(void*), PAGE_READWRITE, &old);
            slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
            VirtualProtect(&slots->u1.Function, sizeof(void*), old, &old);
            return true;
        }
    }
    return false;
}

// --- Registry --------------------------------------------------------------------------

void ResetKey() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
    HKEY h;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr);
    RegCloseKey(h);
}

void SetDword(const wchar_t* name, DWORD value) {
    HKEY h;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &h) != ERROR_SUCCESS)
        return;
    RegSetValueExW(h, name, 0, REG_DWORD, reinterpret_cast<BYTE*>(&value), sizeof value);
    RegCloseKey(h);
}

bool GetDword(const wchar_t* name, DWORD* value) {
    DWORD type = 0, size = sizeof *value;
    return RegGetValueW(HKEY_LOCAL_MACHINE, kKey, name, RRF_RT_ANY, &type, value, &size) ==
               ERROR_SUCCESS &&
           type == REG_DWORD;
}

void StoreSnapshot(const SYSTEMTIME& st) {
    SetDword(L"RTCYear", st.wYear);
    SetDword(L"RTCMonth", st.wMonth);
    SetDword(L"RTCDayOfWeek", st.wDayOfWeek);
    SetDword(L"RTCDay", st.wDay);
    SetDword(L"RTCHour", st.wHour);
    SetDword(L"RTCMinute", st.wMinute);
    SetDword(L"RTCSecond", st.wSecond);
    SetDword(L"RTCMilliseconds", st.wMilliseconds);
    SetDword(L"TimewardSignature", kSignature);
}

bool StoredSnapshot(SYSTEMTIME* st) {
    DWORD v[9];
    const wchar_t* names[] = {L"RTCYear",   L"RTCMonth",        L"RTCDayOfWeek",
                              L"RTCDay",    L"RTCHour",         L"RTCMinute",
                              L"RTCSecond", L"RTCMilliseconds", L"TimewardSignature"};
    for (int i = 0; i < 9; ++i) {
        if (!GetDword(names[i], &v[i]))
            return false;
    }
    *st = SYSTEMTIME{static_cast<WORD>(v[0]), static_cast<WORD>(v[1]), static_cast<WORD>(v[2]),
                     static_cast<WORD>(v[3]), static_cast<WORD>(v[4]), static_cast<WORD>(v[5]),
                     static_cast<WORD>(v[6]), static_cast<WORD>(v[7])};
    return v[8] == kSignature;
}

bool SameTime(const SYSTEMTIME& a, const SYSTEMTIME& b) {
    return ToTicks(a) / 10000 == ToTicks(b) / 10000;
}

// --- The module ------------------------------------------------------------------------

struct Module {
    HMODULE h = nullptr;
    DWORD (*Init)(LPCWSTR, LPCVOID);
    BOOL (*Deinit)(DWORD);
    DWORD (*Open)(DWORD, DWORD, DWORD);
    BOOL (*Close)(DWORD);
    DWORD (*Read)(DWORD, LPVOID, DWORD);
    DWORD (*Write)(DWORD, LPCVOID, DWORD);
    DWORD (*Seek)(DWORD, LONG, DWORD);
    BOOL (*IOControl)(DWORD, DWORD, PBYTE, DWORD, PBYTE, DWORD, PDWORD);
    void (*PowerUp)(DWORD);
    void (*PowerDown)(DWORD);

    bool Load() {
        h = LoadLibraryW(L"Timeward.dll");
        if (!h)
            return false;
        bool ok = true;
        auto get = [&](const char* name, auto** fn) {
            *fn = reinterpret_cast<std::remove_pointer_t<decltype(fn)>>(
                reinterpret_cast<void*>(GetProcAddress(h, name)));
            ok = ok && *fn;
        };
        get("RTC_Init", &Init);
        get("RTC_Deinit", &Deinit);
        get("RTC_Open", &Open);
        get("RTC_Close", &Close);
        get("RTC_Read", &Read);
        get("RTC_Write", &Write);
        get("RTC_Seek", &Seek);
        get("RTC_IOControl", &IOControl);
        get("RTC_PowerUp", &PowerUp);
        get("RTC_PowerDown", &PowerDown);
        ok = ok && PatchImport(h, "KERNEL32.dll", "GetSystemTime", (void*)&TestGetSystemTime);
        ok = ok && PatchImport(h, "KERNEL32.dll", "SetSystemTime", (void*)&TestSetSystemTime);
        return ok;
    }
    void Unload() {
        FreeLibrary(h);
        h = nullptr;
    }
};

const char kNoSnapshot[] = "We did not save RTC before\r\n";
const char kSaved[] = "RTC is saved\r\n";
const char kRestore[] = "SavedTime is bigger than CurrentTime for more than 5 minutes\r\n";
const char kOff[] = "Timeward is already implemented\r\n";

// --- Cases -----------------------------------------------------------------------------

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

    // Pages the driver cannot write or read: the request fails, nothing faults.
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
    CHECK(!m.IOControl(1, 0x00321004, nullptr, 0, reinterpret_cast<PBYTE>(&state), 4, &actual));
    CHECK(m.Deinit(1));
    CHECK(CountLines(kSaved) >= 3);
}

// Another process opens "SaveRTCEvent" by name and sets it: this program, run as
// "timeward-host set-event".
bool SetEventFromAnotherProcess() {
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring cmd = L"\"" + std::wstring(self) + L"\" set-event";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(self, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        return false;
    }
    WaitForSingleObject(pi.hProcess, 30000);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code == 0;
}

void NamedEvent(Module& m) {
    CHECK(m.Init(L"Drivers\\Active\\42", nullptr) == 1);
    SetClock(Date(2026, 12, 8, 11, 0, 0));
    CHECK(SetEventFromAnotherProcess());
    CHECK(WaitForLines(kSaved, 1));
    SYSTEMTIME st;
    CHECK(StoredSnapshot(&st) && SameTime(st, Date(2026, 12, 8, 11, 0, 0)));
    CHECK(m.Deinit(1));
}

// This program as another process, "timeward-host hold-event": creates "SaveRTCEvent" as a
// set manual-reset event and keeps it until told to end.
const wchar_t kHolderReady[] = L"TimewardHostHolderReady";
const wchar_t kHolderDone[] = L"TimewardHostHolderDone";

int HoldEvent() {
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, kHolderReady);
    HANDLE done = OpenEventW(SYNCHRONIZE, FALSE, kHolderDone);
    HANDLE save = CreateEventW(nullptr, TRUE, TRUE, L"SaveRTCEvent");
    if (!ready || !done || !save || GetLastError() == ERROR_ALREADY_EXISTS)
        return 1;
    SetEvent(ready);
    return WaitForSingleObject(done, 60000) == WAIT_OBJECT_0 ? 0 : 1;
}

// Another process created "SaveRTCEvent" as a manual-reset event and set it before the module
// was loaded: each wake gives one snapshot and leaves the event reset.
void ForeignEvent(Module& m) {
    m.Unload();
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, kHolderReady);
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, kHolderDone);
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring cmd = L"\"" + std::wstring(self) + L"\" hold-event";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    CHECK(CreateProcessW(self, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
    HANDLE both[] = {ready, pi.hProcess};
    CHECK(WaitForMultipleObjects(2, both, FALSE, 30000) == WAIT_OBJECT_0);
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
    SetEvent(done);
    WaitForSingleObject(pi.hProcess, 30000);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CHECK(code == 0);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    CloseHandle(ready);
    CloseHandle(done);
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
}

// A D4 request writes the eight fields and the signature, as REG_DWORD values, and flushes.
void SuspendSnapshot(Module& m) {
    CHECK(m.Init(L"Drivers\\Active\\42", nullptr) == 1);
    SYSTEMTIME clock = Date(2026, 12, 8, 14, 15, 16);
    clock.wMilliseconds = 170;
    SetClock(clock);
    DWORD state = 4, actual = 0;
    CHECK(m.IOControl(1, kIoctlSet, nullptr, 0, reinterpret_cast<PBYTE>(&state), 4, &actual));
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
    CHECK(g_set_calls.empty());
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

// Not a pass/fail case: the time from IOCTL_POWER_SET D4 to the end of the snapshot's flush.
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
    for (int i = 0; i < 200 && !g_failures; ++i) {
        LONG before = g_flushes;
        LARGE_INTEGER t0, t1;
        QueryPerformanceCounter(&t0);
        DWORD state = 4, actual = 0;
        m.IOControl(1, kIoctlSet, nullptr, 0, reinterpret_cast<PBYTE>(&state), 4, &actual);
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
}

const std::map<std::string, std::function<void(Module&)>> kCases = {
    {"latency", Latency},
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
};

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "set-event") == 0) {
        HANDLE e = OpenEventW(EVENT_MODIFY_STATE, FALSE, L"SaveRTCEvent");
        if (!e || !SetEvent(e))
            return 1;
        CloseHandle(e);
        return 0;
    }
    if (argc == 2 && std::strcmp(argv[1], "hold-event") == 0)
        return HoldEvent();
    if (argc != 2 || !kCases.count(argv[1])) {
        std::fprintf(stderr, "usage: timeward-host CASE\ncases:");
        for (const auto& [name, fn] : kCases)
            std::fprintf(stderr, " %s", name.c_str());
        std::fprintf(stderr, "\n");
        return 2;
    }
    InitializeCriticalSection(&g_lines_lock);
    InitializeCriticalSection(&g_clock_lock);
    g_line_event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    AddVectoredExceptionHandler(1, CatchDebugPrint);
    SetClock(Date(2026, 12, 8, 9, 0, 0));
    ResetKey();

    Module m;
    if (!m.Load()) {
        std::fprintf(stderr, "cannot load Timeward.dll and patch its clock imports (error %lu)\n",
                     GetLastError());
        return 1;
    }
    kCases.at(argv[1])(m);
    if (m.h)
        m.Unload();
    ResetKey();
    std::printf("%s: %s\n", argv[1], g_failures ? "FAILED" : "passed");
    return g_failures ? 1 : 0;
}
