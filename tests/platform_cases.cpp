// The platform cases: the calls the driver and timewardctl make, with the answers they rely on,
// written against platform.h alone. Every backend runs them: the simulated core library on the
// host, and the Win32 backend under Wine. Where Windows CE documents another answer than
// desktop Win32, the simulation gives CE's, and the case is skipped on the desktop with the
// reason, or, in a table of what Windows CE refuses, the row expects Wine's own answer there
// (docs/developers.md lists them). The message says when CE's answer is checked against the
// simulation alone: then what Windows CE does is taken from its documentation, not from a run
// on a device or under Wine.
//
// Each case runs in a process of its own. Waits that must time out wait a few milliseconds:
// virtual time on the host, real time under Wine. Threads are ordered with events.
#include <gtest/gtest.h>
#include <platform.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>

#include "other_process.h"
#include "platform_support.h"

namespace {

#if defined(_WIN32) && !defined(UNDER_CE)
constexpr bool kDesktop = true;
#else
constexpr bool kDesktop = false;
#endif
constexpr const char* kSimulationAlone =
    " (so this answer is checked against the simulation alone)";
constexpr DWORD kShort = 5;     // ms: a wait that should time out
constexpr DWORD kEnds = 10000;  // ms: a wait that should not

DWORD Error(LONG code) {
    return static_cast<DWORD>(code);
}

const WCHAR kKey[] = TEXT("SOFTWARE\\TimewardPlatformCases");
// A module every backend can load: the driver's own, found where the backend looks for it.
const WCHAR kModule[] = TEXT("Timeward.dll");

// The case's own key, new and empty; deleted at the end.
class Key {
  public:
    Key() {
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey);
        DWORD disposition = 0;
        EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_ALL_ACCESS, nullptr, &h, &disposition),
                  ERROR_SUCCESS);
        EXPECT_EQ(disposition, static_cast<DWORD>(REG_CREATED_NEW_KEY));
    }
    ~Key() {
        RegCloseKey(h);
        RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey);
    }
    HKEY h = nullptr;
};

// Calls that Windows CE refuses with ERROR_INVALID_PARAMETER, and what desktop Win32 (Wine)
// answers instead. Each call answers as an error code: ERROR_SUCCESS where it was taken (and what
// it opened is closed).
struct Refusal {
    const char* what;
    std::function<DWORD()> call;
    DWORD wine;
};

template <size_t N>
void ExpectRefused(const Refusal (&rows)[N]) {
    for (const Refusal& r : rows) {
        SCOPED_TRACE(r.what);
        SetLastError(0);
        if (kDesktop) {
            EXPECT_EQ(r.call(), r.wine)
                << "as Wine answers; Windows CE's refusal" << kSimulationAlone;
        } else {
            EXPECT_EQ(r.call(), Error(ERROR_INVALID_PARAMETER)) << "as Windows CE refuses it";
        }
    }
}

DWORD Answer(LONG registry_result) {
    return Error(registry_result);
}

DWORD Answer(HANDLE opened) {
    if (!opened)
        return GetLastError();
    CloseHandle(opened);
    return ERROR_SUCCESS;
}

LONG SetDword(HKEY h, LPCWSTR name, DWORD value) {
    return RegSetValueExW(h, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), 4);
}

TEST(Platform, RegistryOpenOfAMissingKeyFails) {
    HKEY h = reinterpret_cast<HKEY>(1);
    const WCHAR absent[] = TEXT("SOFTWARE\\TimewardPlatformCases\\Absent");
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, absent, 0, 0, &h), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, absent, 0, 0, &h), ERROR_FILE_NOT_FOUND)
        << "an open creates nothing";
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE"), 0, 0, nullptr),
              ERROR_INVALID_PARAMETER);
}

// Windows CE reserves these arguments: anything but 0 is refused. The access asked of an open
// is not among them: Windows CE ignores it (RegistryFlushOfAKeyOpenedWithNoAccess).
TEST(Platform, RegistryReservedArgumentsAreRefused) {
    Key key;
    ASSERT_EQ(SetDword(key.h, TEXT("Year"), 2026), ERROR_SUCCESS);
    DWORD reserved = 0, value = 0, cb = 4;
    WCHAR name[8];
    const Refusal rows[] = {
        {"an open with options",
         [&] {
             HKEY h = reinterpret_cast<HKEY>(1);
             const LONG rc = RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE"), 1, 0, &h);
             if (rc == ERROR_SUCCESS)
                 RegCloseKey(h);
             else
                 EXPECT_EQ(h, nullptr);
             return Answer(rc);
         },
         ERROR_SUCCESS},  // desktop Win32 takes REG_OPTION_OPEN_LINK (1), Wine ignores it
        {"a query with a reserved pointer",
         [&] {
             return Answer(RegQueryValueExW(key.h, TEXT("Year"), &reserved, nullptr,
                                            reinterpret_cast<BYTE*>(&value), &cb));
         },
         ERROR_INVALID_PARAMETER},
        {"a set with a reserved value",
         [&] {
             return Answer(RegSetValueExW(key.h, TEXT("Year"), 1, REG_DWORD,
                                          reinterpret_cast<const BYTE*>(&value), 4));
         },
         ERROR_SUCCESS},
        {"an enumeration with a reserved pointer",
         [&] {
             DWORD cch = 8;
             return Answer(
                 RegEnumKeyExW(key.h, 0, name, &cch, &reserved, nullptr, nullptr, nullptr));
         },
         ERROR_INVALID_PARAMETER},
    };
    ExpectRefused(rows);
}

