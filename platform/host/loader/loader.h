// What the simulated loader offers the rest of the library: its part of coredll::Reset.
#ifndef TIMEWARD_HOST_LOADER_H
#define TIMEWARD_HOST_LOADER_H

#include "internal.h"

namespace coredll::detail {

void ResetModules();
// FreeLibrary's work, with no scheduling point of its own: FreeLibraryAndExitThread is one.
BOOL FreeModule(HMODULE module);

}  // namespace coredll::detail

#endif  // TIMEWARD_HOST_LOADER_H
