// The clock controls' records: milliseconds since 1601-01-01 and back, by the host calendar.
#include "coredll_sim.h"
#include "support/calendar.h"

#include <algorithm>

namespace coredll::clock {

bool ToMs(const SYSTEMTIME& st, int64_t* ms) {
    const std::optional<support::Instant> t = support::ToInstant(st);
    if (!t)
        return false;
    *ms = (*t - support::kFirstInstant).count();
    return true;
}

SYSTEMTIME FromMs(int64_t ms) {
    return support::ToRecord(support::kFirstInstant +
                             std::chrono::milliseconds{std::max<int64_t>(ms, 0)});
}

bool IsValidRecord(const SYSTEMTIME& st) {
    return support::IsValidRecord(st);
}

}  // namespace coredll::clock
