// Each thread's own state, its last-error code among it.
#include "self.h"

namespace coredll::detail {
namespace {

// In the static TLS block: every program that uses the library links it, none loads it later,
// and the call that finds a dynamic block's variables was a tenth of a scheduling point.
__attribute__((tls_model("initial-exec"))) thread_local ThreadState t_own;
__attribute__((tls_model("initial-exec"))) thread_local ThreadState* t_self = nullptr;

}  // namespace

ThreadState& Self() {
    return t_self ? *t_self : t_own;
}

void SetSelf(ThreadState* state) {
    t_self = state;
}

}  // namespace coredll::detail

COREDLL_API void SetLastError(DWORD dwErrCode) {
    coredll::detail::Self().last_error = dwErrCode;
}

COREDLL_API DWORD GetLastError(void) {
    return coredll::detail::Self().last_error;
}
