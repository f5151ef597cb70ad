// timeward-sim's play, demo and steps: the steps read, the device made ready, the steps played,
// and how it went.
#ifndef TIMEWARD_SIM_PLAY_H
#define TIMEWARD_SIM_PLAY_H

#include "command_line.h"
#include "device.h"

namespace program {

// Plays what the words ask for (the demo, a scenario file or a bundled one, or steps) on the
// device, which it makes where it may; `own`: the command wants a new device of its own, and
// `made`: the run made its directory. Returns the exit status.
int Play(const Args& a, tws::Device& device, bool own, bool made);

}  // namespace program

#endif  // TIMEWARD_SIM_PLAY_H
