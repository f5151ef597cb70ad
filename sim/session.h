// One time the simulated device is on: from the boot to the step that ends it.
#ifndef TIMEWARD_SIM_SESSION_H
#define TIMEWARD_SIM_SESSION_H

#include <atomic>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "calendar.h"
#include "coredll_sim.h"
#include "devmgr.h"
#include "device.h"
#include "exit_status.h"
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

// The device while it is on, in the process that became it: from the boot to the step that
// ends the session.
class Session {
  public:
    Session(const Device& device, const Options& options, int report_fd)
        : device_(device), options_(options), report_fd_(report_fd) {}

    // Plays steps[first] (the boot) to steps[last]. Returns the exit status.
    int Play(const std::vector<Step>& steps, size_t first, size_t last);

    // The steps while the device is on, as the verb table names them. Each returns the
    // session's exit status when the step ends the session; a power cut, a battery pull or a
    // failed expectation ends the process on the spot.
    std::optional<int> Run(const Step& s);
    std::optional<int> Suspend(const Step& s);
    std::optional<int> Resume(const Step& s);
    std::optional<int> SetSaveEvent(const Step& s);
    std::optional<int> SetSystemClock(const Step& s);
    std::optional<int> Shutdown(const Step& s);
    std::optional<int> PowerCut(const Step& s);
    std::optional<int> ArmPowerCut(const Step& s);
    std::optional<int> PullBattery(const Step& s);
    std::optional<int> Status(const Step& s);
    std::optional<int> Ctl(const Step& s);
    std::optional<int> Expect(const Step& s);

  private:
    void CheckDevice();
    void FlushHive();
    bool Boot();
    void StartDrivers();
    void RunAwake(const SYSTEMTIME& now, int64_t ms);
    void Sleep(const SYSTEMTIME& now, int64_t ms);
    void SendPower(const SYSTEMTIME& now, const char* text, CEDEVICE_POWER_STATE state);
    int PowerDown(const SYSTEMTIME& now, const std::string& what);
    void PowerOff(bool battery_ok, const std::optional<SYSTEMTIME>& reset_to);
    // After every registry call, on the calling thread: a flush that could not reach the hive
    // file, and the value write an armed power cut comes after.
    void OnRegistryCall(coredll::RegCall call, std::u16string_view name, LONG result);

    const Device& device_;
    const Options& options_;
    const int report_fd_;
    Rtc rtc_;
    Image image_;
    SYSTEMTIME start_{};
    bool suspended_ = false;
    std::atomic<size_t> step_{0};    // the step being played
    std::atomic<int> cut_after_{0};  // value writes left before an armed power cut; 0: none
    std::optional<coredll::DeviceManager> dm_;
};

// Plays steps[first] (the boot) to steps[last] in this process, which becomes the device, and
// ends the process with the exit status. The device loads the hive into the simulated core
// library, starts the clock from the real-time clock, and runs the Device Manager over the
// drivers the hive lists, until it goes off. A power cut, a battery pull or a failed
// expectation ends the process on the spot, so all that survives is what the registry flushed
// to the hive file and the real-time clock, as on a device. A restore at the boot is reported
// on `report_fd`.
[[noreturn]] void PlaySession(const Device& device, const Options& options,
                              const std::vector<Step>& steps, size_t first, size_t last,
                              int report_fd);

// Reads a session's report: the restore at its boot, if the driver moved the clock.
std::optional<Restore> ReadRestoreReport(const std::string& report);
// The step an armed power cut ended the session in, if one did.
std::optional<size_t> ReadCutReport(const std::string& report);

}  // namespace tws

#endif  // TIMEWARD_SIM_SESSION_H
