// timewardctl-wine: runs timewardctl.exe, as its own process, against Timeward.dll loaded in
// this one, on desktop Windows or under Wine, and checks what it says and does. One case a run:
//   timewardctl-wine CASE     (see kCases below; exit status 0 when the case held)
//
// The DLL's clock imports are pointed at a test clock two hours ahead of the machine's, so
// that its snapshots are ones the next start would restore, and the machine's clock is never
// touched; timewardctl reads the machine's clock. Debug lines are caught as timeward-host does.
#define UNICODE
#define _UNICODE
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace {

const wchar_t kKey[] = L"SOFTWARE\\Orvex\\Timeward";
int g_failures = 0;

#define CHECK(cond)                                                                       \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++g_failures;                                                                 \
        }                                                                                 \
    } while (0)

// --- Debug lines and the test clock ------------------------------------------------------

CRITICAL_SECTION g_lock;
std::vector<std::string> g_lines;
SYSTEMTIME g_clock;  // what the DLL's GetSystemTime returns
int g_set_calls = 0;

LONG CALLBACK CatchDebugPrint(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* r = info->ExceptionRecord;
    std::string text;
    if (r->ExceptionCode == 0x40010006 && r->NumberParameters >= 2) {  // DBG_PRINTEXCEPTION_C
        text.assign(reinterpret_cast<const char*>(r->ExceptionInformation[1]));
    } else if (r->ExceptionCode == 0x4001000A && r->NumberParameters >= 2) {  // the wide one
        for (auto w = reinterpret_cast<const wchar_t*>(r->ExceptionInformation[1]); *w; ++w)
            text.push_back(static_cast<char>(*w));
    } else {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    EnterCriticalSection(&g_lock);
    g_lines.push_back(text);
    LeaveCriticalSection(&g_lock);
    return EXCEPTION_CONTINUE_EXECUTION;
}

int CountLines(const std::string& text) {
    EnterCriticalSection(&g_lock);
    int n = 0;
    for (const std::string& line : g_lines)
        n += line == text;
    LeaveCriticalSection(&g_lock);
    return n;
}

void WINAPI TestGetSystemTime(LPSYSTEMTIME st) {
    EnterCriticalSection(&g_lock);
    *st = g_clock;
    LeaveCriticalSection(&g_lock);
}

BOOL WINAPI TestSetSystemTime(const SYSTEMTIME*) {
    EnterCriticalSection(&g_lock);
    ++g_set_calls;
    LeaveCriticalSection(&g_lock);
    return TRUE;
}

// The machine's clock moved by `seconds`, to the millisecond.
SYSTEMTIME MachineClockPlus(LONGLONG seconds) {
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    ULONGLONG t = (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    t = t / 10000 * 10000 + static_cast<ULONGLONG>(seconds * 10000000);
    ft.dwLowDateTime = static_cast<DWORD>(t);
    ft.dwHighDateTime = static_cast<DWORD>(t >> 32);
    SYSTEMTIME st;
    FileTimeToSystemTime(&ft, &st);
    return st;
}

std::string Show(const SYSTEMTIME& st) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u.%03u", st.wYear, st.wMonth,
                  st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
    return buf;
}

// Points the module's import of `function` from `dll` at `replacement`.
bool PatchImport(HMODULE module, const char* dll, const char* function, void* replacement) {
    auto base = reinterpret_cast<BYTE*>(module);
    auto nt = reinterpret_cast<IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
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

// --- The driver, and timewardctl ---------------------------------------------------------

struct Driver {
    HMODULE h = nullptr;
    DWORD (*Init)(LPCWSTR, LPCVOID) = nullptr;
    BOOL (*Deinit)(DWORD) = nullptr;

    bool Start() {
        h = LoadLibraryW(L"Timeward.dll");
        if (!h)
            return false;
        Init = reinterpret_cast<DWORD (*)(LPCWSTR, LPCVOID)>(
            reinterpret_cast<void*>(GetProcAddress(h, "RTC_Init")));
        Deinit = reinterpret_cast<BOOL (*)(DWORD)>(
            reinterpret_cast<void*>(GetProcAddress(h, "RTC_Deinit")));
        return Init && Deinit &&
               PatchImport(h, "KERNEL32.dll", "GetSystemTime", (void*)&TestGetSystemTime) &&
               PatchImport(h, "KERNEL32.dll", "SetSystemTime", (void*)&TestSetSystemTime) &&
               Init(L"Drivers\\Active\\42", nullptr) == 1;
    }
    void Stop() {
        if (!h)
            return;
        Deinit(1);
        FreeLibrary(h);
        h = nullptr;
    }
};

struct Run {
    DWORD status = 0xFFFFFFFF;
    std::string out;
    std::string err;
};

std::string ReadAll(HANDLE pipe) {
    std::string text;
    char buf[512];
    DWORD n;
    while (ReadFile(pipe, buf, sizeof buf, &n, nullptr) && n > 0)
        text.append(buf, n);
    return text;
}

// Runs timewardctl.exe, from this program's directory, with `args`.
Run Ctl(const std::wstring& args) {
    Run run;
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring exe = self;
    exe = exe.substr(0, exe.find_last_of(L"\\/") + 1) + L"timewardctl.exe";
    std::wstring cmd = L"\"" + exe + L"\" " + args;

    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    HANDLE out_r, out_w, err_r, err_w;
    if (!CreatePipe(&out_r, &out_w, &sa, 0) || !CreatePipe(&err_r, &err_w, &sa, 0))
        return run;
    SetHandleInformation(out_r, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(err_r, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = out_w;
    si.hStdError = err_w;
    PROCESS_INFORMATION pi{};
    BOOL started = CreateProcessW(exe.c_str(), cmd.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                  nullptr, &si, &pi);
    CloseHandle(out_w);
    CloseHandle(err_w);
    if (started) {
        run.out = ReadAll(out_r);  // the output is a few lines: no pipe fills
        run.err = ReadAll(err_r);
        WaitForSingleObject(pi.hProcess, 60000);
        GetExitCodeProcess(pi.hProcess, &run.status);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    } else {
        std::fprintf(stderr, "cannot start %ls (error %lu)\n", exe.c_str(), GetLastError());
    }
    CloseHandle(out_r);
    CloseHandle(err_r);
    if (run.status != 0)
        std::fprintf(stderr, "timewardctl %ls: exit %lu\n%s%s", args.c_str(), run.status,
                     run.out.c_str(), run.err.c_str());
    return run;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// --- Registry --------------------------------------------------------------------------

void ResetKey() {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey);
    HKEY h;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h, nullptr);
    RegCloseKey(h);
}

void SetValue(const wchar_t* name, DWORD type, const void* data, DWORD size) {
    HKEY h;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, KEY_ALL_ACCESS, &h) != ERROR_SUCCESS)
        return;
    RegSetValueExW(h, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(h);
}

bool GetDword(const wchar_t* name, DWORD* value) {
    DWORD type = 0, size = sizeof *value;
    return RegGetValueW(HKEY_LOCAL_MACHINE, kKey, name, RRF_RT_ANY, &type, value, &size) ==
               ERROR_SUCCESS &&
           type == REG_DWORD;
}

const char kNoSnapshot[] = "We did not save RTC before\r\n";

// --- Cases -----------------------------------------------------------------------------

// After the driver's snapshot, status shows it and the restore the next start would make.
void Status() {
    const SYSTEMTIME snapshot = MachineClockPlus(2 * 3600);
    g_clock = snapshot;
    DWORD off = 0;
    SetValue(L"TimewardImplemented", REG_DWORD, &off, sizeof off);
    Driver driver;
    CHECK(driver.Start());
    Run run = Ctl(L"save");
    CHECK(run.status == 0 && run.out == "saved: the snapshot is " + Show(snapshot) + " UTC\n");

    run = Ctl(L"status");
    CHECK(run.status == 0 && run.err.empty());
    CHECK(Has(run.out, "key        HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvex\\Timeward: present\n"));
    CHECK(Has(run.out, "snapshot   " + Show(snapshot) + " UTC: valid\n"));
    CHECK(Has(run.out, "switch     \"TimewardImplemented\" = 0: the driver runs\n"));
    CHECK(Has(run.out, "next start restore to " + Show(snapshot) + ", "));
    std::fputs(run.out.c_str(), stdout);

    // A string "1" does not turn the driver off.
    SetValue(L"TimewardImplemented", REG_SZ, L"1", 4);
    run = Ctl(L"status");
    CHECK(Has(run.out,
              "\"TimewardImplemented\" is a string (REG_SZ), read as 49; make it a "
              "DWORD: the driver runs\n"));
    CHECK(Has(run.out, "next start restore to "));
    driver.Stop();
    CHECK(g_set_calls == 0);
}

// With the driver loaded, save gets a snapshot at once; without it, save says nobody answered.
void Save() {
    g_clock = MachineClockPlus(-3600);
    Run run = Ctl(L"save");
    CHECK(run.status == 1 && run.out.empty());
    CHECK(Has(run.err, "timewardctl: no driver answered: nothing holds \"SaveRTCEvent\""));
    DWORD value;
    CHECK(!GetDword(L"TimewardSignature", &value));  // nothing was written

    Driver driver;
    CHECK(driver.Start());
    run = Ctl(L"save -t 30");
    CHECK(run.status == 0 && run.out == "saved: the snapshot is " + Show(g_clock) + " UTC\n");
    CHECK(GetDword(L"TimewardSignature", &value) && value == 0x54575244);
    CHECK(!GetDword(L"TimewardImplemented", &value));  // the switch is never written
    driver.Stop();

    run = Ctl(L"save");  // the driver is gone, and its event with it
    CHECK(run.status == 1 && Has(run.err, "no driver answered"));
}

// Clear, then a start: no snapshot, so the clock is left alone.
void Clear() {
    g_clock = MachineClockPlus(2 * 3600);
    Driver driver;
    CHECK(driver.Start());
    CHECK(Ctl(L"save").status == 0);
    driver.Stop();

    Run run = Ctl(L"clear");
    CHECK(run.status == 0 && run.out == "cleared: \"TimewardSignature\" removed\n");
    DWORD value;
    CHECK(!GetDword(L"TimewardSignature", &value));
    CHECK(GetDword(L"RTCYear", &value) && value == g_clock.wYear);  // the rest stays

    g_clock = MachineClockPlus(-365 * 86400);  // the clock fell back a year
    CHECK(driver.Start());
    CHECK(CountLines(kNoSnapshot) == 2);  // the first start's, and this one's
    CHECK(g_set_calls == 0);
    run = Ctl(L"clear");
    CHECK(run.status == 0 && Has(run.out, "note: the driver is running"));
    driver.Stop();
}

const std::map<std::string, std::function<void()>> kCases = {
    {"ctl-status", Status},
    {"ctl-save", Save},
    {"ctl-clear", Clear},
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2 || !kCases.count(argv[1])) {
        std::fprintf(stderr, "usage: timewardctl-wine CASE\ncases:");
        for (const auto& [name, fn] : kCases)
            std::fprintf(stderr, " %s", name.c_str());
        std::fprintf(stderr, "\n");
        return 2;
    }
    InitializeCriticalSection(&g_lock);
    AddVectoredExceptionHandler(1, CatchDebugPrint);
    ResetKey();
    kCases.at(argv[1])();
    ResetKey();
    std::printf("%s: %s\n", argv[1], g_failures ? "FAILED" : "passed");
    return g_failures ? 1 : 0;
}
