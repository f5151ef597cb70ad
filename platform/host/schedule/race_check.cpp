// The race check: an access to a registry value from one scheduled thread and a write to it from
// another, which no synchronisation orders, fail the run in the first schedule that holds both,
// whether or not they overlapped in it.
#include "schedule.h"

#include "support/text.h"

#include <cxxabi.h>
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

namespace coredll::detail {

namespace {

// Where a call came from: its function and offset, as the host's loader names it, else its
// module and offset (for addr2line).
std::string Site(const void* site) {
    Dl_info info;
    char text[160];
    if (!site || !dladdr(site, &info) || !info.dli_fname) {
        std::snprintf(text, sizeof text, "%p", site);
        return text;
    }
    const char* module = std::strrchr(info.dli_fname, '/');
    module = module ? module + 1 : info.dli_fname;
    const char* at = static_cast<const char*>(site);
    if (!info.dli_sname || !info.dli_saddr) {
        std::snprintf(text, sizeof text, "%s+0x%zx", module,
                      static_cast<size_t>(at - static_cast<const char*>(info.dli_fbase)));
        return text;
    }
    int status = 0;
    char* plain = abi::__cxa_demangle(info.dli_sname, nullptr, nullptr, &status);
    std::snprintf(text, sizeof text, "%s+0x%zx (%s)", status == 0 && plain ? plain : info.dli_sname,
                  static_cast<size_t>(at - static_cast<const char*>(info.dli_saddr)), module);
    std::free(plain);
    return text;
}

// A value access is not a scheduling point: it runs in its thread's turn after its last one.
std::string Describe(const Access& a) {
    return "thread " + std::to_string(a.thread) + "'s " + a.call +
           (a.step ? " after step " + std::to_string(a.step) : " before the first step") +
           " from " + Site(a.site);
}

// Whether `a` happens before what `clock` has seen.
bool Ordered(const Access& a, const VectorClock& clock) {
    return a.thread < 0 || a.epoch <= clock[a.thread];
}

// The registry values that runs accessed, by path and name, folded (names that share their long
// path, which a hash tells apart faster than an ordered compare), with the accesses of the last
// run that made one; under the kernel's lock. Kept from run to run, so that a run allocates
// nothing for the values the runs before it knew.
struct KeyAccesses {
    uint64_t run = 0;           // Scheduler::id
    Access write;               // the last one
    std::vector<Access> reads;  // by thread, since the last write
};

// Paths of one key share their long start: compared as bytes.
struct SamePath {
    bool operator()(const std::u16string& a, const std::u16string& b) const {
        return support::SameUnits(a, b);
    }
};

std::unordered_map<std::u16string, KeyAccesses, std::hash<std::u16string>, SamePath>& KeyTable() {
    static std::unordered_map<std::u16string, KeyAccesses, std::hash<std::u16string>, SamePath>
        table;
    return table;
}

}  // namespace

uint64_t NewRunId() {
    // Under a lock of its own: ARMv5 has no 64-bit atomics without libatomic.
    static std::mutex mu;
    static uint64_t runs = 0;
    std::lock_guard<std::mutex> lock(mu);
    return ++runs;
}

void NoteKeyAccess(const std::u16string& key, bool write, const char* call, const void* site) {
    Kernel& k = TheKernel();
    std::lock_guard<std::mutex> lock(k.mu);
    ScheduledThread* me = Me(k);
    if (!me)
        return;
    Scheduler& s = *k.sched;
    const int id = Self().scheduled;
    const Access now{id, me->clock[id], call, site, s.trace.size()};
    KeyAccesses& a = KeyTable()[key];
    if (a.run != s.id) {
        a.run = s.id;
        a.write = Access();
        a.reads.clear();
    }
    auto race = [&](const Access& earlier) {
        if (earlier.thread == id || Ordered(earlier, me->clock))
            return;
        FailRun(s, "a data race on the registry value " + support::Utf8(key) + ": " +
                       Describe(earlier) + ", and " + Describe(now) +
                       ", with no synchronisation that orders them");
    };
    race(a.write);
    if (!write) {
        if (a.reads.size() <= static_cast<size_t>(id))
            a.reads.resize(id + 1);
        a.reads[id] = now;
        return;
    }
    for (const Access& read : a.reads)
        race(read);
    a.write = now;
    a.reads.clear();
}

}  // namespace coredll::detail