TEST(Platform, RegistryValueAnswers) {
    Key key;
    EXPECT_EQ(SetDword(key.h, TEXT("Year"), 2026), ERROR_SUCCESS);
    const WCHAR text[] = TEXT("abcdef");  // 14 bytes with the terminator
    EXPECT_EQ(RegSetValueExW(key.h, TEXT("Name"), 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                             sizeof text),
              ERROR_SUCCESS);
    HKEY h = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("software\\timewardplatformcases"), 0,
                            KEY_ALL_ACCESS, &h),
              ERROR_SUCCESS)
        << "names match without regard to case";
    DWORD type = 0, value = 0, cb = 4;
    EXPECT_EQ(
        RegQueryValueExW(h, TEXT("YEAR"), nullptr, &type, reinterpret_cast<BYTE*>(&value), &cb),
        ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value, 2026u);
    EXPECT_EQ(cb, 4u);

    cb = 0;
    EXPECT_EQ(RegQueryValueExW(h, TEXT("Name"), nullptr, &type, nullptr, &cb), ERROR_SUCCESS)
        << "no buffer: the size";
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(cb, 14u);
    BYTE small[8];
    cb = sizeof small;
    EXPECT_EQ(RegQueryValueExW(h, TEXT("Name"), nullptr, nullptr, small, &cb), ERROR_MORE_DATA);
    EXPECT_EQ(cb, 14u);
    EXPECT_EQ(RegQueryValueExW(h, TEXT("Name"), nullptr, nullptr, small, nullptr),
              ERROR_INVALID_PARAMETER);
    EXPECT_EQ(RegQueryValueExW(h, TEXT("Absent"), nullptr, &type, small, &cb),
              ERROR_FILE_NOT_FOUND);
    const BYTE two[] = {0x34, 0x12};
    ASSERT_EQ(RegSetValueExW(h, TEXT("Short"), 0, REG_BINARY, two, sizeof two), ERROR_SUCCESS);
    value = 0xFFFFFFFF;
    cb = 4;
    EXPECT_EQ(
        RegQueryValueExW(h, TEXT("Short"), nullptr, &type, reinterpret_cast<BYTE*>(&value), &cb),
        ERROR_SUCCESS)
        << "data shorter than a DWORD";
    EXPECT_EQ(cb, 2u);
    EXPECT_EQ(value, 0xFFFF1234u) << "only its own bytes are written";
    EXPECT_EQ(RegDeleteValueW(h, TEXT("Short")), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExW(h, TEXT("Short"), nullptr, nullptr, nullptr, &cb),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegDeleteValueW(h, TEXT("Short")), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(h), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueExW(h, TEXT("Year"), nullptr, nullptr, nullptr, &cb),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(SetDword(h, TEXT("Year"), 1), ERROR_INVALID_HANDLE);
}

