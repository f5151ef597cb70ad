// Plays the steps that come while the simulated device is off, on its files.
#include "at_rest.h"

#include <chrono>
#include <cstdio>

#include "calendar.h"
#include "console.h"
#include "coredll_sim.h"
#include "date_text.h"
#include "driver_key.h"
#include "expect.h"
#include "status.h"

extern "C" int wmain(int argc, WCHAR* argv[]);  // timewardctl's

namespace tws {

std::string Joined(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& w : words)
        out += (out.empty() ? "" : " ") + w;
    return out;
}

int PlayAtRest(const Device& device, const Step& s) {
    std::string error;
    Rtc rtc;
    if (!device.ReadRtc(&rtc, &error)) {
        Out().Fail(error);
        return kDeviceFailed;
    }
    const SYSTEMTIME clock = rtc.battery_ok ? rtc.time : rtc.reset_to;
    auto load_hive = [&] {
        coredll::Reset();
        coredll::debug::EchoToStderr(false);
        if (!coredll::reg::LoadHiveFile(device.hive(), &error)) {
            Out().Fail(error);
            return false;
        }
        // The hive is written back here, where a failure can be told.
        coredll::reg::DetachHiveFile();
        return true;
    };
    switch (s.kind) {
        case StepKind::kOff:
            if (rtc.battery_ok) {
                rtc.time = ToRecord(ToInstant(rtc.time).value_or(Instant{}) +
                                    std::chrono::milliseconds{s.ms});
            }
            Out().Line(rtc.time, "off",
                       FormatDuration(s.ms) + " off" +
                           (rtc.battery_ok ? ": the real-time clock keeps time"
                                           : ": the real-time clock has no time to keep"));
            break;
        case StepKind::kSetClock:
            rtc.battery_ok = true;
            rtc.time = *s.date;
            Out().Line(rtc.time, "clock", "the real-time clock is set to " + FormatDate(rtc.time));
            break;
        case StepKind::kPullBattery:
            rtc.battery_ok = false;
            rtc.reset_to = s.date.value_or(DefaultResetDate());
            Out().Line(rtc.time, "battery",
                       "battery pulled: the real-time clock will come back at " +
                           FormatDate(rtc.reset_to));
            break;
        case StepKind::kSwitch:
            if (!load_hive())
                return kDeviceFailed;
            WriteSwitch(s.on);
            if (!coredll::WriteFileAtomically(device.hive(), coredll::reg::ExportText(true),
                                              &error)) {
                Out().Fail("the device failed: " + error + "; the switch is as it was");
                return kDeviceFailed;
            }
            Out().Line(clock, "switch", SwitchText(ReadStatus(clock)));
            return kAllHeld;
        case StepKind::kNotifications: {
            Image image;
            if (!device.ReadImage(&image, &error)) {
                Out().Fail(error);
                return kDeviceFailed;
            }
            image.notifications = s.on;
            if (!device.WriteImage(image, &error)) {
                Out().Fail("the device failed: " + error + "; the image is as it was");
                return kDeviceFailed;
            }
            Out().Line(clock, "image", image.Describe());
            return kAllHeld;
        }
        case StepKind::kStatus:
            return ShowStatusAtRest(device, false);
        case StepKind::kCtl: {
            int ctl_status = 0;
            Out().Line(clock, "ctl", "timewardctl " + Joined(s.words));
            const int rc = RunCtlAtRest(device, s.words, &ctl_status);
            Out().Line(clock, "ctl", "exit status " + std::to_string(ctl_status));
            return rc;
        }
        default:
            if (!load_hive())
                return kDeviceFailed;
            return Expect(s, clock) ? kAllHeld : kExpectationFailed;
    }
    if (!device.WriteRtc(rtc, &error)) {
        Out().Fail("the device failed: " + error);
        return kDeviceFailed;
    }
    return kAllHeld;
}

int RunCtlAtRest(const Device& device, const std::vector<std::string>& args, int* ctl_status) {
    std::string error;
    Rtc rtc;
    coredll::Reset();
    coredll::debug::EchoToStderr(false);
    if (!device.ReadRtc(&rtc, &error) || !coredll::reg::LoadHiveFile(device.hive(), &error)) {
        Out().Fail(error);
        return kDeviceFailed;
    }
    coredll::reg::DetachHiveFile();  // written back below, where a failure can be told
    coredll::clock::SetWall(rtc.battery_ok ? rtc.time : rtc.reset_to);
    std::vector<std::u16string> words = {u"timewardctl"};
    for (const std::string& a : args)
        words.push_back(coredll::Utf16(a));
    std::vector<WCHAR*> argv;
    for (std::u16string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    std::fflush(stdout);
    const std::string before = coredll::reg::ExportText(true);
    *ctl_status = wmain(static_cast<int>(words.size()), argv.data());
    // What timewardctl flushed is what the device keeps.
    const std::string hive = coredll::reg::ExportText(true);
    if (hive != before && !coredll::WriteFileAtomically(device.hive(), hive, &error)) {
        Out().Fail("the device failed: " + error);
        return kDeviceFailed;
    }
    return kAllHeld;
}

int ShowStatusAtRest(const Device& device, bool json) {
    std::string error;
    Rtc rtc;
    Image image;
    coredll::Reset();
    coredll::debug::EchoToStderr(false);
    if (!device.ReadRtc(&rtc, &error) || !device.ReadImage(&image, &error) ||
        !coredll::reg::LoadHiveFile(device.hive(), &error)) {
        Out().Fail(error);
        return kDeviceFailed;
    }
    PrintStatus({device, "off", &rtc, image}, rtc.battery_ok ? rtc.time : rtc.reset_to, json);
    return kAllHeld;
}

}  // namespace tws
