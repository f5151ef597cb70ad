// A fresh simulated device for each test: empty registry but for the driver's key, a manual
// clock at 2026-12-08, silent debug output.
#ifndef TIMEWARD_TESTS_SIM_FIXTURE_H
#define TIMEWARD_TESTS_SIM_FIXTURE_H

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "coredll_sim.h"
#include "sim_records.h"

namespace timeward_test {

// How many times a debug line was written.
inline int CountLines(const std::string& text) {
    int n = 0;
    for (const std::string& line : coredll::debug::Texts())
        n += line == text;
    return n;
}

// Calls `stop` (StopSaver) until it fails, with no instance left; one that never failed would
// loop for ever.
template <typename Stop>
void StopEveryInstance(Stop stop) {
    for (int stops = 0; stop(); ++stops)
        ASSERT_LT(stops, 64) << "StopSaver still succeeds with no instance left";
}

// Snapshots taken so far: the saver's debug lines.
inline int Snapshots() {
    return CountLines("RTC is saved\r\n");
}

class SimTest : public ::testing::Test {
  protected:
    // Three of the saver's intervals: longer than any wait for a driver thread should take.
    static constexpr uint64_t kWaitBoundMs = 3 * 300000;
    void SetUp() override {
        coredll::Reset();
        // A wait that never ends fails the test with a message instead of hanging it.
        coredll::clock::BoundDrivingWaits(kWaitBoundMs);
        coredll::debug::EchoToStderr(false);
        coredll::reg::CreateKey(kKey);
        // After the driver's floor: a start with no snapshot leaves this clock alone.
        coredll::clock::SetWall(Record(2026, 12, 8));
    }
    void TearDown() override {
        coredll::clock::BoundDrivingWaits(kWaitBoundMs);  // if the test took it away
        StopDriver();
        coredll::clock::Settle();
        EXPECT_EQ(coredll::threads::Alive(), 0) << "a simulated thread outlived the test";
        coredll::Reset();
    }
    // Ends whatever the test started that runs on simulated threads.
    virtual void StopDriver() {}
};

}  // namespace timeward_test

#endif  // TIMEWARD_TESTS_SIM_FIXTURE_H
