// A simulated device at rest: a directory with its registry hive and its real-time clock.
#ifndef TIMEWARD_SIM_DEVICE_H
#define TIMEWARD_SIM_DEVICE_H

#include <timeward_backend.h>

#include <filesystem>
#include <string>

namespace tws {

// The battery-backed real-time clock: the time it keeps while the device is off, or that it
// lost its time and comes back at `reset_to`.
struct Rtc {
    bool battery_ok = true;
    SYSTEMTIME time{};
    SYSTEMTIME reset_to{};
};

// The date a real-time clock that lost its time comes back at, unless one is given.
SYSTEMTIME DefaultResetDate();

class Device {
  public:
    explicit Device(std::filesystem::path dir) : dir_(std::move(dir)) {}

    const std::filesystem::path& dir() const {
        return dir_;
    }
    std::filesystem::path hive() const {
        return dir_ / "hive.reg";
    }
    std::filesystem::path rtc_file() const {
        return dir_ / "rtc";
    }
    bool Exists() const;

    // Reads and checks both files without changing anything; a new device (no files) is
    // fine. On error the message names the file, the line and what was expected.
    bool Check(std::string* error) const;
    // Creates the directory, the hive from the shipped driver configuration, and a clock set
    // to `start`. Does nothing to a device that exists.
    bool Create(const SYSTEMTIME& start, bool* created, std::string* error) const;
    // Removes the device's files (nothing else in the directory).
    void Wipe() const;

    bool ReadRtc(Rtc* rtc, std::string* error) const;
    bool WriteRtc(const Rtc& rtc, std::string* error) const;

  private:
    std::filesystem::path dir_;
};

}  // namespace tws

#endif  // TIMEWARD_SIM_DEVICE_H
