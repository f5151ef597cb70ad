// The notification subsystem: CeRunAppAtEvent's store of registrations, and its thread, which
// sets the named events registered for a change of the system time after the change.
#include "deterministic.h"
#include "notifications.h"
#include "support/files.h"
#include "support/text.h"

#include <algorithm>
#include <deque>

namespace coredll::detail {
namespace {

constexpr std::u16string_view kNamedEvents = u"\\\\.\\Notifications\\NamedEvents\\";

// The store lives in the device's battery-backed memory, apart from any process: it outlives
// the process that registered and a warm restart, and only NOTIFICATION_EVENT_NONE or a cold
// boot empties it. With a file attached, each change is written to it whole.
struct Notifications {
    std::mutex mu;
    bool left_out = false;
    int failures = 0;  // registrations still to fail
    std::vector<notify::Registration> registrations;
    std::filesystem::path store_file;
    std::deque<std::u16string> pending;  // events the notification thread is still to set
    bool delivering = false;             // the notification thread runs
    // Under the kernel's lock: whether the subsystem is up, and how a call finds it when not.
    notify::Readiness readiness = notify::Readiness::kReady;
    std::shared_ptr<Object> ready = std::make_shared<Object>();  // set once it is up
};

// Never destroyed: threads may outlive main.
Notifications& N() {
    static Notifications* n = [] {
        auto* made = new Notifications;
        made->ready->manual_reset = true;
        made->ready->signaled = true;
        return made;
    }();
    return *n;
}

// One line per registration: the event's number, a space, the application as UTF-8.
std::string StoreText(const std::vector<notify::Registration>& all) {
    std::string text;
    for (const notify::Registration& r : all)
        text += std::to_string(r.event) + " " + support::Utf8(r.app) + "\n";
    return text;
}

// Under N().mu.
void WriteStoreLocked() {
    if (!N().store_file.empty())
        support::WriteAtomically(N().store_file, StoreText(N().registrations));
}

// The notification thread: sets each pending event in turn, each delivery a scheduling point,
// and ends when none is left. An event that nobody has created is not made: nobody waits on it.
void Deliver() {
    for (;;) {
        std::u16string name;
        {
            std::lock_guard<std::mutex> lock(N().mu);
            if (N().pending.empty()) {
                N().delivering = false;
                return;
            }
            name = std::move(N().pending.front());
            N().pending.pop_front();
        }
        SchedulePoint("a time-change notification's delivery");
        Kernel& k = TheKernel();
        std::lock_guard<std::mutex> lock(k.mu);
        if (std::shared_ptr<Object> event = NamedEventLocked(k, name))
            SetEventLocked(k, *event);
    }
}

// Whether a call may go on: waits while the subsystem blocks its callers, and fails, with the
// error set, while it refuses them.
bool AwaitReady() {
    Kernel& k = TheKernel();
    std::unique_lock<std::mutex> lock(k.mu);
    if (N().ready->signaled)
        return true;
    if (N().readiness == notify::Readiness::kFails) {
        SetLastError(ERROR_NOT_READY);
        return false;
    }
    Waiter w;
    w.objects.push_back(N().ready.get());
    Block(k, lock, w, INFINITE);
    return true;
}

}  // namespace

bool NotificationsLeftOut() {
    std::lock_guard<std::mutex> lock(N().mu);
    return N().left_out;
}

void NotifyTimeChange() {
    bool start = false;
    {
        std::lock_guard<std::mutex> lock(N().mu);
        if (N().left_out)
            return;  // an image without the subsystem: a store from another image is not read
        for (const notify::Registration& r : N().registrations) {
            if (r.event == NOTIFICATION_EVENT_TIME_CHANGE && r.app.starts_with(kNamedEvents))
                N().pending.push_back(r.app.substr(kNamedEvents.size()));
        }
        start = !N().pending.empty() && !N().delivering;
        N().delivering = N().delivering || start;
    }
    if (start) {
        Kernel& k = TheKernel();
        std::lock_guard<std::mutex> lock(k.mu);
        StartKernelThreadLocked(k, Deliver);
    }
}

// A cold boot: the kernel has let the notification thread end first.
void ResetNotifications() {
    {
        std::lock_guard<std::mutex> lock(N().mu);
        N().left_out = false;
        N().failures = 0;
        N().registrations.clear();
        N().store_file.clear();
        N().pending.clear();
    }
    notify::SetReadiness(notify::Readiness::kReady);
}

}  // namespace coredll::detail

using namespace coredll;
using namespace coredll::detail;

namespace coredll::notify {

void LeaveOut(bool left_out) {
    std::lock_guard<std::mutex> lock(N().mu);
    N().left_out = left_out;
}

void FailRegistrations(int count) {
    std::lock_guard<std::mutex> lock(N().mu);
    N().failures = count;
}

void SetReadiness(Readiness readiness) {
    Kernel& k = TheKernel();
    std::lock_guard<std::mutex> lock(k.mu);
    N().readiness = readiness;
    if (readiness == Readiness::kReady)
        SetEventLocked(k, *N().ready);
    else
        N().ready->signaled = false;
}

std::vector<Registration> Registrations() {
    std::lock_guard<std::mutex> lock(N().mu);
    return N().registrations;
}

bool ParseStore(std::string_view text, const std::string& file_name, std::vector<Registration>* out,
                std::string* error) {
    std::vector<Registration> parsed;
    size_t line = 0;
    for (size_t at = 0; at < text.size(); ++line) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string entry(text.substr(at, end - at));
        at = end + 1;
        const size_t space = entry.find(' ');
        char* rest = nullptr;
        const long event = std::strtol(entry.c_str(), &rest, 10);
        if (space == std::string::npos || space == 0 || rest != entry.c_str() + space ||
            space + 1 == entry.size()) {
            *error = file_name + ":" + std::to_string(line + 1) +
                     ": expected the event's number, a space and the application";
            return false;
        }
        parsed.push_back({support::Utf16(entry.substr(space + 1)), static_cast<LONG>(event)});
    }
    *out = std::move(parsed);
    return true;
}

bool AttachStore(const std::filesystem::path& file, std::string* error) {
    std::vector<Registration> loaded;
    std::error_code ec;
    if (std::filesystem::exists(file, ec)) {
        std::string text;
        if (!support::ReadWholeFile(file, &text, error) ||
            !ParseStore(text, file.string(), &loaded, error))
            return false;
    }
    std::lock_guard<std::mutex> lock(N().mu);
    N().registrations = std::move(loaded);
    N().store_file = file;
    return true;
}

}  // namespace coredll::notify

// Applications (a path) and named events alike are kept; only named events are ever set here,
// since no application can be started.
COREDLL_API BOOL CeRunAppAtEvent(TCHAR* pwszAppName, LONG lWhichEvent) {
    SchedulePoint("CeRunAppAtEvent");
    if (!pwszAppName || !*pwszAppName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!AwaitReady())
        return FALSE;
    const std::u16string app(pwszAppName);
    std::lock_guard<std::mutex> lock(N().mu);
    auto& all = N().registrations;
    if (lWhichEvent == NOTIFICATION_EVENT_NONE) {
        std::erase_if(all, [&](const notify::Registration& r) { return r.app == app; });
        WriteStoreLocked();
        return TRUE;
    }
    if (N().failures > 0) {
        --N().failures;
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    all.push_back({app, lWhichEvent});
    WriteStoreLocked();
    return TRUE;
}
