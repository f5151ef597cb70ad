// The explorer: runs a program under the deterministic scheduler once per schedule, depth-first
// within a bound on preemptions, then with seeded random choices, or one given schedule.
#include "explore.h"

#include "run_checks.h"
#include "schedule.h"

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace coredll::detail {
namespace {

// The thread that runs when nothing else is chosen: the running one, else the first.
int Default(const std::vector<int>& enabled, int running) {
    return running >= 0 ? running : enabled[0];
}

// Depth-first over the choices, as a stack of the choice points of the last run: each run
// repeats the choices on the stack, then takes the default at every new point. The next run
// takes the next alternative at the deepest point that has one within the preemption bound.
class DepthFirst : public Strategy {
  public:
    explicit DepthFirst(int preemptions) : bound_(preemptions) {}
    void Begin(Scheduler* s) {
        sched_ = s;
        depth_ = 0;
        preemptions_ = 0;
    }
    int Choose(const std::vector<int>& enabled, int running) override {
        std::vector<int>& options = options_;
        options.assign(1, Default(enabled, running));
        for (int id : enabled) {
            if (id != options[0])
                options.push_back(id);
        }
        if (depth_ == size_) {
            // A node past the stack's end keeps its room from an earlier run.
            if (size_ == stack_.size())
                stack_.emplace_back();
            Node& fresh = stack_[size_++];
            fresh.options = options;
            fresh.taken = 0;
            fresh.may_preempt = preemptions_ < bound_;
            fresh.preempts = running >= 0;
        } else if (stack_[depth_].options != options) {
            FailRun(*sched_,
                    "the run did not repeat the one before it: the program is not "
                    "deterministic");
            return options[0];
        }
        const Node& n = stack_[depth_++];
        const int chosen = n.options[n.taken];
        preemptions_ += (running >= 0 && chosen != running) || chosen == kTimerExpires;
        return chosen;
    }
    // Moves to the next schedule; false when there is none.
    bool Next() {
        while (size_ > 0) {
            Node& n = stack_[size_ - 1];
            const bool more = n.taken + 1 < n.options.size();
            // A timer that expires early costs a preemption wherever it is taken.
            const bool free =
                (!n.preempts && more && n.options[n.taken + 1] != kTimerExpires) || n.may_preempt;
            if (free && more) {
                ++n.taken;
                return true;
            }
            --size_;
        }
        return false;
    }

  private:
    struct Node {
        std::vector<int> options;
        size_t taken;
        bool may_preempt;  // the run has preemptions to spare at this point
        bool preempts;     // taking another than the first option is a preemption
    };
    int bound_;
    std::vector<Node> stack_;  // the first size_ are the choice points of the last run
    size_t size_ = 0;
    std::vector<int> options_;  // this choice's, kept with its room
    size_t depth_ = 0;
    int preemptions_ = 0;
    Scheduler* sched_ = nullptr;
};

class Random : public Strategy {
  public:
    explicit Random(uint64_t seed) : state_(seed) {}
    int Choose(const std::vector<int>& enabled, int) override {
        return enabled[Next() % enabled.size()];
    }

  private:
    // splitmix64: the same sequence on every platform.
    uint64_t Next() {
        uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint64_t state_;
};

// The choices of a "choices:" schedule, then the default.
class Replay : public Strategy {
  public:
    Replay(std::vector<int> choices, Scheduler* s) : choices_(std::move(choices)), sched_(s) {}
    int Choose(const std::vector<int>& enabled, int running) override {
        if (next_ >= choices_.size())
            return Default(enabled, running);
        const int chosen = choices_[next_++];
        for (int id : enabled) {
            if (id == chosen)
                return chosen;
        }
        FailRun(*sched_, "the schedule does not fit the program: thread " + std::to_string(chosen) +
                             " cannot run at choice " + std::to_string(next_));
        return Default(enabled, running);
    }

  private:
    std::vector<int> choices_;
    size_t next_ = 0;
    Scheduler* sched_;
};

// Runs the program's threads once under `s`, which holds the strategy and the bounds.
void RunOnce(const explore::Program& p, Scheduler& s) {
    Reset();
    if (p.before)
        p.before();
    Kernel& k = TheKernel();
    s.program = p.name;
    s.check_step = p.check_step;
    {
        std::unique_lock<std::mutex> lock(k.mu);
        s.time_limit += k.manual_now;
        k.sched = &s;
        for (size_t i = 0; i < p.threads.size(); ++i)
            StartScheduledLocked(
                k,
                [&p, i] {
                    p.threads[i]();
                    CheckNoSectionHeldHere("a program thread's calls");
                },
                true);
        RunScheduledLocked(k, lock);
        k.sched = nullptr;
    }
    EndRun(s);
    if (!s.failure.empty())
        return;
    CheckRunEnd(s, p);
}

std::vector<int> ParseChoices(const std::string& text) {
    std::vector<int> choices;
    size_t at = 0;
    while (at < text.size()) {
        size_t comma = text.find(',', at);
        if (comma == std::string::npos)
            comma = text.size();
        const std::string item = text.substr(at, comma - at);
        const size_t star = item.find('*');
        const int id = std::atoi(item.substr(0, star).c_str());
        const int count = star == std::string::npos ? 1 : std::atoi(item.c_str() + star + 1);
        choices.insert(choices.end(), count, id);
        at = comma + 1;
    }
    return choices;
}

bool UseContexts(explore::Switches switches) {
    if (switches == explore::Switches::kDefault) {
        const char* env = std::getenv("TIMEWARD_EXPLORE_SWITCH");
        switches = env && std::string(env) == "handoff" ? explore::Switches::kHandoff
                                                        : explore::Switches::kContexts;
    }
    return switches == explore::Switches::kContexts && ContextsAvailable();
}

constexpr uint64_t kFnvPrime = 0x100000001B3ull;

// FNV-1a of a call's name, remembered by where the name is (every scheduling point names its
// call with a literal): the few names a run's steps take are each hashed once.
uint64_t CallHash(const char* call) {
    struct Known {
        const char* call = nullptr;
        uint64_t hash = 0;
    };
    thread_local Known known[64];
    Known& k = known[(reinterpret_cast<uintptr_t>(call) >> 3) % 64];
    if (k.call != call) {
        uint64_t hash = 0xCBF29CE484222325ull;
        for (const char* c = call; *c; ++c)
            hash = (hash ^ static_cast<unsigned char>(*c)) * kFnvPrime;
        k = {call, hash};
    }
    return k.hash;
}

// FNV-1a over the run's choices and steps, folded into `digest`.
uint64_t Fold(uint64_t digest, const Scheduler& s) {
    auto mix = [&](uint64_t v) { digest = (digest ^ v) * kFnvPrime; };
    for (int c : s.choices)
        mix(static_cast<uint64_t>(c));
    for (const Step& step : s.trace) {
        mix(static_cast<uint64_t>(step.thread));
        mix(CallHash(step.call));
    }
    mix(~0ull);
    return digest;
}

void Configure(Scheduler& s, const explore::Bounds& b, Strategy* strategy) {
    s.strategy = strategy;
    s.contexts = UseContexts(b.switches);
    s.time_limit = b.time_bound_ms;
    s.step_bound = b.step_bound;
}

// Runs the one schedule TIMEWARD_EXPLORE_REPLAY names for this program, if it names one.
bool ReplayFromEnvironment(const explore::Program& p, const explore::Bounds& b,
                           explore::Report& report) {
    const char* env = std::getenv("TIMEWARD_EXPLORE_REPLAY");
    const std::string prefix = p.name + "=";
    if (!env || std::string(env).rfind(prefix, 0) != 0)
        return false;
    const std::string schedule = std::string(env).substr(prefix.size());
    Scheduler s;
    std::unique_ptr<Strategy> strategy;
    if (schedule.rfind("seed:", 0) == 0) {
        strategy = std::make_unique<Random>(std::strtoull(schedule.c_str() + 5, nullptr, 10));
    } else if (schedule.rfind("choices:", 0) == 0) {
        strategy = std::make_unique<Replay>(ParseChoices(schedule.substr(8)), &s);
    } else {
        std::fprintf(stderr, "explore: %s is neither seed:N nor choices:...\n", schedule.c_str());
        std::exit(2);
    }
    Configure(s, b, strategy.get());
    if (schedule.rfind("seed:", 0) == 0)
        s.schedule = schedule;
    s.run = "the run asked for";
    s.print_steps = true;
    std::fprintf(stderr, "explore: program %s, schedule %s\n", p.name.c_str(), schedule.c_str());
    RunOnce(p, s);
    if (s.failure.empty())
        std::fprintf(stderr, "explore: program %s passes schedule %s in %zu steps\n",
                     p.name.c_str(), schedule.c_str(), s.trace.size());
    report.failure = s.failure;
    return true;
}

// User and system time of the whole process, every host thread's: on a machine others load
// too, what a run costs, where the wall time says how long it waited.
double ProcessorSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

}  // namespace
}  // namespace coredll::detail

namespace coredll::explore {

using namespace coredll::detail;

Report Explore(const Program& program, const Bounds& bounds) {
    Report report;
    report.contexts = UseContexts(bounds.switches);
    report.digest = 0xCBF29CE484222325ull;
    const auto start = std::chrono::steady_clock::now();
    const double processor_start = ProcessorSeconds();
    if (!ReplayFromEnvironment(program, bounds, report)) {
        // Each bound in turn, so that a bound on runs cuts short only the largest one.
        for (int k = 0; k <= bounds.preemptions && report.failure.empty(); ++k) {
            DepthFirst dfs(k);
            report.runs_per_bound.push_back(0);
            bool more = report.depth_first_runs < bounds.depth_first_runs;
            report.exhausted = false;
            while (more) {
                Scheduler s;
                Configure(s, bounds, &dfs);
                s.trace.reserve(report.longest_run_steps);
                s.run = "depth-first run " + std::to_string(report.depth_first_runs + 1) +
                        " (at most " + std::to_string(k) + " preemptions)";
                dfs.Begin(&s);
                RunOnce(program, s);
                ++report.depth_first_runs;
                ++report.runs_per_bound.back();
                report.digest = Fold(report.digest, s);
                report.longest_run_steps =
                    std::max<uint64_t>(report.longest_run_steps, s.trace.size());
                if (!s.failure.empty()) {
                    report.failure = s.failure;
                    break;
                }
                more = dfs.Next();
                report.exhausted = !more;
                more = more && report.depth_first_runs < bounds.depth_first_runs;
            }
        }
        for (uint64_t i = 0; i < bounds.random_runs && report.failure.empty(); ++i) {
            const uint64_t seed = bounds.first_seed + i;
            Random random(seed);
            Scheduler s;
            Configure(s, bounds, &random);
            s.schedule = "seed:" + std::to_string(seed);
            s.run = "random run " + std::to_string(i + 1);
            RunOnce(program, s);
            report.failure = s.failure;
            ++report.random_runs;
            report.digest = Fold(report.digest, s);
            report.longest_run_steps = std::max<uint64_t>(report.longest_run_steps, s.trace.size());
        }
    }
    report.seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    report.processor_seconds = ProcessorSeconds() - processor_start;
    return report;
}

std::string Describe(const Report& r) {
    std::string per_bound;
    for (uint64_t n : r.runs_per_bound)
        per_bound += (per_bound.empty() ? "" : ", ") + std::to_string(n);
    const double runs = static_cast<double>(r.depth_first_runs + r.random_runs);
    char tail[240];
    std::snprintf(tail, sizeof tail,
                  "; %llu random; at most %llu steps; %.1f s, %.0f runs/s; %.1f processor s, %.0f "
                  "runs per processor second (%s)",
                  static_cast<unsigned long long>(r.random_runs),
                  static_cast<unsigned long long>(r.longest_run_steps), r.seconds,
                  r.seconds > 0 ? runs / r.seconds : 0.0, r.processor_seconds,
                  r.processor_seconds > 0 ? runs / r.processor_seconds : 0.0,
                  r.contexts ? "contexts" : "handoffs");
    return "depth-first runs with at most 0, 1, ... preemptions: " + per_bound + " (" +
           (r.exhausted ? "every schedule within the bound" : "bound on runs reached") + ")" + tail;
}

int ThreadIndex() {
    Kernel& k = TheKernel();
    std::lock_guard<std::mutex> lock(k.mu);
    const int id = Self().scheduled;
    return id >= 0 && k.sched && k.sched->threads[id]->program ? id : -1;
}

bool Blocked(int thread) {
    Kernel& k = TheKernel();
    std::lock_guard<std::mutex> lock(k.mu);
    if (!k.sched || thread < 0 || thread >= static_cast<int>(k.sched->threads.size()))
        return false;
    const ScheduledThread& t = *k.sched->threads[thread];
    return t.state == ScheduledThread::kWaiting && t.waiter && !t.waiter->woken;
}

uint64_t PreemptedMs() {
    Kernel& k = TheKernel();
    std::lock_guard<std::mutex> lock(k.mu);
    return k.sched ? k.sched->preempted_ms : 0;
}

int LiveContexts() {
    return detail::LiveContexts();
}

int ThreadNumber() {
    return Self().scheduled;
}

uint64_t Steps() {
    Kernel& k = TheKernel();
    std::lock_guard<std::mutex> lock(k.mu);
    return k.sched ? k.sched->trace.size() : 0;
}

}  // namespace coredll::explore
