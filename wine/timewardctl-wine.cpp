// timewardctl-wine: runs timewardctl.exe, as its own process, against Timeward.dll loaded in
// this one, on desktop Windows or under Wine, and checks what it says and does. One case a run:
//   timewardctl-wine CASE     (see kCases below; exit status 0 when the case held)
//
// The DLL is loaded as timeward-host loads it, with its clock imports on the harness's test
// clock, set two hours ahead of the machine's so that its snapshots are ones the next start
// would restore; the machine's clock is never touched, and timewardctl reads it.
#include "harness.h"

using namespace harness;

int harness::g_failures = 0;

namespace {

// The machine's clock moved by `seconds`, to the millisecond.
SYSTEMTIME MachineClockPlus(LONGLONG seconds) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    return FromTicks(ToTicks(now) + static_cast<ULONGLONG>(seconds * 10000000));
}

std::string Show(const SYSTEMTIME& st) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u.%03u", st.wYear, st.wMonth,
                  st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
    return buf;
}

// --- The driver, and timewardctl ---------------------------------------------------------

// The driver as the Device Manager starts it, on the test clock.
// The Device Manager lists the driver under Drivers\Active while it is loaded, with its key
// under Drivers\BuiltIn, and timewardctl looks for it there.
struct Driver {
    Module m;
    static constexpr const wchar_t* kActive = L"Drivers\\Active\\42";
    static constexpr const wchar_t* kBuiltIn = L"Drivers\\BuiltIn\\Timeward";

    static void SetString(const wchar_t* key, const wchar_t* name, const std::wstring& text) {
        HKEY h;
        if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &h,
                            nullptr) != ERROR_SUCCESS)
            return;
        RegSetValueExW(h, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(h);
    }
    bool Start() {
        SetString(kBuiltIn, L"Dll", L"Timeward.dll");
        SetString(kActive, L"Key", kBuiltIn);
        return m.Load() && m.Init(kActive, nullptr) == 1;
    }
    void Stop() {
        if (!m.h)
            return;
        if (m.Deinit)
            m.Deinit(1);
        m.Unload();
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, kActive);
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

// --- Cases -----------------------------------------------------------------------------

// After the driver's snapshot, status shows it and the restore the next start would make.
void Status() {
    const SYSTEMTIME snapshot = MachineClockPlus(2 * 3600);
    SetClock(snapshot);
    SetDword(L"TimewardImplemented", 0);
    Driver driver;
    CHECK(driver.Start());
    Run run = Ctl(L"save");
    CHECK(run.status == 0 && run.out == "saved: the snapshot is " + Show(snapshot) + " UTC\n");

    run = Ctl(L"status");
    CHECK(run.status == 0 && run.err.empty());
    CHECK(Has(run.out, "key        HKEY_LOCAL_MACHINE\\SOFTWARE\\Orvex\\Timeward: present\n"));
    CHECK(Has(run.out, "snapshot   " + Show(snapshot) + " UTC: valid, generation "));
    CHECK(Has(run.out, "switch     \"TimewardImplemented\" = 0: the driver runs\n"));
    CHECK(Has(run.out, "driver     running: the Device Manager lists it in Drivers\\Active\n"));
    CHECK(Has(run.out, "next start restore to " + Show(snapshot) + " UTC, "));
    std::fputs(run.out.c_str(), stdout);
    run = Ctl(L"status --json");
    CHECK(Has(run.out, "\"schema\": 1,") && Has(run.out, "\"action\": \"restore\","));

    // A string "1" does not turn the driver off.
    SetValue(L"TimewardImplemented", REG_SZ, L"1", 4);
    run = Ctl(L"status");
    CHECK(Has(run.out,
              "\"TimewardImplemented\" is REG_SZ, read as 49\n"
              "           the driver runs; make it a REG_DWORD\n"));
    CHECK(Has(run.out, "next start restore to "));
    driver.Stop();
    CHECK(g_set_calls.empty());
}

// With the driver loaded, save gets a snapshot at once; without it, save says nobody answered.
void Save() {
    const SYSTEMTIME behind = MachineClockPlus(-3600);
    SetClock(behind);
    Run run = Ctl(L"save");
    CHECK(run.status == 1 && run.out.empty());
    CHECK(Has(run.err, "timewardctl: no driver answered: nothing holds \"SaveRTCEvent\""));
    DWORD value;
    CHECK(!GetDword(L"TimewardSignature", &value));  // nothing was written

    Driver driver;
    CHECK(driver.Start());
    run = Ctl(L"save -t 30");
    CHECK(run.status == 0 && run.out == "saved: the snapshot is " + Show(behind) + " UTC\n");
    CHECK(GetDword(L"TimewardSignature", &value) && value == kSignature);
    CHECK(!GetDword(L"TimewardImplemented", &value));  // the switch is never written
    driver.Stop();

    run = Ctl(L"save");  // the driver is gone, and its event with it
    CHECK(run.status == 1 && Has(run.err, "no driver answered"));
}

// Clear, then a start: no snapshot, so nothing is restored (the floor alone may move a clock
// that fell back so far).
void Clear() {
    const SYSTEMTIME ahead = MachineClockPlus(2 * 3600);
    SetClock(ahead);
    Driver driver;
    CHECK(driver.Start());
    CHECK(Ctl(L"save").status == 0);
    driver.Stop();

    Run run = Ctl(L"clear");
    CHECK(run.status == 0 && run.out == "cleared: \"TimewardSignature\" removed\n");
    DWORD value;
    CHECK(!GetDword(L"TimewardSignature", &value));
    CHECK(GetDword(L"RTCYear", &value) && value == ahead.wYear);  // the rest stays

    SetClock(MachineClockPlus(-365 * 86400));  // the clock fell back a year
    CHECK(driver.Start());
    CHECK(CountLines(kNoSnapshot) == 2);  // the first start's, and this one's
    CHECK(CountLines(kRestore) == 0);
    run = Ctl(L"clear");
    CHECK(run.status == 0 && Has(run.out, "note: the driver is running"));
    driver.Stop();
}

// The cases, by name: each row is a ctest test (wine/CMakeLists.txt reads them here).
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
    CatchDebugLines();
    StartTestClock();
    ResetKey();
    kCases.at(argv[1])();
    ResetKey();
    std::printf("%s: %s\n", argv[1], g_failures ? "FAILED" : "passed");
    return g_failures ? 1 : 0;
}
