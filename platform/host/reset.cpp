// The reset that brings the whole simulated core library back to its state at load.
#include "internal.h"
#include "loader.h"
#include "notifications.h"
#include "registry.h"

void coredll::Reset() {
    using namespace coredll::detail;
    ResetKernel();
    ResetRegistry();
    ResetDebugOutput();
    ResetModules();
    ResetGuardedCopy();
    ResetNotifications();
}
