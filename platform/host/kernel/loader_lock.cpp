// The loader lock: one per process, held around DllMain and taken by LoadLibraryW, FreeLibrary,
// FreeLibraryAndExitThread and a simulated thread's start and end, as on the device.
#include "deterministic.h"
#include "self.h"

#include <atomic>

namespace coredll::detail {
namespace {

// A recursive lock: DllMain may load or free a module again. Its owner (the simulated thread's
// own state) and depth are written by the owner alone, under the mutex.
struct LoaderLock {
    std::recursive_mutex mu;
    std::atomic<const ThreadState*> owner{nullptr};
    int depth = 0;
};

// Never destroyed: threads may outlive main.
LoaderLock& TheLoaderLock() {
    static LoaderLock* lock = new LoaderLock;
    return *lock;
}

// Frees the lock from an owner abandoned with its run, on the host thread that took it.
void GiveUpLoaderLock(void* lock) {
    LoaderLock& l = *static_cast<LoaderLock*>(lock);
    while (l.depth > 0) {
        --l.depth;
        l.mu.unlock();
    }
    l.owner.store(nullptr);
}

}  // namespace

void EnterLoaderLock() {
    LoaderLock& l = TheLoaderLock();
    // In the deterministic mode the scheduler, not the mutex, makes a thread wait for it.
    if (Scheduled())
        EnterScheduled(&l, GiveUpLoaderLock);
    l.mu.lock();
    if (l.depth++ == 0)
        l.owner.store(&Self());
}

void LeaveLoaderLock() {
    LoaderLock& l = TheLoaderLock();
    if (--l.depth == 0)
        l.owner.store(nullptr);
    l.mu.unlock();
    if (Scheduled())
        LeaveScheduled(&l);
}

bool HoldsLoaderLock() {
    return TheLoaderLock().owner.load() == &Self();
}

}  // namespace coredll::detail

namespace coredll::modules {

void WithLoaderLock(const std::function<void()>& fn) {
    detail::EnterLoaderLock();
    fn();
    detail::LeaveLoaderLock();
}

}  // namespace coredll::modules
