// The simulated kernel's events: named and unnamed, manual and auto reset, created and opened,
// set, reset, pulsed.
#include "deterministic.h"

namespace coredll::detail {

void SetEventLocked(Kernel& k, Object& o) {
    if (o.manual_reset) {
        o.signaled = true;
        ReleaseWaiters(k, o, true);
    } else if (!o.waiters.empty()) {
        ReleaseWaiters(k, o, false);  // an auto-reset event releases one waiter and stays clear
    } else {
        o.signaled = true;
    }
}

std::shared_ptr<Object> NamedEventLocked(Kernel& k, const std::u16string& name) {
    auto it = k.named.find(name);
    if (it == k.named.end())
        return nullptr;
    std::shared_ptr<Object> o = it->second.lock();
    return o && !o->is_thread && !o->foreign ? o : nullptr;
}

}  // namespace coredll::detail

using namespace coredll;
using namespace coredll::detail;

// Windows CE has no security: the attributes must be NULL.
COREDLL_API HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset,
                                BOOL bInitialState, LPCWSTR lpName) {
    Hook(threads::Call::kCreateEvent);
    Kernel& k = TheKernel();
    std::lock_guard<std::mutex> lock(k.mu);
    if (lpEventAttributes) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (k.fail_events) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::u16string name = lpName ? std::u16string(lpName) : std::u16string();
    if (!name.empty()) {
        auto it = k.named.find(name);
        if (it != k.named.end()) {
            if (std::shared_ptr<Object> existing = it->second.lock()) {
                if (existing->is_thread || existing->foreign) {
                    SetLastError(ERROR_INVALID_HANDLE);
                    return nullptr;
                }
                SetLastError(ERROR_ALREADY_EXISTS);
                return AddHandle(k, existing);
            }
        }
    }
    auto event = std::make_shared<Object>();
    event->manual_reset = bManualReset != FALSE;
    event->signaled = bInitialState != FALSE;
    event->name = name;
    if (!name.empty())
        k.named[name] = event;
    SetLastError(ERROR_SUCCESS);
    return AddHandle(k, std::move(event));
}

COREDLL_API BOOL EventModify(HANDLE hEvent, DWORD func) {
    Hook(threads::Call::kEventModify);
    Kernel& k = TheKernel();
    std::lock_guard<std::mutex> lock(k.mu);
    std::shared_ptr<Object> o = Lookup(k, hEvent);
    if (!o)
        k.bad_handle_uses++;
    if (!o || o->is_thread || func < EVENT_PULSE || func > EVENT_SET) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (func != EVENT_RESET)
        ReleaseScheduledLocked(k, o.get());
    if (func == EVENT_RESET) {
        o->signaled = false;
    } else if (func == EVENT_PULSE) {
        ReleaseWaiters(k, *o, o->manual_reset);
        o->signaled = false;
    } else {
        SetEventLocked(k, *o);
    }
    return TRUE;
}

// Windows CE has no security, and takes only the one access, EVENT_ALL_ACCESS, and no
// inheritance: anything else is refused, as its headers say.
COREDLL_API HANDLE OpenEventW(DWORD dwDesiredAccess, BOOL bInheritHandle, LPCWSTR lpName) {
    Hook(threads::Call::kCreateEvent);
    Kernel& k = TheKernel();
    std::lock_guard<std::mutex> lock(k.mu);
    if (dwDesiredAccess != EVENT_ALL_ACCESS || bInheritHandle || !lpName || !*lpName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (k.fail_events) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    const std::u16string name(lpName);
    if (std::shared_ptr<Object> event = NamedEventLocked(k, name))
        return AddHandle(k, std::move(event));
    auto it = k.named.find(name);
    SetLastError(it != k.named.end() && !it->second.expired() ? ERROR_INVALID_HANDLE
                                                              : ERROR_FILE_NOT_FOUND);
    return nullptr;
}
