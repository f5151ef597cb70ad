// The simulated kernel's threads: each a host thread that runs when the scheduler lets it.
#include "deterministic.h"

#include <csetjmp>
#include <thread>

using namespace coredll;
using namespace coredll::detail;

namespace {

// The thread's exit code: its procedure's result, or FreeLibraryAndExitThread's code. The frames
// that FreeLibraryAndExitThread leaves are the thread procedure's, plain code without
// destructors to run.
DWORD RunThreadProc(LPTHREAD_START_ROUTINE start, LPVOID parameter) {
    ThreadState& self = Self();
    std::jmp_buf exit;
    self.exit = &exit;
    if (setjmp(exit) == 0)
        self.exit_code = start(parameter);
    self.exit = nullptr;
    return self.exit_code;
}

}  // namespace

namespace coredll::detail {

void StartSimulatedLocked(Kernel& k, std::function<DWORD()> body,
                          std::function<void(Kernel&, DWORD)> ended) {
    auto run = [&k, body = std::move(body), ended] {
        const DWORD code = body();
        std::lock_guard<std::mutex> done(k.mu);
        ended(k, code);
        if (--k.runnable == 0)
            k.settled.notify_all();
    };
    // Created by a scheduled thread, it is scheduled too; if its run is abandoned, it ends
    // there with exit code 0, as a terminated thread does.
    if (Scheduled()) {
        StartScheduledLocked(k, std::move(run), false,
                             [ended = std::move(ended)](Kernel& kk) { ended(kk, 0); });
        return;
    }
    std::thread([&k, run = std::move(run)] {
        Self().simulated = true;
        {
            // A new thread is runnable, and like a woken one it starts only while a driving
            // thread lets time pass: what the creator does next happens before it runs.
            std::unique_lock<std::mutex> start_lock(k.mu);
            Waiter start;
            start.simulated = true;
            if (k.manual && k.gate == 0) {
                start.held = true;
                k.held.push_back(&start);
            }
            start.cv.wait(start_lock, [&] { return !start.held; });
        }
        run();
    }).detach();
}

void StartKernelThreadLocked(Kernel& k, std::function<void()> body) {
    k.runnable++;
    k.kernel_threads++;
    StartSimulatedLocked(
        k,
        [body = std::move(body)] {
            body();
            return DWORD{0};
        },
        [](Kernel& kk, DWORD) {
            if (--kk.kernel_threads == 0)
                kk.settled.notify_all();
        });
}

}  // namespace coredll::detail

// No stack larger than a Windows CE 5 process's whole 32 MB slot can be reserved.
constexpr DWORD kLargestStack = 32u << 20;

COREDLL_API HANDLE CreateThread(LPSECURITY_ATTRIBUTES, DWORD dwStackSize,
                                LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                                DWORD dwCreationFlags, LPDWORD lpThreadId) {
    Hook(threads::Call::kCreateThread);
    Kernel& k = TheKernel();
    std::lock_guard<std::mutex> lock(k.mu);
    if (k.fail_threads || dwStackSize > kLargestStack) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (!lpStartAddress || dwCreationFlags != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    auto thread = std::make_shared<Object>();
    thread->is_thread = true;
    thread->manual_reset = true;
    k.alive++;
    k.runnable++;
    k.started++;
    if (lpThreadId)
        *lpThreadId = static_cast<DWORD>(k.started);
    HANDLE h = AddHandle(k, thread);
    StartSimulatedLocked(
        k,
        [lpStartAddress, lpParameter] {
            // A thread starts and ends under the loader lock, as the device's loader tells the
            // modules of each thread that starts or ends.
            EnterLoaderLock();
            LeaveLoaderLock();
            const DWORD code = RunThreadProc(lpStartAddress, lpParameter);
            CheckNoSectionHeldHere("a simulated thread's procedure");
            EnterLoaderLock();
            LeaveLoaderLock();
            return code;
        },
        [thread](Kernel& kk, DWORD code) {
            thread->exit_code = code;
            thread->signaled = true;
            ReleaseScheduledLocked(kk, thread.get());
            ReleaseWaiters(kk, *thread, true);
            kk.alive--;
        });
    return h;
}

COREDLL_API BOOL GetExitCodeThread(HANDLE hThread, LPDWORD lpExitCode) {
    Kernel& k = TheKernel();
    std::lock_guard<std::mutex> lock(k.mu);
    std::shared_ptr<Object> o = Lookup(k, hThread);
    if (!o || !o->is_thread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    *lpExitCode = o->signaled ? o->exit_code : STILL_ACTIVE;
    return TRUE;
}