// timewardctl looks for the driver among the subkeys of the Device Manager's list of the active.
TEST(Platform, RegistrySubkeysAreEnumerated) {
    Key key;
    HKEY sub = nullptr;
    DWORD disposition = 0;
    ASSERT_EQ(RegCreateKeyExW(key.h, TEXT("01"), 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, &sub, &disposition),
              ERROR_SUCCESS);
    RegCloseKey(sub);
    WCHAR name[8] = {};
    DWORD cch = 8;
    EXPECT_EQ(RegEnumKeyExW(key.h, 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    EXPECT_EQ(cch, 2u) << "the name's length, without its terminator";
    EXPECT_TRUE(name[0] == '0' && name[1] == '1' && name[2] == 0);
    cch = 2;
    EXPECT_EQ(RegEnumKeyExW(key.h, 0, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_MORE_DATA)
        << "no room for the terminator";
    cch = 8;
    EXPECT_EQ(RegEnumKeyExW(key.h, 1, name, &cch, nullptr, nullptr, nullptr, nullptr),
              ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(RegDeleteKeyW(key.h, TEXT("01")), ERROR_SUCCESS);
}

// The driver flushes through a key it opens asking no access, as Windows CE ignores the access.
TEST(Platform, RegistryFlushOfAKeyOpenedWithNoAccess) {
    Key key;
    HKEY h = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, 0, &h), ERROR_SUCCESS);
    EXPECT_EQ(RegFlushKey(h), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(h), ERROR_SUCCESS);
    EXPECT_EQ(RegFlushKey(h), ERROR_INVALID_HANDLE);
}

TEST(Platform, RegistryKeyDeletedWhileAHandleIsOpen) {
    Key key;
    ASSERT_EQ(SetDword(key.h, TEXT("Year"), 2026), ERROR_SUCCESS);
    ASSERT_EQ(RegDeleteKeyW(HKEY_LOCAL_MACHINE, kKey), ERROR_SUCCESS);
    DWORD value = 0, cb = 4;
    EXPECT_EQ(SetDword(key.h, TEXT("Year"), 1), ERROR_KEY_DELETED);
    EXPECT_EQ(RegQueryValueExW(key.h, TEXT("Year"), nullptr, nullptr,
                               reinterpret_cast<BYTE*>(&value), &cb),
              ERROR_KEY_DELETED);
    HKEY h = nullptr;
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, kKey, 0, 0, &h), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegCloseKey(key.h), ERROR_SUCCESS);
    key.h = nullptr;
}

TEST(Platform, NamedEventCreatedAgainIsTheSameEvent) {
    const WCHAR name[] = TEXT("TimewardPlatformShared");
    SetLastError(5);
    HANDLE a = CreateEventW(nullptr, FALSE, FALSE, name);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(GetLastError(), 0u) << "a new event";
    HANDLE b = CreateEventW(nullptr, TRUE, TRUE, name);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(GetLastError(), Error(ERROR_ALREADY_EXISTS));
    EXPECT_NE(a, b);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_TIMEOUT) << "the first creation's kind and state";
    SetEvent(b);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(b, 0), WAIT_TIMEOUT) << "auto reset";
    HANDLE opened = OpenEventW(EVENT_ALL_ACCESS, FALSE, name);
    ASSERT_NE(opened, nullptr);
    EXPECT_TRUE(SetEvent(opened));
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_OBJECT_0) << "opened: the same event";
    CloseHandle(opened);
    CloseHandle(a);
    CloseHandle(b);
    EXPECT_EQ(OpenEventW(EVENT_ALL_ACCESS, FALSE, name), nullptr) << "gone with its last handle";
    EXPECT_EQ(GetLastError(), Error(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(CloseHandle(b));
    EXPECT_EQ(GetLastError(), Error(ERROR_INVALID_HANDLE));
}

// Another process created the names first, as a program that uses the saver's event names may:
// a creation of the same names opens its events, and their kinds and states stay its own.
TEST(Platform, NamedEventCreatedFirstByAnotherProcess) {
    HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, OTHER_READY);
    ASSERT_NE(ready, nullptr);
    HANDLE other = StartAnotherProcess();
    ASSERT_NE(other, nullptr);
    const HANDLE started[] = {ready, other};
    ASSERT_EQ(WaitForMultipleObjects(2, started, FALSE, kEnds), WAIT_OBJECT_0)
        << "its events exist (or it ended with " << EndOfAnotherProcess(other) << ")";
    SetLastError(0);
    HANDLE a = CreateEventW(nullptr, TRUE, FALSE, OTHER_AUTO_RESET);  // asks for manual reset
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(GetLastError(), Error(ERROR_ALREADY_EXISTS));
    SetLastError(0);
    HANDLE m = CreateEventW(nullptr, FALSE, TRUE, OTHER_MANUAL_RESET);  // asks for auto, set
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(GetLastError(), Error(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_TIMEOUT) << "its state: not set";
    EXPECT_TRUE(SetEvent(a)) << "the other process waits for it, then sets the other event";
    EXPECT_EQ(WaitForSingleObject(m, kEnds), WAIT_OBJECT_0) << "its set, seen here";
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0) << "its kind: manual reset";
    EXPECT_EQ(EndOfAnotherProcess(other), 0u);
    EXPECT_EQ(WaitForSingleObject(a, 0), WAIT_TIMEOUT) << "its kind: auto reset, taken by its wait";
    for (HANDLE h : {a, m, ready})
        CloseHandle(h);
}

TEST(Platform, EventNameHeldByAnotherKindOfObject) {
    const WCHAR name[] = TEXT("TimewardPlatformTaken");
    ASSERT_TRUE(HoldNameWithAMutex(name));
    EXPECT_EQ(CreateEventW(nullptr, FALSE, FALSE, name), nullptr);
    EXPECT_EQ(GetLastError(), Error(ERROR_INVALID_HANDLE));
    EXPECT_EQ(OpenEventW(EVENT_ALL_ACCESS, FALSE, name), nullptr);
    EXPECT_EQ(GetLastError(), Error(ERROR_INVALID_HANDLE));
}

