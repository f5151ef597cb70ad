// The kernel's call hook, apart from the kernel's lock so that a hook may block and call the
// library.
#include "schedule.h"

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
