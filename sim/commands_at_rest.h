// timeward-sim's commands on the device at rest: status, and ctl with timewardctl's words.
#ifndef TIMEWARD_SIM_COMMANDS_AT_REST_H
#define TIMEWARD_SIM_COMMANDS_AT_REST_H

#include <string>
#include <vector>

#include "command_line.h"
#include "device.h"

namespace program {

// timewardctl on the device at rest: its exit status, unless the device failed.
int CtlAtRest(const tws::Device& device, const std::vector<std::string>& args, bool in_use);

// Checks that the device is there for status or ctl, which make no device: `what` names the
// command, and `reads` says it changes nothing at all. Returns -1 to go on, else the exit status.
int ExistingDevice(const Args& a, const tws::Device& device, const std::string& what, bool reads);

// status and ctl's reads (status, save, check) take no lock, make no device and change nothing.
// A device that another run has on is read as that run last stored it, and said so.
int ReadAtRest(const Args& a, const tws::Device& device);

}  // namespace program

#endif  // TIMEWARD_SIM_COMMANDS_AT_REST_H
