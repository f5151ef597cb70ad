// The simulated kernel's controls: counts of threads and handles, and fault switches.
#include "kernel.h"

using namespace coredll::detail;

namespace coredll::threads {

int Alive() {
    std::lock_guard<std::mutex> lock(TheKernel().mu);
    return TheKernel().alive;
}

uint64_t Started() {
    std::lock_guard<std::mutex> lock(TheKernel().mu);
    return TheKernel().started;
}

int OpenHandles() {
    std::lock_guard<std::mutex> lock(TheKernel().mu);
    return static_cast<int>(TheKernel().handles.size());
}

bool EventExists(std::u16string_view name) {
    std::lock_guard<std::mutex> lock(TheKernel().mu);
    return NamedEventLocked(TheKernel(), std::u16string(name)) != nullptr;
}

void TakeName(std::u16string_view name) {
    std::lock_guard<std::mutex> lock(TheKernel().mu);
    auto other = std::make_shared<Object>();
    other->foreign = true;
    other->name = std::u16string(name);
    TheKernel().named[other->name] = other;
    TheKernel().taken_names.push_back(std::move(other));
}

void FailEventCreation(bool fail) {
    std::lock_guard<std::mutex> lock(TheKernel().mu);
    TheKernel().fail_events = fail;
}

void FailThreadCreation(bool fail) {
    std::lock_guard<std::mutex> lock(TheKernel().mu);
    TheKernel().fail_threads = fail;
}

void FailWaits(bool fail) {
    std::lock_guard<std::mutex> lock(TheKernel().mu);
    TheKernel().fail_waits = fail;
}

uint64_t BadHandleUses() {
    std::lock_guard<std::mutex> lock(TheKernel().mu);
    return TheKernel().bad_handle_uses;
}

}  // namespace coredll::threads
