// Many callers at once while the saver runs: power requests and "SaveRTCEvent" from several
// threads, checked under ThreadSanitizer in the sanitizer build.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "hang_guard.h"
#include "module_fixture.h"

namespace {

using namespace timeward_test;

class Load : public ModuleTest {};

// No crash, no race, no lost request (every request is followed by a snapshot that began
// after it), and no more snapshots than requests plus time-outs.
TEST_F(Load, FloodOfRequestsLosesNoneAndAddsNoSnapshot) {
    coredll::ActiveDriver& d = Start();
    constexpr int kThreads = 6, kRounds = 300;
    std::atomic<long> tickets{0};      // one per request, taken before it is made
    std::atomic<long> last_begun{-1};  // the ticket count when the last snapshot began
    std::atomic<int> snapshots{0};
    coredll::reg::SetCallHook([&](coredll::RegCall call, std::u16string_view name, LONG) {
        if (call == coredll::RegCall::kSet && name == u"RTCYear") {
            last_begun = tickets.load();
            snapshots++;
        }
    });
    coredll::clock::SetScaled(1.0);
    const uint64_t start_ms = coredll::clock::NowMs();
    std::vector<std::thread> callers;
    for (int t = 0; t < kThreads; ++t) {
        callers.emplace_back([&, t] {
            HANDLE named = CreateEventW(nullptr, FALSE, FALSE, u"SaveRTCEvent");
            for (int i = 0; i < kRounds; ++i) {
                DWORD state = (i + t) % 3 == 0 ? D0 : D4, actual = 0;
                if (state == D4)
                    tickets++;
                EXPECT_TRUE(d.entry.IOControl(d.context, IOCTL_POWER_SET, nullptr, 0,
                                              reinterpret_cast<PBYTE>(&state), 4, &actual));
                DWORD got = 9;
                EXPECT_TRUE(d.entry.IOControl(d.context, IOCTL_POWER_GET, nullptr, 0,
                                              reinterpret_cast<PBYTE>(&got), 4, &actual));
                EXPECT_TRUE(got == D0 || got == D4);
                if (i % 10 == 0) {
                    tickets++;
                    SetEvent(named);
                }
            }
            CloseHandle(named);
        });
    }
    for (std::thread& c : callers)
        Join(c, "a caller");
    coredll::clock::Settle();
    const long requests = tickets.load();
    const uint64_t timeouts = (coredll::clock::NowMs() - start_ms) / 300000 + 1;
    coredll::clock::SetManual();
    coredll::reg::SetCallHook(nullptr);

    EXPECT_EQ(requests, kThreads * (kRounds - kRounds / 3 + kRounds / 10));
    EXPECT_GE(snapshots.load(), 1);
    EXPECT_EQ(last_begun.load(), requests) << "the last request got a snapshot after it";
    EXPECT_LE(snapshots.load(), requests + static_cast<long>(timeouts));
    EXPECT_EQ(CountLines("RTC is saved\r\n"), snapshots.load());
    EXPECT_EQ(coredll::reg::GetDword(kKey, "TimewardSignature"), kSignature);
    EXPECT_EQ(coredll::reg::Counters().open_handles, 0u);
}

// Rounds of an instance starting, the other one ending and D4 requests, all at once: after each
// round no saver runs, no handle is left open, none was used after its close, no request left
// an error code, and no call hung.
TEST_F(Load, StartsStopsAndRequestsRaceCleanly) {
    coredll::ActiveDriver& d = Start();
    EXPECT_TRUE(d.entry.Deinit(d.context));
    constexpr int kRounds = 200;
    std::atomic<int> errors{0};
    for (int round = 0; round < kRounds; ++round) {
        // Every fourth round no saver thread can start.
        coredll::threads::FailThreadCreation(round % 4 == 3);
        ASSERT_EQ(d.entry.Init(u"Drivers\\Active\\01", nullptr), 1u);
        std::thread starter([&] {
            EXPECT_EQ(d.entry.Init(u"Drivers\\Active\\02", nullptr), 1u);
            EXPECT_TRUE(d.entry.Deinit(d.context));
        });
        std::thread stopper([&] { EXPECT_TRUE(d.entry.Deinit(d.context)); });
        std::thread requester([&] {
            for (int i = 0; i < 5; ++i) {
                DWORD state = D4, actual = 0;
                SetLastError(0xBEEF);
                d.entry.IOControl(d.context, IOCTL_POWER_SET, nullptr, 0,
                                  reinterpret_cast<PBYTE>(&state), 4, &actual);
                errors += GetLastError() != 0xBEEF;
            }
        });
        Join(starter, "the second instance's Init and Deinit, round " + std::to_string(round));
        Join(stopper, "the first instance's Deinit, round " + std::to_string(round));
        Join(requester, "the D4s, round " + std::to_string(round));
        ASSERT_EQ(coredll::threads::Alive(), 0)
            << "a saver outlived the last Deinit, round " << round;
        ASSERT_EQ(coredll::threads::OpenHandles(), 0) << "round " << round;
        ASSERT_EQ(coredll::threads::BadHandleUses(), 0u) << "round " << round;
        ASSERT_EQ(coredll::modules::References(d.module), 1) << "round " << round;
    }
    EXPECT_EQ(errors.load(), 0);
    EXPECT_FALSE(d.entry.Deinit(d.context)) << "no instance is left";
}

}  // namespace
