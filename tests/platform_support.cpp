// The platform cases' needs on the host: the simulated kernel has no mutexes, so a name taken
// by another kind of object stands for one.
#include "platform_support.h"

#include "coredll_sim.h"

bool HoldNameWithAMutex(LPCWSTR name) {
    coredll::threads::TakeName(name);
    return true;
}
