// GoogleTest's Notification on a Win32 event: mingw-w64's win32 threads have no std::mutex,
// which its own is built on. Included ahead of every source that includes GoogleTest.
#ifndef TIMEWARD_WINE_GTEST_NOTIFICATION_H
#define TIMEWARD_WINE_GTEST_NOTIFICATION_H

#ifndef UNICODE
#define UNICODE
#endif
#ifndef _UNICODE
#define _UNICODE
#endif
#include <windows.h>

namespace testing::internal {

class Notification {
  public:
    Notification() : event_(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}
    ~Notification() {
        CloseHandle(event_);
    }
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;
    void Notify() {
        SetEvent(event_);
    }
    void WaitForNotification() {
        WaitForSingleObject(event_, INFINITE);
    }

  private:
    HANDLE event_;
};

}  // namespace testing::internal

#endif  // TIMEWARD_WINE_GTEST_NOTIFICATION_H
