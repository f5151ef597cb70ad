// What each simulated thread has of its own. A host thread has one; in the deterministic mode a
// scheduled thread may run on a context of its own on a shared host thread, and then the
// scheduler points the host thread at that thread's state at every switch.
#ifndef TIMEWARD_HOST_SELF_H
#define TIMEWARD_HOST_SELF_H

#include "internal.h"

#include <csetjmp>

namespace coredll::detail {

struct ThreadState {
    bool simulated = false;  // started by CreateThread
    int scheduled = -1;      // its number in the deterministic mode's run; -1 outside one
    DWORD last_error = 0;
    int spins = 0;  // waits that returned at once, in a row, at virtual time spin_at
    uint64_t spin_at = 0;
    std::jmp_buf* exit = nullptr;  // where FreeLibraryAndExitThread ends the thread
    DWORD exit_code = 0;
    bool in_check = false;        // running the explorer's check of a step
    bool in_hook = false;         // running the registry's call hook
    bool attach_refused = false;  // the DllMain of the module it loads refused the attach
    int sections_held = 0;        // entries of critical sections it has not left
};

// The calling thread's state.
ThreadState& Self();
// Makes `state` the calling host thread's; null gives it back its own.
void SetSelf(ThreadState* state);

}  // namespace coredll::detail

#endif  // TIMEWARD_HOST_SELF_H
