// Plays the steps of a scenario on a simulated device, one process for each time it is on.
#ifndef TIMEWARD_SIM_RUNNER_H
#define TIMEWARD_SIM_RUNNER_H

#include <vector>

#include "device.h"
#include "scenario.h"
#include "session.h"

namespace tws {

class Runner {
  public:
    Runner(Device device, Options options) : device_(std::move(device)), options_(options) {}

    // Plays the steps. Returns kAllHeld when every expectation held, kExpectationFailed when
    // one failed (said on standard error with what was expected and what was seen),
    // kDeviceFailed when a device session failed. SIGINT or SIGTERM during a session is a
    // power cut at that moment: the session says so, and this process then ends by the same
    // signal, as an interrupted program does.
    int Play(const std::vector<Step>& steps);

    // Prints the state of the device at rest, as text or JSON. Returns the exit status.
    int Status(bool json);

    const std::vector<Restore>& restores() const {
        return restores_;
    }
    int expectations() const {
        return expectations_;
    }

  private:
    int PlayOn(const std::vector<Step>& steps, size_t first, size_t last);
    int PlayAfterCut(const std::vector<Step>& steps, size_t first, size_t last);

    Device device_;
    Options options_;
    std::vector<Restore> restores_;
    int expectations_ = 0;
};

}  // namespace tws

#endif  // TIMEWARD_SIM_RUNNER_H
