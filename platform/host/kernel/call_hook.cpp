// The kernel's call hook, apart from the kernel's lock so that a hook may block and call the
// library.
#include "deterministic.h"

namespace coredll::detail {
namespace {

std::mutex g_hook_mu;
std::shared_ptr<const threads::CallHook> g_hook;

}  // namespace

void Hook(threads::Call call) {
    static const char* const kNames[] = {
        "CreateEvent",
        "EventModify",
        "Wait",
        "Sleep",
        "CreateThread",
        "CloseHandle",
        "EnterCriticalSection",
        "LeaveCriticalSection",
        "SetSystemTime",
    };
    {
        // Let go before the scheduling point: a thread may be abandoned there.
        std::shared_ptr<const threads::CallHook> hook;
        {
            std::lock_guard<std::mutex> lock(g_hook_mu);
            hook = g_hook;
        }
        if (hook)
            (*hook)(call);
    }
    // Leaving a critical section is no scheduling point. No other thread can take the section
    // while its owner holds it, so whatever another thread may do just before the leave it may
    // do just after it, at the owner's next call: a switch there gives no order that one at
    // that call does not, and takes no fewer preemptions.
    if (call != threads::Call::kLeaveCriticalSection)
        SchedulePoint(kNames[static_cast<int>(call)]);
}

void ResetCallHook() {
    std::lock_guard<std::mutex> lock(g_hook_mu);
    g_hook.reset();
}

}  // namespace coredll::detail

void coredll::threads::SetCallHook(CallHook hook) {
    std::lock_guard<std::mutex> lock(detail::g_hook_mu);
    detail::g_hook = hook ? std::make_shared<const CallHook>(std::move(hook)) : nullptr;
}
