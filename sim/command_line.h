// timeward-sim's command line: its words read and checked, and the defaults it leaves.
#ifndef TIMEWARD_SIM_COMMAND_LINE_H
#define TIMEWARD_SIM_COMMAND_LINE_H

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "runner.h"

namespace program {

// The command line, as read.
struct Args {
    std::string device;
    bool fresh = false, keep = false, json = false, help = false, version = false;
    std::optional<std::string> date, scale;
    tws::Options options;
    std::vector<std::string> words;               // the command, or the steps
    std::optional<std::vector<std::string>> ctl;  // timewardctl's words, after ctl
};

// Says what is wrong with the input, on standard error. Returns the exit status of bad input.
int BadInput(const std::string& message);

// Reads the command line into *a; returns -1 to go on, else the exit status.
int ReadCommandLine(int argc, char** argv, Args* a);

// timewardctl's words after ctl: an option of timeward-sim among them is refused with where it
// belongs, and words that end in timewardctl's help, version or usage end here, before any
// device is looked at. Returns -1 to go on, else the exit status.
int ReadCtlWords(const std::vector<std::string>& words);

// The device when none is named: $TIMEWARD_DEVICE, else under the XDG state directory, else
// under the home directory (from the password database when HOME is not set); nothing without
// one. Never the current directory: a device must not appear wherever the program happens to
// run.
std::optional<std::filesystem::path> DefaultDevice();

// Where the driver module is: next to an installed program, else where the build put it.
std::filesystem::path DefaultModuleDir();

}  // namespace program

#endif  // TIMEWARD_SIM_COMMAND_LINE_H
