// The last-error code, one for each thread.
#include "internal.h"

namespace {

thread_local DWORD t_last_error = 0;

}  // namespace

COREDLL_API void SetLastError(DWORD dwErrCode) {
    t_last_error = dwErrCode;
}

COREDLL_API DWORD GetLastError(void) {
    return t_last_error;
}