TEST(Platform, EventSetAndReset) {
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(SetEvent(e));
    EXPECT_TRUE(SetEvent(e));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT) << "two sets, one wait";
    EXPECT_TRUE(EventModify(e, EVENT_SET));
    EXPECT_TRUE(EventModify(e, EVENT_RESET));
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_TIMEOUT);

    HANDLE m = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(m, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(m, kShort), WAIT_OBJECT_0) << "manual reset stays set";
    EXPECT_TRUE(ResetEvent(m));
    EXPECT_EQ(WaitForSingleObject(m, kShort), WAIT_TIMEOUT);
    EXPECT_EQ(WaitForSingleObject(nullptr, INFINITE), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), Error(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(SetEvent(nullptr));
    CloseHandle(e);
    CloseHandle(m);
}

DWORD WINAPI WaitThenEnd(LPVOID event) {
    return WaitForSingleObject(static_cast<HANDLE>(event), INFINITE) == WAIT_OBJECT_0 ? 7 : 1;
}

TEST(Platform, AutoResetEventWakesOneWaiterOfTwo) {
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE threads[] = {CreateThread(nullptr, 0, WaitThenEnd, e, 0, nullptr),
                        CreateThread(nullptr, 0, WaitThenEnd, e, 0, nullptr)};
    ASSERT_NE(threads[0], nullptr);
    ASSERT_NE(threads[1], nullptr);
    EXPECT_EQ(WaitForMultipleObjects(2, threads, FALSE, kShort), WAIT_TIMEOUT);
    SetEvent(e);
    DWORD first = WaitForMultipleObjects(2, threads, FALSE, kEnds) - WAIT_OBJECT_0;
    ASSERT_LT(first, 2u);
    EXPECT_EQ(WaitForSingleObject(threads[1 - first], kShort), WAIT_TIMEOUT);
    SetEvent(e);
    EXPECT_EQ(WaitForSingleObject(threads[1 - first], kEnds), WAIT_OBJECT_0);
    for (HANDLE t : threads)
        CloseHandle(t);
    CloseHandle(e);
}

// The first set object in the order given ends a wait for any, and only it is reset; an object
// may be named twice.
TEST(Platform, WaitForAnyAnswersTheFirstSetObject) {
    HANDLE a = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE b = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    HANDLE m = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    const HANDLE all[] = {a, b, m};
    EXPECT_EQ(WaitForMultipleObjects(3, all, FALSE, kShort), WAIT_TIMEOUT);
    SetEvent(m);
    SetEvent(b);
    EXPECT_EQ(WaitForMultipleObjects(3, all, FALSE, kShort), WAIT_OBJECT_0 + 1);
    EXPECT_EQ(WaitForMultipleObjects(3, all, FALSE, 0), WAIT_OBJECT_0 + 2);
    EXPECT_EQ(WaitForMultipleObjects(3, all, FALSE, 0), WAIT_OBJECT_0 + 2) << "manual reset";
    const HANDLE closed[] = {a, reinterpret_cast<HANDLE>(0x7FF0)};
    const struct {
        DWORD count;
        const HANDLE* handles;
        DWORD error;
    } refused[] = {{0, all, ERROR_INVALID_PARAMETER},
                   {MAXIMUM_WAIT_OBJECTS + 1, all, ERROR_INVALID_PARAMETER},
                   {2, closed, ERROR_INVALID_HANDLE}};
    for (const auto& r : refused) {
        SetLastError(0);
        EXPECT_EQ(WaitForMultipleObjects(r.count, r.handles, FALSE, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), r.error) << r.count;
    }
    for (HANDLE h : all)
        CloseHandle(h);
}

// Windows CE has only the wait for any, its documentation forbids naming one object twice, and
// it has no security: no attributes, and an open asks EVENT_ALL_ACCESS without inheritance.
TEST(Platform, EventAndWaitArgumentsWindowsCEForbidsAreRefused) {
    const WCHAR name[] = TEXT("TimewardPlatformForbidden");
    HANDLE e = CreateEventW(nullptr, TRUE, TRUE, name);
    ASSERT_NE(e, nullptr);
    const HANDLE twice[] = {e, e};
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, FALSE};
    auto wait = [](DWORD result) { return result == WAIT_FAILED ? GetLastError() : ERROR_SUCCESS; };
    const Refusal rows[] = {
        {"a wait for all", [&] { return wait(WaitForMultipleObjects(1, &e, TRUE, 0)); },
         ERROR_SUCCESS},
        {"a wait for any that names one object twice",
         [&] { return wait(WaitForMultipleObjects(2, twice, FALSE, 0)); }, ERROR_SUCCESS},
        {"an event with security attributes",
         [&] { return Answer(CreateEventW(&sa, FALSE, FALSE, nullptr)); }, ERROR_SUCCESS},
        {"an open that asks less than EVENT_ALL_ACCESS",
         [&] { return Answer(OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, name)); },
         ERROR_SUCCESS},
        {"an open that asks for inheritance",
         [&] { return Answer(OpenEventW(EVENT_ALL_ACCESS, TRUE, name)); }, ERROR_SUCCESS},
    };
    ExpectRefused(rows);
    CloseHandle(e);
}

