// The simulated device while it is off: steps that act on its files.
#ifndef TIMEWARD_SIM_AT_REST_H
#define TIMEWARD_SIM_AT_REST_H

#include <optional>
#include <string>
#include <vector>

#include "device.h"
#include "exit_status.h"
#include "scenario.h"

namespace tws {

// The device while it is off, as a step finds it: its files, and the time its real-time clock
// keeps.
class AtRest {
  public:
    explicit AtRest(const Device& device) : device_(device) {}

    // Reads the real-time clock, as every step does first; false, said on the console, when it
    // cannot.
    bool ReadRtc();

    // The steps while the device is off, as the verb table names them: time passes on the
    // real-time clock, the clock is set or loses its time, the switch is set in the hive, an
    // older driver stores a snapshot, the image is built with or without a component, or an
    // expectation is checked. Each returns
    // the exit status.
    int Off(const Step& s);
    int SetRealTimeClock(const Step& s);
    int PullBattery(const Step& s);
    int SetSwitch(const Step& s);
    int StoreAsAnOlderDriver(const Step& s);
    int SetNotifications(const Step& s);
    int SetFlushing(const Step& s);
    int SetInterval(const Step& s);
    int Status(const Step& s);
    int Ctl(const Step& s);
    int Expect(const Step& s);

  private:
    bool LoadHive();
    // Writes the hive back after a change; `what` names it in a failure.
    int SaveHive(const std::string& what);
    int WriteRtc();
    // Reads the image, changes it and writes it back.
    int ChangeImage(void (*change)(Image* image, const Step& s), const Step& s);

    const Device& device_;
    Rtc rtc_;
    SYSTEMTIME clock_{};  // the time the device would start at
};

// Plays one step while the device is off. Returns the exit status.
int PlayAtRest(const Device& device, const Step& s);

// Runs timewardctl's own code with `args` on the device at rest: its hive, and its real-time
// clock as the system clock; `in_use`: another run has it on, and whether its driver runs is
// unknown. What timewardctl flushes is written back to the hive. Returns kAllHeld with
// timewardctl's exit status in *ctl_status, or kDeviceFailed.
int RunCtlAtRest(const Device& device, const std::vector<std::string>& args, int* ctl_status,
                 bool in_use);

// Calls timewardctl's own code with `args`, in this thread. Returns its exit status.
int CallCtl(const std::vector<std::string>& args);

// Reads timewardctl's words as timewardctl does, touching no device: its exit status when they
// end there (its help, its version, or what is wrong with them, said on the console), else
// nothing.
std::optional<int> CtlWordsEnd(const std::vector<std::string>& args);

// What is wrong with timewardctl's words, in its own words without its name, touching no
// device and printing nothing; "" when there is nothing wrong (a command, its help, its version).
std::string CtlWordsProblem(const std::vector<std::string>& args);

// The words with a space between them.
std::string Joined(const std::vector<std::string>& words);

// Prints the state of the device at rest, as text or JSON; `in_use`: another run has it on, and
// what its files hold is what that run last stored. Returns the exit status.
int ShowStatusAtRest(const Device& device, bool json, bool in_use = false);

}  // namespace tws

#endif  // TIMEWARD_SIM_AT_REST_H
