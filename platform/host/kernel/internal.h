// Pieces of the simulated kernel that its own files and the folders above it share.
#ifndef TIMEWARD_HOST_INTERNAL_H
#define TIMEWARD_HOST_INTERNAL_H

#include "coredll_sim.h"

#include <cstdarg>

namespace coredll::detail {

// Handles are multiples of four, as on Windows, whose handle values keep their low bits free.
constexpr uintptr_t kHandleStep = 4;

// The kernel's parts of coredll::Reset.
void ResetKernel();
void ResetDebugOutput();
void ResetGuardedCopy();

// The loader lock (loader_lock.cpp): entered and left by the calling thread, recursively.
void EnterLoaderLock();
void LeaveLoaderLock();
bool HoldsLoaderLock();

// The wall clock as a record, and virtual monotonic time, for the debug output.
SYSTEMTIME WallNow();
uint64_t VirtualNowMs();

// The text of a kernel debug print: %s (wide), %S (narrow), %c, %d, %i, %u, %x, %X, %%, with
// an optional '0' flag, a width and 'l' or 'h' size letters, which change nothing here.
std::u16string FormatDebugText(const char16_t* fmt, va_list args);

}  // namespace coredll::detail

#endif  // TIMEWARD_HOST_INTERNAL_H
