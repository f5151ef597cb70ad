// Controls of the simulated core library, for tests and tools; driver code never sees them.
#ifndef TIMEWARD_COREDLL_SIM_H
#define TIMEWARD_COREDLL_SIM_H

#include <timeward_backend.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "support/files.h"
#include "support/text.h"

#define SIM_API __attribute__((visibility("default")))

namespace coredll {

// --- Whole library ----------------------------------------------------------------------

// Brings the library back to its state at load: empty registry, manual clock at
// 2026-01-01 00:00:00, no events, no records. No simulated thread may be alive.
SIM_API void Reset();

// --- Registry ---------------------------------------------------------------------------

struct RegValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
};

struct RegCounters {
    uint64_t opens = 0;  // successful opens and creates
    uint64_t closes = 0;
    uint64_t queries = 0;
    uint64_t sets = 0;
    uint64_t flushes = 0;  // successful flushes
    uint64_t open_handles = 0;
};

// Registry calls as the call hook sees them.
enum class RegCall {
    kOpen,
    kCreate,
    kQuery,
    kSet,
    kDeleteValue,
    kDeleteKey,
    kFlush,
    kClose,
    kEnumKey
};

namespace reg {

// Values and keys as they are now (the working copy, flushed or not). Paths are below
// HKEY_LOCAL_MACHINE, with backslashes, matched without regard to case.
SIM_API void CreateKey(std::string_view path);
SIM_API bool KeyExists(std::string_view path);
SIM_API void DeleteKey(std::string_view path);
SIM_API void SetValue(std::string_view path, std::string_view name, RegValue value);
SIM_API void SetDword(std::string_view path, std::string_view name, DWORD value);
SIM_API void SetString(std::string_view path, std::string_view name, std::string_view value);
SIM_API std::optional<RegValue> GetValue(std::string_view path, std::string_view name,
                                         bool persisted = false);
SIM_API std::optional<DWORD> GetDword(std::string_view path, std::string_view name,
                                      bool persisted = false);
SIM_API std::optional<std::string> GetString(std::string_view path, std::string_view name);
SIM_API std::vector<std::string> SubKeys(std::string_view path);

// The hive. Until a flush, values live only in memory; a flush makes the whole working copy
// the persisted one, and writes it to the hive file when one is attached (atomically: a
// temporary file, fsync, rename). A power cut throws away what was not flushed.
SIM_API void Flush();
SIM_API void PowerCut();

// Loads a hive file in .reg syntax as both the working and the persisted copy, and attaches
// it: later flushes write it. On a malformed file, returns false with a message naming the
// file, the line and what was expected, and changes nothing.
SIM_API bool LoadHiveFile(const std::filesystem::path& file, std::string* error);
// Merges a .reg file, or .reg text, into the working copy (as an image's platform.reg is
// merged at build). On error nothing is merged.
SIM_API bool MergeRegFile(const std::filesystem::path& file, std::string* error);
// The same for .reg text; on error nothing is merged.
SIM_API bool MergeRegText(std::string_view text, std::string_view file_name, std::string* error);
// Parses .reg text; on success the tree it describes can be merged. For tests and fuzzing.
SIM_API bool ParseRegText(std::string_view text, std::string_view file_name, std::string* error);
// The working copy, or the persisted one, as .reg text.
SIM_API std::string ExportText(bool persisted = false);
// A hash of the working copy's keys, values and the spelling of their names: equal trees give
// equal fingerprints. It costs what the tree holds, where an export costs the sum of its paths.
SIM_API uint64_t Fingerprint();
// Detaches the hive file: flushes then stay in memory.
SIM_API void DetachHiveFile();

// Fault switches.
SIM_API void FailOpens(bool fail);              // every open and create fails
SIM_API void FailSetOf(std::string_view name);  // sets of this value name fail ("" = none)
SIM_API void FailFlushes(bool fail);            // flushes fail and persist nothing
// Each successful value write or removal persists the hive at once (the hive file too, when
// attached), as a hive-based registry set to flush aggressively does; it is not counted as a
// flush. Reset turns it off.
SIM_API void WriteThrough(bool write_through);
// Where a torn write of the hive file stops, as a power failure would stop it: after half of
// the temporary file (Tear::kHalfTheData), or after all of it but before the rename
// (Tear::kBeforeTheRename).
using support::Tear;
// Power fails in the middle of the next flush's file write, where `tear` says. That flush
// fails, and the hive file is detached (nothing more reaches it) and left as the write left
// it. Tear::kNone clears it.
SIM_API void TearNextFlush(Tear tear);
SIM_API RegCounters Counters();
SIM_API void ResetCounters();

// Called after every registry call with the call and its result, on the calling thread,
// outside the registry's lock (the hook may call the registry and the rest of the library).
using CallHook = std::function<void(RegCall call, std::u16string_view value_name, LONG result)>;
SIM_API void SetCallHook(CallHook hook);

}  // namespace reg

