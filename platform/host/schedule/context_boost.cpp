// Contexts on Boost.Context's fcontext: a switch saves and loads a few registers, no system
// call. AddressSanitizer and ThreadSanitizer are told of every switch, as each needs to know
// which stack runs.
#include "context.h"
#include "deterministic.h"

#include <boost/context/detail/fcontext.hpp>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#define TIMEWARD_ASAN 1
#endif
#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#define TIMEWARD_TSAN 1
#endif

namespace fc = boost::context::detail;

namespace coredll::detail {

struct Context {
    fc::fcontext_t saved = nullptr;
    char* stack = nullptr;  // null for a host thread's own
    void (*entry)(void*) = nullptr;
    void* arg = nullptr;
    const void* bottom = nullptr;  // the stack's lowest address and size, for AddressSanitizer
    size_t size = 0;
    void* tsan = nullptr;  // ThreadSanitizer's fiber
};

namespace {

// Room for the driver's calls and the sanitizers' larger frames; one page below is a guard.
constexpr size_t kStackBytes = 1u << 20;

std::mutex g_mu;
std::vector<char*> g_stacks;  // freed stacks, for the next contexts
int g_live = 0;

// The usable stack of the context that runs on this host thread; empty for a host thread's own.
// Set at each arrival; the range stays mapped even once that context is deleted.
thread_local const char* t_stack_from = nullptr;
thread_local const char* t_stack_to = nullptr;

size_t PageBytes() {
    return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

char* TakeStack() {
    std::lock_guard<std::mutex> lock(g_mu);
    ++g_live;
    if (!g_stacks.empty()) {
        char* stack = g_stacks.back();
        g_stacks.pop_back();
        return stack;
    }
    void* p =
        mmap(nullptr, kStackBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED || mprotect(p, PageBytes(), PROT_NONE) != 0) {
        std::fprintf(stderr, "simulated kernel: no memory for a context's stack\n");
        std::abort();
    }
    return static_cast<char*>(p);
}

// What a switch hands the context it resumes: where it came from.
struct Hop {
    Context* from;
    Context* to;
};

// On arrival in `hop.to`: the context left is saved, and the sanitizers learn the stack.
void Arrive(fc::transfer_t t, void* fake_stack) {
    Hop* hop = static_cast<Hop*>(t.data);
    hop->from->saved = t.fctx;
    const Context* here = hop->to;
    t_stack_from = here->stack ? static_cast<const char*>(here->bottom) : nullptr;
    t_stack_to = here->stack ? here->stack + kStackBytes : nullptr;
#if defined(TIMEWARD_ASAN)
    const void* bottom = nullptr;
    size_t size = 0;
    __sanitizer_finish_switch_fiber(fake_stack, &bottom, &size);
    if (!hop->from->stack) {
        hop->from->bottom = bottom;
        hop->from->size = size;
    }
#else
    (void)fake_stack;
#endif
}

void Start(fc::transfer_t t) {
    Context* self = static_cast<Hop*>(t.data)->to;
    Arrive(t, nullptr);
    self->entry(self->arg);
    std::fprintf(stderr, "simulated kernel: a context's entry returned\n");
    std::abort();
}

}  // namespace

bool ContextsAvailable() {
    return true;
}

Context* NewThreadContext() {
    Context* c = new Context;
#if defined(TIMEWARD_TSAN)
    c->tsan = __tsan_get_current_fiber();
#endif
    std::lock_guard<std::mutex> lock(g_mu);
    ++g_live;
    return c;
}

Context* NewContext(void (*entry)(void*), void* arg) {
    Context* c = new Context;
    c->stack = TakeStack();
    c->entry = entry;
    c->arg = arg;
    c->bottom = c->stack + PageBytes();
    c->size = kStackBytes - PageBytes();
    c->saved = fc::make_fcontext(c->stack + kStackBytes, c->size, Start);
#if defined(TIMEWARD_TSAN)
    c->tsan = __tsan_create_fiber(0);
#endif
    return c;
}

void SwitchContext(Context* from, Context* to, bool from_ends) {
    Hop hop{from, to};
    void* fake_stack = nullptr;
#if defined(TIMEWARD_ASAN)
    __sanitizer_start_switch_fiber(from_ends ? nullptr : &fake_stack, to->bottom, to->size);
#else
    (void)from_ends;
#endif
#if defined(TIMEWARD_TSAN)
    __tsan_switch_to_fiber(to->tsan, 0);
#endif
    const fc::transfer_t t = fc::jump_fcontext(to->saved, &hop);
    Arrive(t, fake_stack);
}

void DeleteContext(Context* c) {
#if defined(TIMEWARD_TSAN)
    if (c->stack)
        __tsan_destroy_fiber(c->tsan);
#endif
#if defined(TIMEWARD_ASAN)
    // The frames a context left on its stack keep their red zones; the next context that takes
    // the stack starts clean.
    if (c->stack)
        __asan_unpoison_memory_region(c->bottom, c->size);
#endif
    std::lock_guard<std::mutex> lock(g_mu);
    --g_live;
    if (c->stack)
        g_stacks.push_back(c->stack);
    delete c;
}

int LiveContexts() {
    std::lock_guard<std::mutex> lock(g_mu);
    return g_live;
}

bool WithinRunningStack(const void* p, size_t n) {
    const char* at = static_cast<const char*>(p);
    return t_stack_from && at >= t_stack_from && at <= t_stack_to &&
           n <= static_cast<size_t>(t_stack_to - at);
}

}  // namespace coredll::detail
