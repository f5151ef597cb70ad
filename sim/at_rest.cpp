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

namespace tws {

int PlayAtRest(const Device& device, const Step& s) {
    std::string error;
    Rtc rtc;
    if (!device.ReadRtc(&rtc, &error)) {
        Out().Fail(error);
        return kDeviceFailed;
    }
    const SYSTEMTIME clock = rtc.battery_ok ? rtc.time : rtc.reset_to;
    auto load_hive = [&] {
        sim::Reset();
        sim::debug::EchoToStderr(false);
        if (!sim::reg::LoadHiveFile(device.hive(), &error)) {
            Out().Fail(error);
            return false;
        }
        // The hive is written back here, where a failure can be told.
        sim::reg::DetachHiveFile();
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
            if (!sim::WriteFileAtomically(device.hive(), sim::reg::ExportText(true), &error)) {
                Out().Fail("the device failed: " + error + "; the switch is as it was");
                return kDeviceFailed;
            }
            Out().Line(clock, "switch", SwitchText(true));
            return kAllHeld;
        case StepKind::kStatus:
            return ShowStatusAtRest(device) ? kAllHeld : kDeviceFailed;
        default:
            if (!load_hive())
                return kDeviceFailed;
            return Expect(s, clock, true) ? kAllHeld : kExpectationFailed;
    }
    if (!device.WriteRtc(rtc, &error)) {
        Out().Fail("the device failed: " + error);
        return kDeviceFailed;
    }
    return kAllHeld;
}

bool ShowStatusAtRest(const Device& device) {
    std::string error;
    Rtc rtc;
    sim::Reset();
    sim::debug::EchoToStderr(false);
    if (!device.ReadRtc(&rtc, &error) || !sim::reg::LoadHiveFile(device.hive(), &error)) {
        Out().Fail(error);
        return false;
    }
    std::printf("device    %s (off)\n", device.dir().c_str());
    if (rtc.battery_ok) {
        std::printf("clock     %s (real-time clock, battery ok)\n",
                    FormatDate(rtc.time, true).c_str());
    } else {
        std::printf("clock     lost: the real-time clock comes back at %s at the next boot\n",
                    FormatDate(rtc.reset_to).c_str());
    }
    std::printf("snapshot  %s\n", ReadStored(true).Describe().c_str());
    std::printf("switch    %s\n", SwitchText(true).c_str());
    return true;
}

}  // namespace tws
