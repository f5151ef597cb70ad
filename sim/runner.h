// Plays the steps of a scenario on a simulated device, one process for each time it is on.
#ifndef TIMEWARD_SIM_RUNNER_H
#define TIMEWARD_SIM_RUNNER_H

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "device.h"
#include "scenario.h"

namespace tws {

struct Options {
    double scale = 300;     // simulated seconds per real second
    bool instant = false;   // no real waiting at all
    bool progress = false;  // draw a progress bar (on a terminal)
    std::filesystem::path module_dir;
};

// A boot at which the driver moved the clock.
struct Restore {
    SYSTEMTIME from;
    SYSTEMTIME to;
};

class Runner {
  public:
    Runner(Device device, Options options) : device_(std::move(device)), options_(options) {}

    // Plays the steps. Returns 0 when every expectation held, 1 when one failed (said on
    // standard error with what was expected and what was seen), 3 when a device session
    // failed.
    int Play(const std::vector<Step>& steps);

    // Prints the state of the device at rest.
    void Status();

    const std::vector<Restore>& restores() const {
        return restores_;
    }
    int expectations() const {
        return expectations_;
    }

  private:
    int Session(const std::vector<Step>& steps, size_t first, size_t last, int report_fd);
    int AtRest(const Step& step);

    Device device_;
    Options options_;
    std::vector<Restore> restores_;
    int expectations_ = 0;
};

}  // namespace tws

#endif  // TIMEWARD_SIM_RUNNER_H
