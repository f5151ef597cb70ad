// The simulated kernel's controls: counts of threads and handles, and fault switches.
#include "kernel.h"

using namespace coredll::detail;

namespace coredll::threads {

int Alive() {
    std::lock_guard<std::mutex> lock(K().mu);
    return K().alive;
}

uint64_t Started() {
    std::lock_guard<std::mutex> lock(K().mu);
    return K().started;
}

int OpenHandles() {
    std::lock_guard<std::mutex> lock(K().mu);
    return static_cast<int>(K().handles.size());
}

bool EventExists(std::u16string_view name) {
    std::lock_guard<std::mutex> lock(K().mu);
    return NamedEventLocked(K(), std::u16string(name)) != nullptr;
}

void TakeName(std::u16string_view name) {
    std::lock_guard<std::mutex> lock(K().mu);
    auto other = std::make_shared<Object>();
    other->foreign = true;
    other->name = std::u16string(name);
    K().named[other->name] = other;
    K().taken_names.push_back(std::move(other));
}

void FailEventCreation(bool fail) {
    std::lock_guard<std::mutex> lock(K().mu);
    K().fail_events = fail;
}

void FailThreadCreation(bool fail) {
    std::lock_guard<std::mutex> lock(K().mu);
    K().fail_threads = fail;
}

void FailWaits(bool fail) {
    std::lock_guard<std::mutex> lock(K().mu);
    K().fail_waits = fail;
}

uint64_t BadHandleUses() {
    std::lock_guard<std::mutex> lock(K().mu);
    return K().bad_handle_uses;
}

}  // namespace coredll::threads
