// The notification subsystem, as the clock and the rest of the library see it.
#ifndef TIMEWARD_HOST_NOTIFICATIONS_H
#define TIMEWARD_HOST_NOTIFICATIONS_H

namespace coredll::detail {

// Its part of coredll::Reset.
void ResetNotifications();

// Whether the OS design leaves the notification component out (notify::LeaveOut).
bool NotificationsLeftOut();
// Sets the events registered for time changes; called once the system time was set.
void NotifyTimeChange();

}  // namespace coredll::detail

#endif  // TIMEWARD_HOST_NOTIFICATIONS_H
