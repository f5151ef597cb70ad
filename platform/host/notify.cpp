// The notification subsystem: CeRunAppAtEvent's registrations, and the named events it sets
// when the system time is set.
#include "kernel.h"

#include <algorithm>

namespace coredll::detail {
namespace {

constexpr std::u16string_view kNamedEvents = u"\\\\.\\Notifications\\NamedEvents\\";

struct Notifications {
    std::mutex mu;
    bool left_out = false;
    int failures = 0;  // registrations still to fail
    std::vector<notify::Registration> registrations;
};

// Never destroyed: threads may outlive main.
Notifications& N() {
    static Notifications* n = new Notifications;
    return *n;
}

}  // namespace

bool NotificationsLeftOut() {
    std::lock_guard<std::mutex> lock(N().mu);
    return N().left_out;
}

void NotifyTimeChange() {
    std::vector<std::u16string> names;
    {
        std::lock_guard<std::mutex> lock(N().mu);
        for (const notify::Registration& r : N().registrations) {
            if (r.event == NOTIFICATION_EVENT_TIME_CHANGE && r.app.starts_with(kNamedEvents))
                names.push_back(r.app.substr(kNamedEvents.size()));
        }
    }
    // An event that nobody has created is not made here: nobody waits on it.
    Kernel& k = TheKernel();
    std::lock_guard<std::mutex> lock(k.mu);
    for (const std::u16string& name : names) {
        if (std::shared_ptr<Object> event = NamedEventLocked(k, name))
            SetEventLocked(k, *event);
    }
}

void ResetNotifications() {
    std::lock_guard<std::mutex> lock(N().mu);
    N().left_out = false;
    N().failures = 0;
    N().registrations.clear();
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

std::vector<Registration> Registrations() {
    std::lock_guard<std::mutex> lock(N().mu);
    return N().registrations;
}

}  // namespace coredll::notify

// Applications (a path) and named events alike are kept; only named events are ever set here,
// since no application can be started.
COREDLL_API BOOL CeRunAppAtEvent(LPWSTR pwszAppName, LONG lWhichEvent) {
    if (!pwszAppName || !*pwszAppName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const std::u16string app(pwszAppName);
    std::lock_guard<std::mutex> lock(N().mu);
    auto& all = N().registrations;
    if (lWhichEvent == NOTIFICATION_EVENT_NONE) {
        std::erase_if(all, [&](const notify::Registration& r) { return r.app == app; });
        return TRUE;
    }
    if (N().failures > 0) {
        --N().failures;
        SetLastError(ERROR_GEN_FAILURE);
        return FALSE;
    }
    all.push_back({app, lWhichEvent});
    return TRUE;
}
