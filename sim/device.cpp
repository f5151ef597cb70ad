// Keeps a simulated device's registry hive and real-time clock in its directory.
#include "device.h"

#include <sstream>

#include "coredll_sim.h"
#include "date_text.h"
#include "timeward_reg.h"

namespace tws {
namespace {

constexpr char kRtcHeader[] = "# Timeward simulated device: the battery-backed real-time clock\n";

}  // namespace

SYSTEMTIME DefaultResetDate() {
    SYSTEMTIME st;
    ParseDate("2003-01-01", &st);
    return st;
}

bool Device::Exists() const {
    return std::filesystem::exists(hive()) || std::filesystem::exists(rtc_file());
}

bool Device::Check(std::string* error) const {
    if (!Exists())
        return true;
    std::string text;
    if (!coredll::ReadWholeFile(hive(), &text, error))
        return false;
    if (!coredll::reg::ParseRegText(text, hive().string(), error))
        return false;
    Rtc rtc;
    return ReadRtc(&rtc, error);
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

void Device::Wipe() const {
    for (const char* name : {"hive.reg", "hive.reg.tmp", "rtc", "rtc.tmp"}) {
        std::filesystem::remove(dir_ / name);
    }
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

}  // namespace tws
