// Contexts of execution that one host thread switches between in user mode, without a system
// call: each scheduled thread of a deterministic run can be one. A build without them (no
// Boost.Context for its target) has ContextsAvailable() false, and the scheduler hands the turn
// between host threads instead.
#ifndef TIMEWARD_HOST_CONTEXT_H
#define TIMEWARD_HOST_CONTEXT_H

#include <cstddef>

namespace coredll::detail {

struct Context;

bool ContextsAvailable();
// The calling host thread's own context, to switch back to.
Context* NewThreadContext();
// A context with a stack of its own that runs entry(arg) when first switched to; entry never
// returns, its last act is a switch away for good.
Context* NewContext(void (*entry)(void*), void* arg);
// Saves `from`, which must be the running context, and resumes `to`; returns when something
// switches back to `from`. A `from` that ends switches away for good.
void SwitchContext(Context* from, Context* to, bool from_ends);
// Frees a context that is not running; its stack goes back to a pool.
void DeleteContext(Context* context);
// Contexts made and not yet deleted, in this process.
int LiveContexts();
// WithinRunningStack, which the guarded copy asks, is declared with the kernel's interface to the
// deterministic mode (deterministic.h).

}  // namespace coredll::detail

#endif  // TIMEWARD_HOST_CONTEXT_H