// --- Clock and scheduler ----------------------------------------------------------------

namespace clock {

// Manual mode: virtual time moves only by Advance. Scaled mode: it runs at `scale` virtual
// seconds per real second.
SIM_API void SetManual();
SIM_API void SetScaled(double scale);
// Virtual monotonic milliseconds since the library was reset.
SIM_API uint64_t NowMs();

// Moves virtual time forward. In manual mode, returns only once every simulated thread that
// the advance woke has run and is blocked again (in a wait, a sleep, or ended). A simulated
// thread that was woken, or is new, runs only while a driving thread (one not started by
// CreateThread) is inside Settle, Advance, or a wait of its own. A driving thread's wait with a
// time-out moves virtual time on by itself, timer by timer, whenever every simulated thread is
// blocked, until the wait ends: at the latest at its time-out, as on a device.
SIM_API void Advance(uint64_t ms);
// Waits until every simulated thread is blocked or ended.
SIM_API void Settle();
// Bounds in virtual time the waits of driving threads, so that a thread that never ends is a
// failure, not a hang. With a bound set, in manual mode, a driving thread blocked in a wait
// moves virtual time on by itself, one timer at a time, whenever every simulated thread is
// blocked; once its wait has lasted `ms` of virtual time with no end in sight, the process ends
// with a message that says what was waited for. 0 (the default) turns it off.
SIM_API void BoundDrivingWaits(uint64_t ms);

// The wall clock (UTC), read and set without going through SetSystemTime's record.
SIM_API SYSTEMTIME Now();
SIM_API void SetWall(const SYSTEMTIME& st);
// Milliseconds since 1601-01-01, and back; false for an impossible record.
SIM_API bool ToMs(const SYSTEMTIME& st, int64_t* ms);
SIM_API SYSTEMTIME FromMs(int64_t ms);
SIM_API bool IsValidRecord(const SYSTEMTIME& st);

struct SetCall {
    SYSTEMTIME requested;
    BOOL result;
};
SIM_API std::vector<SetCall> SetSystemTimeCalls();

}  // namespace clock

namespace threads {

SIM_API int Alive();         // simulated threads started by CreateThread and not yet ended
SIM_API uint64_t Started();  // threads ever started since reset
SIM_API int OpenHandles();   // open event and thread handles
SIM_API bool EventExists(std::u16string_view name);
SIM_API void FailEventCreation(bool fail);  // every CreateEventW and OpenEventW fails
SIM_API void FailThreadCreation(bool fail);
SIM_API void FailWaits(bool fail);  // every WaitForSingleObject and WaitForMultipleObjects fails
// Another kind of object (a mutex, a semaphore, a file mapping) holds `name` until Reset:
// CreateEventW and OpenEventW of that name fail with ERROR_INVALID_HANDLE, as on Windows.
SIM_API void TakeName(std::u16string_view name);
// A simulated thread whose waits return at once kSpinLimit times in a row, with no virtual time
// passing, spins: the process ends with a message saying so.
constexpr int kSpinLimit = 10000;
// Calls that were given a handle that is not open (closed, never opened): closes, event
// changes and waits.
SIM_API uint64_t BadHandleUses();

// Critical sections are strict in every mode: leaving one the thread does not own, deleting one
// that is held, and a simulated thread that ends holding one end the process at once with a
// message that says which (in the deterministic mode, a failed run). Reset does the same when a
// section is still held. This reports `who` (an entry point) by name when the calling thread
// still holds one.
SIM_API void CheckNoSectionHeld(std::string_view who);

// The thread, event, wait and lock calls, as the call hook sees them.
enum class Call {
    kCreateEvent,
    kEventModify,
    kWait,  // WaitForSingleObject and WaitForMultipleObjects
    kSleep,
    kCreateThread,
    kCloseHandle,
    kEnterCriticalSection,
    kLeaveCriticalSection,
    kSetSystemTime,
};
// Called on entry to each of those calls, on the calling thread (simulated or not), before the
// call does anything and outside the library's locks. A hook that blocks holds that thread at
// that call, which is how tests force an interleaving.
using CallHook = std::function<void(Call call)>;
SIM_API void SetCallHook(CallHook hook);

}  // namespace threads

