// Each thread's own state, its last-error code among it.
#include "self.h"

namespace coredll::detail {
namespace {

thread_local ThreadState t_own;
thread_local ThreadState* t_self = nullptr;

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
