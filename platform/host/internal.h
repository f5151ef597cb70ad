// Pieces of the simulated core library that its own files share.
#ifndef TIMEWARD_HOST_INTERNAL_H
#define TIMEWARD_HOST_INTERNAL_H

#include "coredll_sim.h"

namespace sim::detail {

void ResetRegistry();
void ResetKernel();
void ResetRecords();
void ResetGuardedCopy();

// The wall clock as a record, and virtual monotonic time, for the debug output.
SYSTEMTIME WallNow();
uint64_t VirtualNowMs();

}  // namespace sim::detail

#endif  // TIMEWARD_HOST_INTERNAL_H
