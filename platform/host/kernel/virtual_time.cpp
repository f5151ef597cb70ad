// The kernel's clocks: virtual monotonic time, manual or scaled, and the wall clock on it; how
// they start and how they read.
#include "kernel.h"

namespace coredll::detail {

void StartClocks(Kernel& k) {
    k.manual = true;
    k.scale = 1.0;
    k.manual_now = 0;
    k.anchor_virtual = 0;
    k.anchor_real = SteadyClock::now();
    const SYSTEMTIME start = {2026, 1, 4, 1, 0, 0, 0, 0};  // a Thursday
    clock::ToMs(start, &k.wall_base);
    k.wall_mono = 0;
}

SYSTEMTIME WallNow() {
    Kernel& k = TheKernel();
    std::lock_guard<std::mutex> lock(k.mu);
    return clock::FromMs(k.wall_base + static_cast<int64_t>(NowLocked(k) - k.wall_mono));
}

uint64_t VirtualNowMs() {
    std::lock_guard<std::mutex> lock(TheKernel().mu);
    return NowLocked(TheKernel());
}

}  // namespace coredll::detail
