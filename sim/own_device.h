// The device of its own that the demo and a bundled scenario play on: made under $TMPDIR, said
// if a signal ends the run, and kept or removed at the end.
#ifndef TIMEWARD_SIM_OWN_DEVICE_H
#define TIMEWARD_SIM_OWN_DEVICE_H

#include <filesystem>
#include <optional>
#include <string>

#include "device.h"

namespace program {

// A new directory under $TMPDIR (default /tmp) for the device of the demo or of a bundled
// scenario, named after it, and said on standard error if a signal ends the run before the
// run removes it.
std::optional<std::filesystem::path> MakeOwnDir(const std::string& name);

// Keeps or removes a device the run made for itself.
void FinishOwnDevice(tws::Device& device, tws::DeviceLock& lock, bool keep);

}  // namespace program

#endif  // TIMEWARD_SIM_OWN_DEVICE_H
