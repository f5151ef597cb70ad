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
#include "verbs.h"

#include "ctl_commands.h"

extern "C" int wmain(int argc, WCHAR* argv[]);  // timewardctl's

namespace tws {

using std::chrono::milliseconds;

// timewardctl's statuses pass through ctl unchanged, and mean what the simulator's do.
static_assert(kAllHeld == EXIT_DONE && kExpectationFailed == EXIT_NOT_DONE &&
              kBadInput == EXIT_USAGE && kKeyMissing == EXIT_NO_KEY);

std::string Joined(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& w : words)
        out += (out.empty() ? "" : " ") + w;
    return out;
}

namespace {

// Calls `entry` with timewardctl's words, as its argc and argv.
template <typename Entry>
int WithCtlWords(const std::vector<std::string>& args, Entry entry) {
    std::vector<std::u16string> words = {u"timewardctl"};
    for (const std::string& a : args)
        words.push_back(support::Utf16(a));
    std::vector<WCHAR*> argv;
    for (std::u16string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);
    return entry(static_cast<int>(words.size()), argv.data());
}

}  // namespace

int CallCtl(const std::vector<std::string>& args) {
    return WithCtlWords(args, wmain);
}

std::optional<int> CtlWordsEnd(const std::vector<std::string>& args) {
    const int rc = WithCtlWords(args, [](int argc, WCHAR** argv) {
        CTL_REQUEST request;
        return ReadCtlCommandLine(argc, argv, &request);
    });
    if (rc < 0)
        return std::nullopt;
    return rc;
}

std::string CtlWordsProblem(const std::vector<std::string>& args) {
    coredll::console::Capture(true);
    const int rc = WithCtlWords(args, [](int argc, WCHAR** argv) {
        CTL_REQUEST request;
        return ReadCtlCommandLine(argc, argv, &request);
    });
    std::string said = coredll::console::Errors();
    coredll::console::Capture(false);
    if (rc != EXIT_USAGE)
        return "";
    // The first line, without the program's name: the usage follows it.
    said = said.substr(0, said.find('\n'));
    const std::string name = "timewardctl: ";
    return said.rfind(name, 0) == 0 ? said.substr(name.size()) : said;
}

int PlayAtRest(const Device& device, const Step& s) {
    AtRest rest(device);
    return rest.ReadRtc() ? (rest.*s.verb->at_rest)(s) : kDeviceFailed;
}

bool AtRest::ReadRtc() {
    std::string error;
    if (!device_.ReadRtc(&rtc_, &error)) {
        Out().Fail(error);
        return false;
    }
    clock_ = rtc_.battery_ok ? rtc_.time : rtc_.reset_to;
    return true;
}

// Loads the hive into the simulated core library, to be written back here, where a failure
// can be told.
bool AtRest::LoadHive() {
    std::string error;
    coredll::Reset();
    coredll::debug::EchoToStderr(false);
    if (!coredll::reg::LoadHiveFile(device_.hive(), &error)) {
        Out().Fail(error);
        return false;
    }
    coredll::reg::DetachHiveFile();
    return true;
}

int AtRest::WriteRtc() {
    std::string error;
    if (!device_.WriteRtc(rtc_, &error)) {
        Out().Fail("the device failed: " + error);
        return kDeviceFailed;
    }
    return kAllHeld;
}

int AtRest::Off(const Step& s) {
    if (rtc_.battery_ok)
        rtc_.time = ToRecord(ToInstant(rtc_.time).value_or(Instant{}) + milliseconds{s.ms});
    Out().Line(rtc_.time, "off",
               FormatDuration(s.ms) + " off" +
                   (rtc_.battery_ok ? ": the real-time clock keeps time"
                                    : ": the real-time clock has no time to keep"));
    return WriteRtc();
}

int AtRest::SetRealTimeClock(const Step& s) {
    rtc_.battery_ok = true;
    rtc_.time = *s.date;
    Out().Line(rtc_.time, "clock", "the real-time clock is set to " + FormatDate(rtc_.time));
    return WriteRtc();
}

int AtRest::PullBattery(const Step& s) {
    rtc_.battery_ok = false;
    rtc_.reset_to = s.date.value_or(DefaultResetDate());
    Out().Line(
        rtc_.time, "battery",
        "battery pulled: the real-time clock will come back at " + FormatDate(rtc_.reset_to));
    std::string error;
    if (!device_.LoseNotifications(&error)) {
        Out().Fail("the device failed: " + error);
        return kDeviceFailed;
    }
    return WriteRtc();
}

int AtRest::SaveHive(const std::string& what) {
    std::string error;
    if (!support::WriteFileAtomically(device_.hive(), coredll::reg::ExportText(true), &error)) {
        Out().Fail("the device failed: " + error + "; " + what + " is as it was");
        return kDeviceFailed;
    }
    return kAllHeld;
}

int AtRest::SetSwitch(const Step& s) {
    if (!LoadHive())
        return kDeviceFailed;
    WriteSwitch(s.on);
    if (SaveHive("the switch") != kAllHeld)
        return kDeviceFailed;
    Out().Line(clock_, "switch", SwitchText(ReadStatus(clock_)));
    return kAllHeld;
}

