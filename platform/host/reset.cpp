// The reset that brings the whole simulated core library back to its state at load.
#include "internal.h"

void sim::Reset() {
    using namespace sim::detail;
    ResetKernel();
    ResetRegistry();
    ResetDebugOutput();
    ResetModules();
    ResetGuardedCopy();
}
