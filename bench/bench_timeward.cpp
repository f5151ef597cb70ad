// Benchmarks of the driver on the simulated core library: the conversion, the store, the
// start-up, a power request, the time from a D4 request to a durable snapshot against the
// physical floor of one durable file write, and the snapshots a flood of requests causes.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "coredll_sim.h"
#include "power.h"
#include "saver.h"
#include "seconds.h"
#include "sim_records.h"
#include "startup.h"
#include "store.h"
#include "timeward.h"
#include "support/text.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using timeward_test::Record;

const std::string kKey = support::Utf8(TIMEWARD_KEY_PATH);

// A fresh device: the driver's configuration, manual clock, silent debug output.
void FreshDevice() {
    static const bool lock_ready = (InitSaverLock(), true);
    (void)lock_ready;
    while (StopSaver()) {
    }  // ends every instance a benchmark left counted, and its saver
    coredll::Reset();
    coredll::debug::EchoToStderr(false);
    coredll::reg::SetDword(kKey, support::Utf8(SWITCH_VALUE_NAME), 0);
    coredll::reg::SetString("Drivers\\BuiltIn\\Timeward", "Dll", "Timeward.dll");
    coredll::clock::SetWall(Record(2026, 12, 8, 9, 0, 0));
}

// A snapshot of `st` in the key, stored as the driver stores one.
void StoreSnapshot(const SYSTEMTIME& st) {
    coredll::clock::SetWall(st);
    SaveCurrentTime();
}

// A hive file of the device's size in a scratch directory; the flushes write it.
struct HiveFile {
    HiveFile() {
        dir = fs::temp_directory_path() / ("timeward-bench-" + std::to_string(::getpid()));
        fs::create_directories(dir);
        path = dir / "hive.reg";
        std::ofstream(path) << coredll::reg::ExportText();
        coredll::reg::LoadHiveFile(path, nullptr);
    }
    ~HiveFile() {
        coredll::reg::DetachHiveFile();
        fs::remove_all(dir);
    }
    fs::path dir, path;
};

void BM_SecondsSince1961(benchmark::State& state) {
    const WORD year = static_cast<WORD>(state.range(0));
    SYSTEMTIME st = Record(year, 7, 15, 12, 30, 30);
    DWORD seconds = 0;
    for (auto _ : state) {
        SYSTEMTIME copy = st;
        benchmark::DoNotOptimize(copy);
        SecondsSince1961(&copy, &seconds);
        benchmark::DoNotOptimize(seconds);
    }
}
BENCHMARK(BM_SecondsSince1961)->Arg(1961)->Arg(2026)->Arg(2097)->Arg(9999)->Arg(65535);

void BM_ReadSnapshot(benchmark::State& state) {
    FreshDevice();
    StoreSnapshot(Record(2026, 12, 8, 9, 5, 0));
    SYSTEMTIME st;
    for (auto _ : state)
        benchmark::DoNotOptimize(ReadSnapshot(&st));
}
BENCHMARK(BM_ReadSnapshot);

// The start-up sequence without the thread start (event creation fails), so that each
// iteration is the check and, with a snapshot ahead of the clock, the restore.
void BM_Startup(benchmark::State& state) {
    const bool restore = state.range(0) != 0;
    FreshDevice();
    coredll::threads::FailEventCreation(true);
    StoreSnapshot(Record(2026, 12, 8, 9, 5, 0));
    const SYSTEMTIME clock = restore ? Record(2003, 1, 1) : Record(2026, 12, 8, 10, 0, 0);
    for (auto _ : state) {
        coredll::clock::SetWall(clock);
        benchmark::DoNotOptimize(StartClockKeeping(nullptr));
    }
    state.SetLabel(restore ? "with restore" : "without restore");
}
BENCHMARK(BM_Startup)->Arg(0)->Arg(1);

void BM_SaveCurrentTime(benchmark::State& state) {
    FreshDevice();
    std::optional<HiveFile> file;
    if (state.range(0))
        file.emplace();
    for (auto _ : state)
        SaveCurrentTime();
    state.SetLabel(state.range(0) ? "file-backed hive (fsync)" : "hive in memory");
}
BENCHMARK(BM_SaveCurrentTime)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_IOControlRoundTrip(benchmark::State& state) {
    FreshDevice();
    ResetPowerState();
    DWORD value = 0, actual = 0;
    for (auto _ : state) {
        value = D0;
        benchmark::DoNotOptimize(RTC_IOControl(1, IOCTL_POWER_SET, nullptr, 0,
                                               reinterpret_cast<PBYTE>(&value), 4, &actual));
        benchmark::DoNotOptimize(RTC_IOControl(1, IOCTL_POWER_GET, nullptr, 0,
                                               reinterpret_cast<PBYTE>(&value), 4, &actual));
    }
    state.SetLabel("IOCTL_POWER_SET D0 + IOCTL_POWER_GET");
}
BENCHMARK(BM_IOControlRoundTrip);

double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(p * static_cast<double>(v.size())))];
}

