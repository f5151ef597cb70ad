// The platform cases' needs on the host: the simulated kernel has no mutexes, so a name taken
// by another kind of object stands for one; its tick count is virtual time, which a case moves
// on; and its loader looks for modules on a search path.
#include "platform_support.h"

#include "coredll_sim.h"

bool HoldNameWithAMutex(LPCWSTR name) {
    coredll::threads::TakeName(name);
    return true;
}

bool MoveTickCountTo(DWORD ticks) {
    const uint64_t now = coredll::clock::NowMs();
    coredll::clock::Advance((ticks - static_cast<DWORD>(now)) & 0xFFFFFFFFu);
    return true;
}

namespace {

// LoadLibraryW looks for the driver's module where the build puts it.
const bool kSearchPathSet = [] {
    coredll::modules::SetSearchPath(TIMEWARD_MODULE_DIR);
    return true;
}();

}  // namespace
