// Keeps a simulated device's registry hive, real-time clock and image in its directory.
#include "device.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <functional>
#include <sstream>

#include "coredll_sim.h"
#include "date_text.h"
#include "exit_status.h"
#include "timeward_reg.h"
#include "support/files.h"

namespace tws {
namespace {

constexpr char kRtcHeader[] = "# Timeward simulated device: the battery-backed real-time clock\n";
constexpr char kWearHeader[] =
    "# Timeward simulated device: registry value writes and flushes of its last time on\n";
constexpr char kImageHeader[] =
    "# Timeward simulated device: the optional components of its OS image\n";

// Whether `file` is there; a file that cannot be looked at (a directory without search
// permission, a loop of links) counts as there.
bool Present(const std::filesystem::path& file) {
    std::error_code ec;
    const bool there = std::filesystem::exists(file, ec);
    return there || ec;
}

std::string Expected(const std::filesystem::path& file, int line, const std::string& what) {
    return file.string() + ":" + std::to_string(line) + ": expected " + what;
}

// Reads a device file of "key value" lines, in which '#' starts a comment line. `take` is given
// each line's key and value and returns what was expected instead, or "" when it takes the
// line. `lines` is how many lines there were, for a message about what the end lacks.
using TakeLine = std::function<std::string(const std::string& key, const std::string& value)>;
bool ReadKeyLines(const std::filesystem::path& file, const TakeLine& take, int* lines,
                  std::string* error) {
    std::string text;
    if (!support::ReadWholeFile(file, &text, error))
        return false;
    std::istringstream in(text);
    std::string line;
    int n = 0;
    while (std::getline(in, line)) {
        ++n;
        if (line.empty() || line[0] == '#')
            continue;
        const size_t sp = line.find(' ');
        const std::string expected =
            take(line.substr(0, sp), sp == std::string::npos ? "" : line.substr(sp + 1));
        if (!expected.empty()) {
            *error = Expected(file, n, expected);
            return false;
        }
    }
    *lines = n;
    return true;
}

}  // namespace

std::string Image::Describe() const {
    return notifications ? "the notification component is in: a clock that is set is saved at once"
                         : "the notification component is left out (no CeRunAppAtEvent): a clock "
                           "that is set is saved at the next snapshot";
}

std::string Image::DescribeFlushing() const {
    return write_through ? "write-through: each value write is on storage when it returns"
                         : "on-flush: values reach storage when the hive is flushed";
}

SYSTEMTIME DefaultResetDate() {
    SYSTEMTIME st;
    ParseDate("2003-01-01", &st);
    return st;
}

bool Device::Exists() const {
    return Present(hive()) || Present(rtc_file()) || Present(image_file());
}

int Device::Check(std::string* error) const {
    if (!Exists())
        return kAllHeld;
    std::string text, rtc_text, image_text, store_text;
    if (!support::ReadWholeFile(hive(), &text, error) ||
        !support::ReadWholeFile(rtc_file(), &rtc_text, error) ||
        (Present(image_file()) && !support::ReadWholeFile(image_file(), &image_text, error)) ||
        (Present(notifications_file()) &&
         !support::ReadWholeFile(notifications_file(), &store_text, error)))
        return kDeviceFailed;
    std::vector<coredll::notify::Registration> store;
    if (!coredll::reg::ParseRegText(text, hive().string(), error) ||
        !coredll::notify::ParseStore(store_text, notifications_file().string(), &store, error))
        return kBadInput;
    Rtc rtc;
    Image image;
    return ReadRtc(&rtc, error) && ReadImage(&image, error) ? kAllHeld : kBadInput;
}

bool Device::Create(const SYSTEMTIME& start, bool* created, std::string* error) const {
    *created = false;
    if (Exists())
        return true;
    std::error_code ec;
    std::filesystem::create_directories(dir_, ec);
    if (ec) {
        *error = dir_.string() + ": cannot create: " + ec.message();
        return false;
    }
    Rtc rtc;
    rtc.time = start;
    rtc.reset_to = DefaultResetDate();
    if (!support::WriteFileAtomically(hive(), kTimewardReg, error) || !WriteRtc(rtc, error) ||
        !WriteImage(Image{}, error))
        return false;
    *created = true;
    return true;
}

bool Device::Wipe(std::string* error) const {
    for (const char* name : {"hive.reg", "hive.reg.tmp", "rtc", "rtc.tmp", "image", "image.tmp",
                             "wear", "wear.tmp", "notifications", "notifications.tmp"}) {
        std::error_code ec;
        std::filesystem::remove(dir_ / name, ec);
        if (ec) {
            *error = (dir_ / name).string() + ": cannot remove: " + ec.message();
            return false;
        }
    }
    return true;
}

bool Device::ReadRtc(Rtc* rtc, std::string* error) const {
    bool have_time = false, have_battery = false;
    Rtc out;
    out.reset_to = DefaultResetDate();
    auto take = [&](const std::string& key, const std::string& value) -> std::string {
        if (key == "time" || key == "reset-to") {
            SYSTEMTIME st;
            if (!ParseDate(value, &st))
                return "a date like 2026-12-08 09:30:00.000 after " + key;
            (key == "time" ? out.time : out.reset_to) = st;
            have_time |= key == "time";
        } else if (key == "battery") {
            if (value != "ok" && value != "lost")
                return "ok or lost after battery";
            out.battery_ok = value == "ok";
            have_battery = true;
        } else {
            return "time, battery or reset-to";
        }
        return "";
    };
    int lines = 0;
    if (!ReadKeyLines(rtc_file(), take, &lines, error))
        return false;
    if (!have_time || !have_battery) {
        *error = Expected(rtc_file(), lines + 1, have_time ? "a battery line" : "a time line");
        return false;
    }
    *rtc = out;
    return true;
}

bool Device::WriteRtc(const Rtc& rtc, std::string* error) const {
    std::string text = kRtcHeader;
    text += "time " + FormatDate(rtc.time, true) + "\n";
    text += std::string("battery ") + (rtc.battery_ok ? "ok" : "lost") + "\n";
    text += "reset-to " + FormatDate(rtc.reset_to, true) + "\n";
    return support::WriteFileAtomically(rtc_file(), text, error);
}

bool Device::ReadImage(Image* image, std::string* error) const {
    Image out;
    auto take = [&](const std::string& key, const std::string& value) -> std::string {
        if (key == "flushing") {
            if (value != "write-through" && value != "on-flush")
                return "write-through or on-flush after flushing";
            out.write_through = value == "write-through";
            return "";
        }
        if (key != "notifications")
            return "notifications or flushing";
        if (value != "on" && value != "off")
            return "on or off after notifications";
        out.notifications = value == "on";
        return "";
    };
    int lines = 0;
    if (Present(image_file()) && !ReadKeyLines(image_file(), take, &lines, error))
        return false;
    *image = out;
    return true;
}

bool Device::WriteImage(const Image& image, std::string* error) const {
    std::string text = kImageHeader;
    text += std::string("notifications ") + (image.notifications ? "on" : "off") + "\n";
    text += std::string("flushing ") + (image.write_through ? "write-through" : "on-flush") + "\n";
    return support::WriteFileAtomically(image_file(), text, error);
}

bool Device::ReadWear(std::optional<Wear>* wear, std::string* error) const {
    Wear out;
    auto take = [&](const std::string& key, const std::string& value) -> std::string {
        uint64_t* field = key == "value-writes" ? &out.value_writes
                          : key == "flushes"    ? &out.flushes
                                                : nullptr;
        if (!field)
            return "value-writes or flushes";
        const char* end = value.data() + value.size();
        auto [stop, ec] = std::from_chars(value.data(), end, *field);
        return value.empty() || ec != std::errc() || stop != end ? "a count after " + key : "";
    };
    int lines = 0;
    wear->reset();
    if (!Present(wear_file()))
        return true;
    if (!ReadKeyLines(wear_file(), take, &lines, error))
        return false;
    *wear = out;
    return true;
}

bool Device::WriteWear(const Wear& wear, std::string* error) const {
    std::string text = kWearHeader;
    text += "value-writes " + std::to_string(wear.value_writes) + "\n";
    text += "flushes " + std::to_string(wear.flushes) + "\n";
    return support::WriteFileAtomically(wear_file(), text, error);
}

bool Device::LoseNotifications(std::string* error) const {
    std::error_code ec;
    std::filesystem::remove(notifications_file(), ec);
    if (ec)
        *error = notifications_file().string() + ": cannot remove: " + ec.message();
    return !ec;
}

DeviceLock::~DeviceLock() {
    if (fd_ >= 0)
        close(fd_);
}

int DeviceLock::Take(const std::filesystem::path& dir, std::string* error) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    if (ec) {
        *error = dir.string() + ": cannot create: " + ec.message();
        return kDeviceFailed;
    }
    file_ = dir / "lock";
    fd_ = open(file_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) {
        *error = file_.string() + ": cannot open: " + std::strerror(errno);
        return kDeviceFailed;
    }
    // A record lock, so that a process refused can learn the holder's pid from the system.
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    if (fcntl(fd_, F_SETLK, &whole) == 0)
        return kAllHeld;
    if (errno != EACCES && errno != EAGAIN) {
        *error = file_.string() + ": cannot lock: " + std::strerror(errno);
        return kDeviceFailed;
    }
    struct flock holder = whole;
    const bool known = fcntl(fd_, F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK;
    *error = dir.string() + " is in use by another run of timeward-sim" +
             (known ? " (pid " + std::to_string(holder.l_pid) + ")" : "") +
             "; one run at a time on a device: nothing was changed";
    return kBadInput;
}

std::optional<long> DeviceLock::Holder(const std::filesystem::path& dir) {
    const int fd = open((dir / "lock").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;  // no lock file: no run has held it
    struct flock probe {};
    probe.l_type = F_WRLCK;
    probe.l_whence = SEEK_SET;
    const bool held = fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
    close(fd);
    if (!held)
        return std::nullopt;
    return probe.l_pid;
}

void DeviceLock::Remove() {
    if (fd_ < 0)
        return;
    unlink(file_.c_str());
    close(fd_);
    fd_ = -1;
}

}  // namespace tws
