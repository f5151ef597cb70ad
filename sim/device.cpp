// Keeps a simulated device's registry hive and real-time clock in its directory.
#include "device.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

#include "coredll_sim.h"
#include "date_text.h"
#include "exit_status.h"
#include "timeward_reg.h"

namespace tws {
namespace {

constexpr char kRtcHeader[] = "# Timeward simulated device: the battery-backed real-time clock\n";

// Whether `file` is there; a file that cannot be looked at (a directory without search
// permission, a loop of links) counts as there.
bool Present(const std::filesystem::path& file) {
    std::error_code ec;
    const bool there = std::filesystem::exists(file, ec);
    return there || ec;
}

}  // namespace

SYSTEMTIME DefaultResetDate() {
    SYSTEMTIME st;
    ParseDate("2003-01-01", &st);
    return st;
}

bool Device::Exists() const {
    return Present(hive()) || Present(rtc_file());
}

int Device::Check(std::string* error) const {
    if (!Exists())
        return kAllHeld;
    std::string text, rtc_text;
    if (!coredll::ReadWholeFile(hive(), &text, error) ||
        !coredll::ReadWholeFile(rtc_file(), &rtc_text, error))
        return kDeviceFailed;
    if (!coredll::reg::ParseRegText(text, hive().string(), error))
        return kBadInput;
    Rtc rtc;
    return ReadRtc(&rtc, error) ? kAllHeld : kBadInput;
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
    if (!coredll::WriteFileAtomically(hive(), kTimewardReg, error) || !WriteRtc(rtc, error))
        return false;
    *created = true;
    return true;
}

bool Device::Wipe(std::string* error) const {
    for (const char* name : {"hive.reg", "hive.reg.tmp", "rtc", "rtc.tmp"}) {
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
    std::string text;
    if (!coredll::ReadWholeFile(rtc_file(), &text, error))
        return false;
    std::istringstream in(text);
    std::string line;
    int n = 0;
    bool have_time = false, have_battery = false;
    Rtc out;
    out.reset_to = DefaultResetDate();
    auto fail = [&](const std::string& expected) {
        *error = rtc_file().string() + ":" + std::to_string(n) + ": expected " + expected;
        return false;
    };
    while (std::getline(in, line)) {
        ++n;
        if (line.empty() || line[0] == '#')
            continue;
        size_t sp = line.find(' ');
        std::string key = line.substr(0, sp);
        std::string value = sp == std::string::npos ? "" : line.substr(sp + 1);
        if (key == "time" || key == "reset-to") {
            SYSTEMTIME st;
            if (!ParseDate(value, &st))
                return fail("a date like 2026-12-08 09:30:00.000 after " + key);
            (key == "time" ? out.time : out.reset_to) = st;
            have_time |= key == "time";
        } else if (key == "battery") {
            if (value != "ok" && value != "lost")
                return fail("ok or lost after battery");
            out.battery_ok = value == "ok";
            have_battery = true;
        } else {
            return fail("time, battery or reset-to");
        }
    }
    ++n;
    if (!have_time)
        return fail("a time line");
    if (!have_battery)
        return fail("a battery line");
    *rtc = out;
    return true;
}

bool Device::WriteRtc(const Rtc& rtc, std::string* error) const {
    std::string text = kRtcHeader;
    text += "time " + FormatDate(rtc.time, true) + "\n";
    text += std::string("battery ") + (rtc.battery_ok ? "ok" : "lost") + "\n";
    text += "reset-to " + FormatDate(rtc.reset_to, true) + "\n";
    return coredll::WriteFileAtomically(rtc_file(), text, error);
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

void DeviceLock::Remove() {
    if (fd_ < 0)
        return;
    unlink(file_.c_str());
    close(fd_);
    fd_ = -1;
}

}  // namespace tws
