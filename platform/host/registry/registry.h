// What the simulated registry offers the rest of the library: its part of coredll::Reset.
#ifndef TIMEWARD_HOST_REGISTRY_H
#define TIMEWARD_HOST_REGISTRY_H

namespace coredll::detail {

void ResetRegistry();

}  // namespace coredll::detail

#endif  // TIMEWARD_HOST_REGISTRY_H