// --- Debug output and the rest ----------------------------------------------------------

namespace debug {

struct Line {
    uint64_t at_ms;       // virtual monotonic time
    SYSTEMTIME wall;      // the wall clock when it was written
    std::u16string text;  // as written, "\r\n" included
};
SIM_API std::vector<Line> Lines();
SIM_API std::vector<std::string> Texts();  // the lines as UTF-8
SIM_API void Clear();
SIM_API void EchoToStderr(bool echo);
// Called for each line as it is written, on the writing thread.
SIM_API void SetListener(std::function<void(const Line&)> listener);

}  // namespace debug

namespace console {

// While capturing, what programs write with ConsoleWriteW is kept here (as UTF-8) instead of
// going to the process's standard output and error. Capture(...) empties both.
SIM_API void Capture(bool capture);
SIM_API std::string Output();
SIM_API std::string Errors();

}  // namespace console

namespace memory {

// The guarded copy uses process_vm_readv/writev where the kernel has them and a pipe where it
// has not (as under qemu-user). This makes it use the pipe everywhere, so that tests cover it.
SIM_API void ForcePipeCopy(bool force);
// CeSafeCopyMemory calls since the reset, whatever their result.
SIM_API uint64_t Copies();

}  // namespace memory

namespace notify {

// The OS design leaves the notification component out: the core library has no
// CeRunAppAtEvent, and GetProcAddressW on it fails with ERROR_PROC_NOT_FOUND. Reset puts the
// component back.
SIM_API void LeaveOut(bool left_out);
// The next `count` registrations (CeRunAppAtEvent for any event but NOTIFICATION_EVENT_NONE)
// fail, with ERROR_GEN_FAILURE.
SIM_API void FailRegistrations(int count);
struct Registration {
    std::u16string app;  // as registered, "\\.\Notifications\NamedEvents\NAME" for an event
    LONG event;
};
// The registrations in the notification subsystem's store, in the order they were made. The
// store outlives the process that registered (and the module's unload); Reset, a cold boot,
// empties it. Once the system time is set, the subsystem's own thread sets the named events
// registered for NOTIFICATION_EVENT_TIME_CHANGE, later, as a driving thread lets time pass (in
// the deterministic mode, as any scheduled thread); Settle and Advance wait for it.
SIM_API std::vector<Registration> Registrations();
// Keeps the store in `file` across warm restarts: loads it (none there is an empty store), and
// writes it whole at each change. On a malformed file returns false with a message naming the
// file and the line, and changes nothing. A cold boot removes the file and Resets.
SIM_API bool AttachStore(const std::filesystem::path& file, std::string* error);
// Reads a store's text, as AttachStore does, without changing anything.
SIM_API bool ParseStore(std::string_view text, const std::string& file_name,
                        std::vector<Registration>* out, std::string* error);
// Early in boot the subsystem is not up yet: its calls fail with ERROR_NOT_READY (kFails) or
// block until it is (kBlocks). kReady, as after Reset, brings it up and lets blocked calls go on.
enum class Readiness { kReady, kFails, kBlocks };
SIM_API void SetReadiness(Readiness readiness);

}  // namespace notify

namespace modules {

SIM_API void SetSearchPath(const std::filesystem::path& dir);
SIM_API std::vector<HMODULE> ThreadCallsDisabled();  // DisableThreadLibraryCalls, in order
SIM_API bool IsLoaded(std::u16string_view dll_name);
SIM_API int References(HMODULE module);  // LoadLibraryW's not yet freed; 0 once unloaded
// Runs `fn` holding the loader lock, as a module's DllMain runs. LoadLibraryW, FreeLibrary and
// FreeLibraryAndExitThread hold it too, and a simulated thread takes it as it starts and as it
// ends, so a thread created under it starts only once it is free. A wait for the end of a
// thread that has not ended, by a thread that holds it, would never end on the device: the
// process ends at once with a message that names the loader lock (in the deterministic mode, a
// failed run).
SIM_API void WithLoaderLock(const std::function<void()>& fn);

}  // namespace modules

}  // namespace coredll

#endif  // TIMEWARD_COREDLL_SIM_H