int AtRest::StoreAsAnOlderDriver(const Step& s) {
    if (!LoadHive())
        return kDeviceFailed;
    // Its clock gave the day of the week with the time.
    const SYSTEMTIME snapshot = ToRecord(ToInstant(*s.date).value_or(Instant{}));
    WriteOlderDriverSnapshot(snapshot);
    if (SaveHive("the snapshot") != kAllHeld)
        return kDeviceFailed;
    Out().Line(clock_, "older",
               "a driver without the check stored " + FormatDate(snapshot, true) +
                   ": the clock values and the signature alone");
    return kAllHeld;
}

int AtRest::SetInterval(const Step& s) {
    if (!LoadHive())
        return kDeviceFailed;
    WriteInterval(s.count < 0 ? std::nullopt : std::optional<DWORD>(s.count));
    if (SaveHive("the interval") != kAllHeld)
        return kDeviceFailed;
    Out().Line(clock_, "interval", IntervalText(ReadStatus(clock_)));
    return kAllHeld;
}

int AtRest::ChangeImage(void (*change)(Image* image, const Step& s), const Step& s) {
    std::string error;
    Image image;
    if (!device_.ReadImage(&image, &error)) {
        Out().Fail(error);
        return kDeviceFailed;
    }
    change(&image, s);
    if (!device_.WriteImage(image, &error)) {
        Out().Fail("the device failed: " + error + "; the image is as it was");
        return kDeviceFailed;
    }
    return kAllHeld;
}

int AtRest::SetNotifications(const Step& s) {
    const int rc =
        ChangeImage([](Image* image, const Step& st) { image->notifications = st.on; }, s);
    if (rc == kAllHeld)
        Out().Line(clock_, "image", Image{.notifications = s.on}.Describe());
    return rc;
}

int AtRest::SetFlushing(const Step& s) {
    const int rc =
        ChangeImage([](Image* image, const Step& st) { image->write_through = st.on; }, s);
    if (rc == kAllHeld)
        Out().Line(clock_, "image", Image{.write_through = s.on}.DescribeFlushing());
    return rc;
}

int AtRest::Status(const Step&) {
    return ShowStatusAtRest(device_, false);
}

int AtRest::Ctl(const Step& s) {
    int ctl_status = 0;
    Out().Line(clock_, "ctl", "timewardctl " + Joined(s.words));
    const int rc = RunCtlAtRest(device_, s.words, &ctl_status, false);
    NoteCtlExit(rc == kAllHeld ? std::optional<int>(ctl_status) : std::nullopt);
    if (rc == kAllHeld)
        Out().Line(clock_, "ctl", "exit status " + std::to_string(ctl_status));
    return rc;
}

int AtRest::Expect(const Step& s) {
    if (!LoadHive())
        return kDeviceFailed;
    return s.verb->check(s, clock_) ? kAllHeld : kExpectationFailed;
}

// The Device Manager's list of active drivers, as a reader at rest finds it: empty, as no driver
// runs while the device is off. A device another run has on keeps its list in that run, out of
// reach: there is none to read, and whether its driver runs is unknown.
void ListDriversAtRest(bool in_use) {
    if (!in_use)
        coredll::reg::CreateKey("Drivers\\Active");
}

int RunCtlAtRest(const Device& device, const std::vector<std::string>& args, int* ctl_status,
                 bool in_use) {
    std::string error;
    Rtc rtc;
    coredll::Reset();
    coredll::debug::EchoToStderr(false);
    if (!device.ReadRtc(&rtc, &error) || !coredll::reg::LoadHiveFile(device.hive(), &error)) {
        Out().Fail(error);
        return kDeviceFailed;
    }
    coredll::reg::DetachHiveFile();  // written back below, where a failure can be told
    ListDriversAtRest(in_use);
    coredll::clock::SetWall(rtc.battery_ok ? rtc.time : rtc.reset_to);
    std::fflush(stdout);
    const std::string before = coredll::reg::ExportText(true);
    *ctl_status = CallCtl(args);
    // What timewardctl flushed is what the device keeps.
    const std::string hive = coredll::reg::ExportText(true);
    if (hive != before && !support::WriteFileAtomically(device.hive(), hive, &error)) {
        Out().Fail("the device failed: " + error);
        return kDeviceFailed;
    }
    return kAllHeld;
}

int ShowStatusAtRest(const Device& device, bool json, bool in_use) {
    std::string error;
    Rtc rtc;
    Image image;
    std::optional<Wear> wear;
    coredll::Reset();
    coredll::debug::EchoToStderr(false);
    if (!device.ReadRtc(&rtc, &error) || !device.ReadImage(&image, &error) ||
        !device.ReadWear(&wear, &error) || !coredll::reg::LoadHiveFile(device.hive(), &error) ||
        !coredll::notify::AttachStore(device.notifications_file(), &error)) {
        Out().Fail(error);
        return kDeviceFailed;
    }
    ListDriversAtRest(in_use);
    PrintStatus({device, in_use ? kInUse : "off", &rtc, image, wear ? &*wear : nullptr},
                rtc.battery_ok ? rtc.time : rtc.reset_to, json);
    return kAllHeld;
}

}  // namespace tws
