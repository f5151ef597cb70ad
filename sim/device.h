// A simulated device at rest: a directory with its registry hive, its real-time clock and the
// make-up of its OS image.
#ifndef TIMEWARD_SIM_DEVICE_H
#define TIMEWARD_SIM_DEVICE_H

#include <timeward_backend.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace tws {

// The battery-backed real-time clock: the time it keeps while the device is off, or that it
// lost its time and comes back at `reset_to`.
struct Rtc {
    bool battery_ok = true;
    SYSTEMTIME time{};
    SYSTEMTIME reset_to{};
};

// The optional components the device's OS image was built with. The image is the device's: it
// lasts from boot to boot until it is built again.
struct Image {
    // The notification subsystem, whose CeRunAppAtEvent lets the driver hear of every change of
    // the system time; an OS design may leave it out.
    bool notifications = true;
    // The registry writes each value through to storage as it is written, instead of only at
    // a flush: the aggressive flushing an integrator may choose for a hive-based registry.
    bool write_through = false;
    // "the notification component is in: ...", what it means for a clock that is set.
    std::string Describe() const;
    // "on-flush: ..." or "write-through: ...", what the registry's flushing means.
    std::string DescribeFlushing() const;
};

// What a time on cost the device's storage: the registry's value writes and hive flushes from
// the boot on. Kept when the device goes off, for the status at rest.
struct Wear {
    uint64_t value_writes = 0;
    uint64_t flushes = 0;
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
    std::filesystem::path image_file() const {
        return dir_ / "image";
    }
    std::filesystem::path wear_file() const {
        return dir_ / "wear";
    }
    // The notification subsystem's store, kept in battery-backed memory: it outlives a warm
    // restart and goes with the battery.
    std::filesystem::path notifications_file() const {
        return dir_ / "notifications";
    }
    // Whether any of its files is there; a file that cannot even be looked at counts as there,
    // so that reading it says why.
    bool Exists() const;

    // Reads and checks the files without changing anything; a new device (no files) is
    // fine. Returns kAllHeld, kBadInput for a malformed file (the message names the file, the
    // line and what was expected), or kDeviceFailed for a file that cannot be read (the
    // message names the file and the system's reason).
    int Check(std::string* error) const;
    // Creates the directory, the hive from the shipped driver configuration, a clock set to
    // `start` and a whole image. Does nothing to a device that exists.
    bool Create(const SYSTEMTIME& start, bool* created, std::string* error) const;
    // Removes the device's files (nothing else in the directory); on failure the message
    // names the file and the system's reason.
    bool Wipe(std::string* error) const;

    bool ReadRtc(Rtc* rtc, std::string* error) const;
    bool WriteRtc(const Rtc& rtc, std::string* error) const;
    // A device made before its image had a file has the whole image.
    bool ReadImage(Image* image, std::string* error) const;
    bool WriteImage(const Image& image, std::string* error) const;
    // The wear of the last time on; none before the first boot.
    bool ReadWear(std::optional<Wear>* wear, std::string* error) const;
    bool WriteWear(const Wear& wear, std::string* error) const;
    // The battery is gone: the notification subsystem's store is lost with it.
    bool LoseNotifications(std::string* error) const;

  private:
    std::filesystem::path dir_;
};

// One writer per device: an exclusive lock on the file "lock" in the device directory, held
// by this process (not by its children) until it ends. Sessions are children of the process
// that holds it.
class DeviceLock {
  public:
    DeviceLock() = default;
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;
    ~DeviceLock();

    // Creates the directory if need be and takes the lock. Returns kAllHeld; kBadInput when
    // another process holds it (the message gives its pid), having changed nothing; or
    // kDeviceFailed when the directory or the lock file cannot be made.
    int Take(const std::filesystem::path& dir, std::string* error);
    // Releases the lock and removes the lock file, for a device that goes away.
    void Remove();
    // The pid of the run that holds the lock of the device in `dir`, if one does; 0 when the
    // system does not say. Takes, makes and changes nothing.
    static std::optional<long> Holder(const std::filesystem::path& dir);

  private:
    std::filesystem::path file_;
    int fd_ = -1;
};

}  // namespace tws

#endif  // TIMEWARD_SIM_DEVICE_H
