// Contexts where Boost.Context is not built for the target: none, and the scheduler hands the
// turn between host threads.
#include "context.h"
#include "deterministic.h"

#include <cstdio>
#include <cstdlib>

namespace coredll::detail {
namespace {

[[noreturn]] void Unavailable() {
    std::fprintf(stderr, "simulated kernel: this build has no user-mode contexts\n");
    std::abort();
}

}  // namespace

bool ContextsAvailable() {
    return false;
}

Context* NewThreadContext() {
    Unavailable();
}

Context* NewContext(void (*)(void*), void*) {
    Unavailable();
}

void SwitchContext(Context*, Context*, bool) {
    Unavailable();
}

void DeleteContext(Context*) {
    Unavailable();
}

int LiveContexts() {
    return 0;
}

bool WithinRunningStack(const void*, size_t) {
    return false;
}

}  // namespace coredll::detail
