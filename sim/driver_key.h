// The driver's key in the simulated registry: the stored snapshot and the switch, as the
// driver would read them.
#ifndef TIMEWARD_SIM_DRIVER_KEY_H
#define TIMEWARD_SIM_DRIVER_KEY_H

#include <timeward_backend.h>

#include <string>

namespace tws {

// The snapshot as the registry holds it, decoded as the driver reads it.
struct Stored {
    bool signed_ = false;
    bool valid = false;
    SYSTEMTIME time{};
    std::string Describe() const;
};

// `persisted`: as flushed to the hive, rather than the working copy.
Stored ReadStored(bool persisted);

// Whether the switch lets the driver run, and what it says, as "TimewardImplemented = 1: the
// driver is turned off".
bool SwitchOn(bool persisted);
std::string SwitchText(bool persisted);

// "REG_SZ" and the like; "REG_NONE" for a type with no name here.
const char* RegTypeName(DWORD type);

// Sets the switch as the device's image would, and flushes it to the hive.
void WriteSwitch(bool on);

}  // namespace tws

#endif  // TIMEWARD_SIM_DRIVER_KEY_H