DWORD WINAPI EndWhenSet(LPVOID event) {
    WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
    return 42;
}

TEST(Platform, ThreadEndsWithItsExitCode) {
    HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD id = 0, code = 0;
    HANDLE thread = CreateThread(nullptr, 64 * 1024, EndWhenSet, go, 0, &id);
    ASSERT_NE(thread, nullptr);
    EXPECT_NE(id, 0u);
    EXPECT_EQ(WaitForSingleObject(thread, kShort), WAIT_TIMEOUT);
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, static_cast<DWORD>(STILL_ACTIVE));
    SetEvent(go);
    EXPECT_EQ(WaitForSingleObject(thread, kEnds), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0) << "an ended thread stays set";
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 42u);
    EXPECT_TRUE(CloseHandle(thread));
    CloseHandle(go);
}

TEST(Platform, ThreadWithAStackNoProcessCanReserveIsRefused) {
    if (kDesktop && sizeof(void*) == 8)
        GTEST_SKIP()
            << "Windows CE reserves at most its 32 MB process slot; 64-bit Win32 more (32-bit "
               "Win32 refuses it as Windows CE does, and runs this case)";
    SetLastError(0);
    EXPECT_EQ(CreateThread(nullptr, 0x40000000, EndWhenSet, nullptr, 0, nullptr), nullptr);
    EXPECT_EQ(GetLastError(), Error(ERROR_NOT_ENOUGH_MEMORY));
}

TEST(Platform, ClockSetAndReadBack) {
    if (kDesktop)
        GTEST_SKIP() << "under Wine SetSystemTime would set the machine's own clock, which no test "
                        "may do"
                     << kSimulationAlone;
    // Another date than the clock's; the day of the week given (a Saturday) is ignored.
    const SYSTEMTIME set = {2027, 3, 6, 17, 5, 43, 21, 0};
    ASSERT_TRUE(SetSystemTime(&set));
    SYSTEMTIME back;
    GetSystemTime(&back);
    EXPECT_EQ(back.wYear, 2027);
    EXPECT_EQ(back.wMonth, 3);
    EXPECT_EQ(back.wDay, 17);
    EXPECT_EQ(back.wDayOfWeek, 3) << "a Wednesday, computed from the date";
    EXPECT_EQ(back.wHour * 60 + back.wMinute, 5 * 60 + 43);
}

// 29 February of a common year is left to the host's own test: Wine takes it, Windows does not.
TEST(Platform, ClockFieldsOutOfRangeAreRefused) {
    SYSTEMTIME now;
    GetSystemTime(&now);
    const SYSTEMTIME bad[] = {{2026, 13, 0, 1, 0, 0, 0, 0},   {2026, 1, 0, 1, 24, 0, 0, 0},
                              {2026, 1, 0, 1, 0, 60, 0, 0},   {2026, 1, 0, 1, 0, 0, 60, 0},
                              {2026, 1, 0, 1, 0, 0, 0, 1000}, {1600, 12, 0, 31, 0, 0, 0, 0},
                              {2026, 4, 0, 31, 0, 0, 0, 0},   {2026, 0, 0, 1, 0, 0, 0, 0}};
    for (const SYSTEMTIME& st : bad) {
        SCOPED_TRACE(testing::Message()
                     << st.wYear << "-" << st.wMonth << "-" << st.wDay << " " << st.wHour << ":"
                     << st.wMinute << ":" << st.wSecond << "." << st.wMilliseconds);
        SetLastError(0);
        EXPECT_FALSE(SetSystemTime(&st));
        EXPECT_EQ(GetLastError(), Error(ERROR_INVALID_PARAMETER));
    }
    SYSTEMTIME after;
    GetSystemTime(&after);
    EXPECT_EQ(after.wYear, now.wYear);
    EXPECT_EQ(after.wDay, now.wDay);
}

