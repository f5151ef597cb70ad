// The Wine harness: what timeward-host's cases and timewardctl-wine share (checks, debug lines,
// the test clock, import patching, the driver's registry key, the loaded module).
#ifndef TIMEWARD_WINE_HARNESS_H
#define TIMEWARD_WINE_HARNESS_H

#define UNICODE
#define _UNICODE
#include <windows.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace harness {

const wchar_t kKey[] = L"SOFTWARE\\Orvex\\Timeward";
constexpr DWORD kSignature = 0x54575244;
constexpr DWORD kIoctlCaps = 0x00321000, kIoctlSet = 0x00321008, kIoctlGet = 0x0032100C;

// Failed checks so far; a run with any fails.
extern int g_failures;

#define CHECK(cond)                                                                       \
    do {                                                                                  \
        if (!(cond)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
            ++g_failures;                                                                 \
        }                                                                                 \
    } while (0)

// --- Debug lines: caught by a vectored exception handler for the debug-print exceptions. ---

void CatchDebugLines();
int CountLines(const std::string& text);
// Waits, without polling, until `text` has been written `count` times; false after 10 s.
bool WaitForLines(const std::string& text, int count);

const char kNoSnapshot[] = "We did not save RTC before\r\n";
const char kSaved[] = "RTC is saved\r\n";
const char kRestore[] = "SavedTime is bigger than CurrentTime for more than 5 minutes\r\n";
const char kOff[] = "Timeward is already implemented\r\n";
const char kNotSavedNoKey[] = "RTC is not saved: error 2\r\n";
const char kNameTaken[] =
    "SaveRTCEvent cannot be opened (error 6): requests by name will not be heard\r\n";
const char kNoNotifications[] =
    "CeRunAppAtEvent is missing: a clock that is set is saved at the next snapshot, "
    "not at once\r\n";

// --- Test clock: the module's GetSystemTime and SetSystemTime imports point at it. ---

// The clock's SetSystemTime calls, in order.
extern std::vector<SYSTEMTIME> g_set_calls;

void StartTestClock();
ULONGLONG ToTicks(const SYSTEMTIME& st);
SYSTEMTIME FromTicks(ULONGLONG t);
void WINAPI TestGetSystemTime(LPSYSTEMTIME st);
BOOL WINAPI TestSetSystemTime(const SYSTEMTIME* st);
SYSTEMTIME Date(WORD y, WORD mo, WORD d, WORD h, WORD mi, WORD s);
void SetClock(const SYSTEMTIME& st);
bool SameTime(const SYSTEMTIME& a, const SYSTEMTIME& b);

// Points the module's import of `function` from `dll` at `replacement`.
bool PatchImport(HMODULE module, const char* dll, const char* function, void* replacement);

// --- The driver's registry key. ---

void ResetKey();
// Writes `name` as `type`, whatever the driver would make of it.
void SetValue(const wchar_t* name, DWORD type, const void* data, DWORD size);
void SetDword(const wchar_t* name, DWORD value);
bool GetDword(const wchar_t* name, DWORD* value);
// A snapshot as a driver without "TimewardCheck" wrote it.
void StoreSnapshot(const SYSTEMTIME& st);
bool StoredSnapshot(SYSTEMTIME* st);

// --- The module: Timeward.dll, loaded with its clock imports on the test clock. ---

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

    bool Load();
    void Unload();
    // IOCTL_POWER_SET D4: true when it succeeded and answered D4.
    bool Suspend();
    // RTC_Deinit on a thread of its own, waited for up to `ms`: its result, or -1 when it has not
    // returned by then. The module is then left loaded (h is cleared): the call still runs in it.
    int DeinitWithin(DWORD ms);
};

using Case = std::function<void(Module&)>;

// The pass/fail cases, by name.
const std::map<std::string, Case>& Cases();
// This program as another process, "timeward-host ROLE", for the cases about "SaveRTCEvent":
//   set-event   opens the event, sets it and ends;
//   hold-event  creates it as a set manual-reset event and holds it until told to end;
//   wait-event  waits on it in a loop, taking its signals, until told to end.
// Its exit status: 0, for wait-event the number of signals it took; kChildFailed when it could
// not do its part. kNotAChild, and nothing done, when ROLE is none of these.
constexpr int kChildFailed = 1000, kNotAChild = -1;
int PlayChild(const char* role);

// A child playing ROLE, started and waited for, up to 30 s, until it is ready or has ended.
struct Child {
    explicit Child(const char* role);
    // Tells it to end and waits up to 30 s: its exit status, or kChildFailed when it did not
    // start or end (a child still running is then ended).
    DWORD End();

    PROCESS_INFORMATION pi{};
    HANDLE ready, done;
};
// Not a pass/fail case: the time from IOCTL_POWER_SET D4 to the end of the snapshot's flush.
void Latency(Module& m);

}  // namespace harness

#endif  // TIMEWARD_WINE_HARNESS_H
