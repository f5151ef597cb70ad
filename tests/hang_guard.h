// The bound on a test's waits that virtual time cannot bound: for a host thread to end or reach a
// point, or for a child process. A wait still not over after kHangGuard of real time is a hang,
// and ends the test at once with its name and what it waited for. It fires only on a hang, far
// beyond what the wait takes: no verdict depends on how long anything took.
#ifndef TIMEWARD_TESTS_HANG_GUARD_H
#define TIMEWARD_TESTS_HANG_GUARD_H

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace timeward_test {

#if defined(__arm__) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr std::chrono::seconds kHangGuard{60};  // under an emulator or a sanitizer
#else
inline constexpr std::chrono::seconds kHangGuard{10};
#endif

// Ends the test process as hung, saying which test and what it waited for.
[[noreturn]] inline void Hung(const std::string& what) {
    const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::fprintf(stderr, "%s.%s hangs: %s, after %lld s of real time\n",
                 test ? test->test_suite_name() : "?", test ? test->name() : "?", what.c_str(),
                 static_cast<long long>(kHangGuard.count()));
    std::fflush(stderr);
    std::_Exit(1);
}

// Held around a wait: unless it is destroyed within kHangGuard, `on_hang` runs (say, to kill a
// child process) and the test ends as hung, waiting for `what`.
class HangGuard {
  public:
    explicit HangGuard(std::string what, std::function<void()> on_hang = nullptr)
        : watch_([this, what = std::move(what), on_hang = std::move(on_hang)] {
              std::unique_lock<std::mutex> lock(mu_);
              if (cv_.wait_for(lock, kHangGuard, [this] { return over_; }))
                  return;
              if (on_hang)
                  on_hang();
              Hung(what);
          }) {}
    ~HangGuard() {
        {
            std::lock_guard<std::mutex> lock(mu_);
            over_ = true;
        }
        cv_.notify_one();
        watch_.join();
    }
    HangGuard(const HangGuard&) = delete;
    HangGuard& operator=(const HangGuard&) = delete;

  private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool over_ = false;
    std::thread watch_;  // last: it starts once the rest is made
};

// Joins a host thread that a test started, within the guard.
inline void Join(std::thread& thread, const std::string& what) {
    HangGuard guard(what + " to return");
    thread.join();
}

// The exit status of a child process run by std::system under `timeout -k 1 <guard>`
// (GuardedCommand); a child that outlived the guard is a hang.
inline int ExitStatus(int status, const std::string& what) {
    const int code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    if (code == 124 || code == 128 + 9)  // timeout's, after its TERM or its KILL
        Hung(what + " to end");
    return code;
}

// `command` run by `timeout`, which ends it once the guard is over.
inline std::string GuardedCommand(const std::string& command) {
    return "timeout -k 1 " + std::to_string(kHangGuard.count()) + " " + command;
}

}  // namespace timeward_test

#endif  // TIMEWARD_TESTS_HANG_GUARD_H