// Each source row is asked of ReadProcessMemory too where the platform has it (Win32): the
// guarded copy answers as the platform's own guarded read does. Wine's reads the process's
// memory through the host's file of it, which reaches pages that no access reaches and pages
// only reserved, where Windows fails ("the entire area to be read must be accessible"): those
// rows expect Wine's answer of it, and the guarded copy still refuses them (a refusal checked
// against the simulation and the desktop stand-in alone).
TEST(Platform, GuardedCopyRefusesWhatItCannotReach) {
    const TestPages pages = MapTestPages();
    ASSERT_NE(pages.writable, nullptr);
    const DWORD page = pages.size;
    std::memset(pages.writable, 0x5A, page);  // the read-only page holds zeros
    BYTE* const end = pages.writable + page;
    BYTE* const no_access = pages.no_access;
    const uintptr_t top = UINTPTR_MAX - 7;  // with 16 bytes, a range that wraps
    BYTE* const wraps = reinterpret_cast<BYTE*>(top);
    BYTE* const low = reinterpret_cast<BYTE*>(16);
    BYTE buffer[32];
    const struct {
        const char* what;
        BYTE* dest;  // null: the buffer
        const BYTE* src;
        DWORD cb;
        BOOL copied;
        BOOL wine_reads;  // Wine's ReadProcessMemory, where it differs from Windows'
    } rows[] = {
        {"readable", nullptr, end - 16, 16, TRUE, TRUE},
        {"read-only source", nullptr, pages.read_only, 16, TRUE, TRUE},
        {"nothing", nullptr, nullptr, 0, TRUE, TRUE},
        {"null source", nullptr, nullptr, 16, FALSE, FALSE},
        {"source in the first page", nullptr, low, 16, FALSE, FALSE},
        {"source that wraps", nullptr, wraps, 16, FALSE, FALSE},
        {"source on a page no access reaches", nullptr, no_access, 16, FALSE, TRUE},
        {"source that crosses into it", nullptr, no_access - 8, 16, FALSE, TRUE},
        {"source on a page not mapped", nullptr, pages.unmapped, 16, FALSE, TRUE},
        {"destination in the first page", low, end - 16, 16, FALSE, FALSE},
        {"destination that wraps", wraps, end - 16, 16, FALSE, FALSE},
        {"read-only destination", pages.read_only, end - 16, 16, FALSE, FALSE},
        {"destination that crosses into a read-only page", end - 8, pages.read_only, 16, FALSE,
         FALSE},
        {"destination on a page no access reaches", no_access, end - 16, 16, FALSE, FALSE},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        BYTE* const dest = r.dest ? r.dest : buffer;
        std::memset(buffer, 0xC3, sizeof buffer);
        EXPECT_EQ(CeSafeCopyMemory(r.dest ? r.dest : buffer, r.src, r.cb), r.copied);
        if (r.copied && r.cb != 0) {
            EXPECT_EQ(std::memcmp(dest, r.src, r.cb), 0);
        }
        if (!r.copied && !r.dest) {
            EXPECT_EQ(buffer[0], 0xC3) << "the destination is left as it was";
        }
        const int platform = r.dest || !r.src ? -1 : ReadProcessMemoryAnswer(buffer, r.src, r.cb);
        if (platform >= 0) {
            EXPECT_EQ(platform, UnderWine() ? r.wine_reads : r.copied)
                << "as the platform's own guarded read answers";
        }
    }
    EXPECT_EQ(end[-8], 0x5A) << "a destination writable only in part is left as it was";
    const BYTE* ro = pages.read_only;
    EXPECT_TRUE(ro[0] == 0 && ro[page - 1] == 0) << "the read-only page is untouched";
    UnmapTestPages(pages);
}

DWORD WINAPI LastErrorOfANewThread(LPVOID) {
    DWORD first = GetLastError();
    SetLastError(7);
    return first;
}