// The physical floor of a durable snapshot: one write of a file of the hive's size, fsync
// and rename, as the hive's flush does it.
std::vector<double> FloorUs(const fs::path& dir, size_t bytes, int rounds) {
    const std::string data(bytes, 'x');
    std::vector<double> out;
    for (int i = 0; i < rounds; ++i) {
        auto t0 = Clock::now();
        fs::path tmp = dir / "floor.tmp";
        int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (::write(fd, data.data(), data.size()) < 0)
            break;
        ::fsync(fd);
        ::close(fd);
        ::rename(tmp.c_str(), (dir / "floor").c_str());
        int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
        ::fsync(dfd);
        ::close(dfd);
        out.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    return out;
}

// From an IOCTL_POWER_SET D4 request to the end of the snapshot's flush, with the saver
// thread waiting on its event in real time and the hive written to a file.
void BM_D4ToFlushed(benchmark::State& state) {
    FreshDevice();
    HiveFile file;
    std::mutex mu;
    std::condition_variable cv;
    long flushes = 0;
    coredll::reg::SetCallHook([&](coredll::RegCall call, std::u16string_view, LONG) {
        if (call != coredll::RegCall::kFlush)
            return;
        std::lock_guard<std::mutex> lock(mu);
        ++flushes;
        cv.notify_all();
    });
    coredll::clock::SetScaled(1.0);
    StartClockKeeping(nullptr);
    std::vector<double> latency;
    for (auto _ : state) {
        long before;
        {
            std::lock_guard<std::mutex> lock(mu);
            before = flushes;
        }
        auto t0 = Clock::now();
        DWORD value = D4, actual = 0;
        RTC_IOControl(1, IOCTL_POWER_SET, nullptr, 0, reinterpret_cast<PBYTE>(&value), 4, &actual);
        std::unique_lock<std::mutex> lock(mu);
        cv.wait(lock, [&] { return flushes > before; });
        latency.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    coredll::reg::SetCallHook(nullptr);
    StopSaver();
    coredll::clock::SetManual();
    const std::vector<double> floor =
        FloorUs(file.dir, static_cast<size_t>(fs::file_size(file.path)), 200);
    state.counters["median_us"] = Percentile(latency, 0.5);
    state.counters["p99_us"] = Percentile(latency, 0.99);
    state.counters["floor_median_us"] = Percentile(floor, 0.5);
    state.counters["floor_p99_us"] = Percentile(floor, 0.99);
    state.counters["ratio"] = Percentile(latency, 0.5) / Percentile(floor, 0.5);
    state.counters["hive_bytes"] = static_cast<double>(fs::file_size(file.path));
}
BENCHMARK(BM_D4ToFlushed)->Iterations(300)->Unit(benchmark::kMicrosecond)->UseRealTime();

// Four threads send D4 requests as fast as they can for a second of real time, with the hive
// written to a file: the snapshots per second are the flash-wear figure of a flood.
void BM_FloodSnapshotsPerSecond(benchmark::State& state) {
    for (auto _ : state) {
        FreshDevice();
        HiveFile file;
        coredll::clock::SetScaled(1.0);
        StartClockKeeping(nullptr);
        std::atomic<bool> stop{false};
        std::atomic<long> requests{0};
        coredll::reg::ResetCounters();
        std::vector<std::thread> flood;
        for (int t = 0; t < 4; ++t) {
            flood.emplace_back([&] {
                while (!stop) {
                    DWORD value = D4, actual = 0;
                    RTC_IOControl(1, IOCTL_POWER_SET, nullptr, 0, reinterpret_cast<PBYTE>(&value),
                                  4, &actual);
                    requests++;
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
        stop = true;
        for (std::thread& t : flood)
            t.join();
        const uint64_t flushes = coredll::reg::Counters().flushes;
        StopSaver();
        coredll::clock::SetManual();
        state.counters["snapshots_per_s"] = static_cast<double>(flushes);
        state.counters["requests_per_s"] = static_cast<double>(requests.load());
    }
}
BENCHMARK(BM_FloodSnapshotsPerSecond)->Iterations(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// A simulated day with no request: the saver's wake-ups and its registry operations.
void BM_SimulatedDay(benchmark::State& state) {
    for (auto _ : state) {
        FreshDevice();
        StartClockKeeping(nullptr);
        coredll::debug::Clear();
        coredll::reg::ResetCounters();
        coredll::clock::Advance(24ull * 3600 * 1000);
        coredll::RegCounters c = coredll::reg::Counters();
        state.counters["wakeups"] = static_cast<double>(coredll::debug::Lines().size());
        state.counters["snapshots"] = static_cast<double>(c.flushes);
        state.counters["opens_per_snapshot"] = static_cast<double>(c.opens) / c.flushes;
        state.counters["sets_per_snapshot"] = static_cast<double>(c.sets) / c.flushes;
        state.counters["closes_per_snapshot"] = static_cast<double>(c.closes) / c.flushes;
        StopSaver();
    }
}
BENCHMARK(BM_SimulatedDay)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