// Calls that fail set it; registry calls answer with their result and leave it; a wait that
// succeeds leaves it.
TEST(Platform, LastErrorIsPerThreadAndSetByFailures) {
    SetLastError(5);
    HANDLE thread = CreateThread(nullptr, 0, LastErrorOfANewThread, nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(WaitForSingleObject(thread, kEnds), WAIT_OBJECT_0);
    DWORD code = 1;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 0u) << "a new thread starts with none";
    EXPECT_EQ(GetLastError(), 5u);
    CloseHandle(thread);

    HKEY h;
    SetLastError(5);
    EXPECT_EQ(RegOpenKeyExW(HKEY_LOCAL_MACHINE, TEXT("SOFTWARE\\TimewardAbsent"), 0, 0, &h),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(GetLastError(), 5u);
    HANDLE e = CreateEventW(nullptr, TRUE, TRUE, nullptr);
    SetLastError(5);
    EXPECT_EQ(WaitForSingleObject(e, 0), WAIT_OBJECT_0);
    EXPECT_TRUE(SetEvent(e));
    EXPECT_EQ(GetLastError(), 5u);
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(GetLastError(), Error(ERROR_INVALID_HANDLE));
    CloseHandle(e);
}

struct Shared {
    CRITICAL_SECTION cs;
    LONG inside = 0;
};

DWORD WINAPI EnterAndLeave(LPVOID p) {
    Shared* s = static_cast<Shared*>(p);
    EnterCriticalSection(&s->cs);
    LONG was = InterlockedExchange(&s->inside, 2);
    LeaveCriticalSection(&s->cs);
    return static_cast<DWORD>(was);
}

// Its owner enters again; another thread enters once every entry is left.
TEST(Platform, CriticalSectionIsEnteredAgainByItsOwner) {
    Shared s;
    InitializeCriticalSection(&s.cs);
    EnterCriticalSection(&s.cs);
    EnterCriticalSection(&s.cs);
    EXPECT_EQ(InterlockedCompareExchange(&s.inside, 1, 0), 0);
    LeaveCriticalSection(&s.cs);
    LeaveCriticalSection(&s.cs);
    HANDLE thread = CreateThread(nullptr, 0, EnterAndLeave, &s, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, kEnds), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 1u);
    EXPECT_EQ(s.inside, 2);
    CloseHandle(thread);
    DeleteCriticalSection(&s.cs);
}

Shared g_contended;
int g_entries;  // under the section

void InitContended() {
    g_contended.inside = 0;
    g_entries = 0;
    InitializeCriticalSection(&g_contended.cs);
}

// Each call into the platform inside the section is a point where the other thread may run.
void EnterTwice() {
    for (int i = 0; i < 2; ++i) {
        EnterCriticalSection(&g_contended.cs);
        if (InterlockedExchange(&g_contended.inside, 1) == 0)
            ++g_entries;
        InterlockedExchange(&g_contended.inside, 0);
        LeaveCriticalSection(&g_contended.cs);
    }
}

std::string EnteredOneAtATime() {
    DeleteCriticalSection(&g_contended.cs);
    return g_entries == 4 ? std::string()
                          : std::to_string(4 - g_entries) + " of 4 entries found the other inside";
}

// Two threads that contend for one section enter it one at a time, whoever comes first.
TEST(Platform, CriticalSectionLetsInOneOfTwoContendingThreads) {
    const uint64_t runs = RunOnTwoThreads(InitContended, EnterTwice, EnteredOneAtATime);
    EXPECT_GT(runs, 1u);
    std::printf("%llu runs\n", static_cast<unsigned long long>(runs));
}

// The saver holds its module by loading it again by its own file name: one more reference to the
// same module. A name that fills the buffer may have been cut short.
TEST(Platform, ModuleLoadedAgainByItsOwnFileNameIsOneMoreReference) {
    const HMODULE h = LoadLibraryW(kModule);
    ASSERT_NE(h, nullptr);
    WCHAR file[MAX_PATH];
    const DWORD n = GetModuleFileNameW(h, file, MAX_PATH);
    ASSERT_GT(n, 3u);
    ASSERT_LT(n, static_cast<DWORD>(MAX_PATH - 1));
    EXPECT_EQ(file[n], 0);
    EXPECT_EQ(LoadLibraryW(file), h);
    EXPECT_TRUE(DisableThreadLibraryCalls(h));
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_EQ(GetModuleHandleW(kModule), h) << "one reference is left";
    // Terminated (the simulation) or not (Wine, as Windows XP): either way the result says so.
    WCHAR cut[4];
    EXPECT_GE(GetModuleFileNameW(h, cut, 4), 3u) << "fills the buffer";
    EXPECT_EQ(std::memcmp(cut, file, 3 * sizeof(WCHAR)), 0) << "cut short";
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_EQ(GetModuleHandleW(kModule), nullptr) << "gone with its last reference";
    EXPECT_EQ(GetLastError(), Error(ERROR_MOD_NOT_FOUND));
}

DWORD WINAPI DropTheModuleAndExit(LPVOID) {
    FreeLibraryAndExitThread(LoadLibraryW(kModule), 9);
    return 0;  // not reached; Windows CE does not declare the call no-return
}

TEST(Platform, FreeLibraryAndExitThreadDropsTheThreadsReferenceAndEndsIt) {
    const HMODULE h = LoadLibraryW(kModule);
    ASSERT_NE(h, nullptr);
    HANDLE thread = CreateThread(nullptr, 0, DropTheModuleAndExit, nullptr, 0, nullptr);
    ASSERT_EQ(WaitForSingleObject(thread, kEnds), WAIT_OBJECT_0);
    DWORD code = 0;
    EXPECT_TRUE(GetExitCodeThread(thread, &code));
    EXPECT_EQ(code, 9u);
    EXPECT_EQ(GetModuleHandleW(kModule), h) << "the thread dropped its own reference alone";
    CloseHandle(thread);
    EXPECT_TRUE(FreeLibrary(h));
    EXPECT_EQ(GetModuleHandleW(kModule), nullptr);
}

// timewardctl measures its waits with differences of the tick count, which survive its wrap.
TEST(Platform, TickCountCountsMillisecondsAndWrapsAfter49Days) {
    // The desktop's tick count moves in steps of 10 to 16 ms; the simulation's in 1 ms.
    const DWORD kStep = kDesktop ? 16 : 1;
    DWORD before = GetTickCount();
    Sleep(0);
    EXPECT_LT(GetTickCount() - before, kEnds) << "Sleep(0) gives up the processor, no more";
    Sleep(4 * kShort);
    EXPECT_GE(GetTickCount() - before, 4 * kShort - kStep + 1);
    if (!MoveTickCountTo(0xFFFFFFF6))
        GTEST_SKIP() << "Wine's tick count is the machine's uptime, which no test can move to "
                        "its wrap"
                     << kSimulationAlone;
    before = GetTickCount();
    EXPECT_EQ(before, 0xFFFFFFF6u);
    Sleep(4 * kShort);
    const DWORD after = GetTickCount();
    EXPECT_LT(after, before) << "wrapped";
    EXPECT_EQ(after - before, 4 * kShort);
}

// The driver's debug lines use one directive, %u, for a DWORD: each is formatted by the
// platform's debug print, and by the platform's own formatter where it has one (Win32).
TEST(Platform, DebugLinesFormatTheDriversDirectives) {
    const struct {
        LPCWSTR format;
        DWORD value;
        LPCWSTR text;
    } rows[] = {
        {TEXT("We did not save RTC before\r\n"), 0, TEXT("We did not save RTC before\r\n")},
        {TEXT("RTC is not saved: error %u\r\n"), 0, TEXT("RTC is not saved: error 0\r\n")},
        {TEXT("TimewardInterval %u is out of range (60 to 86400 seconds): the saver uses 300\r\n"),
         86401,
         TEXT("TimewardInterval 86401 is out of range (60 to 86400 seconds): the saver uses "
              "300\r\n")},
        {TEXT("The saver cannot start (error %u): no snapshot"), 4294967295u,
         TEXT("The saver cannot start (error 4294967295): no snapshot")},
    };
    // The lines are ASCII.
    auto ascii = [](const std::basic_string<WCHAR>& w) { return std::string(w.begin(), w.end()); };
    CatchDebugLines();
    for (const auto& r : rows) {
        SCOPED_TRACE(ascii(r.text));
        NKDbgPrintfW(r.format, r.value);
        EXPECT_EQ(CountDebugLines(ascii(r.text)), 1);
        std::basic_string<WCHAR> platform;
        if (FormatWithThePlatform(r.format, r.value, &platform)) {
            EXPECT_EQ(ascii(platform), ascii(r.text)) << "as the platform's own formatter";
        }
    }
}

typedef BOOL(WINAPI* RunAppAtEvent)(LPWSTR, LONG);

// Found as the driver finds it, by name in the core library.
TEST(Platform, TimeChangeNotificationSetsANamedEvent) {
    HMODULE core = GetModuleHandleW(TEXT("coredll.dll"));
    RunAppAtEvent run = reinterpret_cast<RunAppAtEvent>(
        reinterpret_cast<void (*)(void)>(GetProcAddressW(core, TEXT("CeRunAppAtEvent"))));
    if (kDesktop) {
        EXPECT_EQ(run, nullptr);
        GTEST_SKIP() << "desktop Win32 has no notification subsystem (no CeRunAppAtEvent)"
                     << kSimulationAlone;
    }
    ASSERT_NE(run, nullptr);
    WCHAR app[] = TEXT("\\\\.\\Notifications\\NamedEvents\\TimewardPlatformChange");
    HANDLE e = CreateEventW(nullptr, FALSE, FALSE, TEXT("TimewardPlatformChange"));
    ASSERT_TRUE(run(app, NOTIFICATION_EVENT_TIME_CHANGE));
    SYSTEMTIME now;
    GetSystemTime(&now);
    ASSERT_TRUE(SetSystemTime(&now));
    EXPECT_EQ(WaitForSingleObject(e, kEnds), WAIT_OBJECT_0);
    ASSERT_TRUE(run(app, NOTIFICATION_EVENT_NONE));
    ASSERT_TRUE(SetSystemTime(&now));
    EXPECT_EQ(WaitForSingleObject(e, kShort), WAIT_TIMEOUT) << "no longer registered";
    CloseHandle(e);
}

}  // namespace
