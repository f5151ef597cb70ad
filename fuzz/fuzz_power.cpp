// Fuzzes RTC_IOControl with arbitrary request codes, lengths, buffer contents and pointers
// (absent, valid, read-only, inaccessible). Results and error codes must be those of the
// request table, and nothing may be written outside the out buffer and the byte count.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "coredll_sim.h"
#include "input.h"
#include "power.h"
#include "saver.h"
#include "timeward.h"

namespace {

constexpr DWORD kNoError = 0xBEEF;
constexpr size_t kGuard = 64;

enum class Where { kAbsent, kValid, kReadOnly, kInaccessible };

struct Pages {
    Pages() {
        size = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        base = static_cast<uint8_t*>(
            mmap(nullptr, 2 * size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        std::memset(base, 0x5A, size);
        mprotect(base, size, PROT_READ);
        mprotect(base + size, size, PROT_NONE);
    }
    uint8_t* base;
    size_t size;
};

// A read-only page, then an inaccessible one.
Pages& ProtectedPages() {
    static Pages* pages = new Pages;
    return *pages;
}

uint8_t* Place(Where where, uint8_t* valid) {
    switch (where) {
        case Where::kAbsent:
            return nullptr;
        case Where::kValid:
            return valid;
        case Where::kReadOnly:
            return ProtectedPages().base;
        case Where::kInaccessible:
            return ProtectedPages().base + ProtectedPages().size;
    }
    return nullptr;
}

DWORD g_state = D0;  // what the driver should report: the state of the last set that succeeded

// One request drawn from the input. The out buffer and the byte count sit between guards that
// must stay untouched.
struct Request {
    explicit Request(FuzzInput& in) {
        const DWORD codes[] = {IOCTL_POWER_CAPABILITIES, IOCTL_POWER_SET, IOCTL_POWER_GET,
                               IOCTL_POWER_QUERY};
        const uint8_t pick = in.Byte();
        code = pick < 200 ? codes[pick % 4] : in.Dword();
        len = in.Byte() % 72;
        out_where = static_cast<Where>(in.Byte() % 4);
        count_where = static_cast<Where>(in.Byte() % 4);
        in_where = static_cast<Where>(in.Byte() % 4);
        for (uint8_t& b : out_area)
            b = in.Byte();
        std::memset(count_area, 0xC3, sizeof count_area);
        std::memset(in_area, 0x11, sizeof in_area);
        std::memcpy(out_before, out_area, sizeof out_area);
        in_len = in.Byte();
    }

    DWORD code, len, in_len;
    Where out_where, count_where, in_where;
    uint8_t out_area[kGuard + 72 + kGuard];
    uint8_t out_before[sizeof out_area];
    uint8_t count_area[kGuard + 4 + kGuard];
    uint8_t in_area[16];
};

// What the request table says the driver answers.
struct Answer {
    BOOL result = FALSE;
    DWORD error = kNoError;
    uint8_t out[72];
    bool count_written = false;
    DWORD count = 0;
};

// The table, as a model. A SET that succeeds becomes the state GET reports.
Answer Model(const Request& r) {
    const bool out_ok = r.out_where == Where::kValid, count_ok = r.count_where == Where::kValid;
    const bool out_absent = r.out_where == Where::kAbsent;
    const bool count_absent = r.count_where == Where::kAbsent;
    Answer a;
    std::memcpy(a.out, r.out_before + kGuard, 72);
    auto answer = [&](const void* bytes, DWORD size, BOOL result) {
        std::memcpy(a.out, bytes, size);
        a.result = result;
        a.count_written = count_ok;
        a.count = size;
    };
    if (r.code == IOCTL_POWER_CAPABILITIES) {
        if (!out_absent && r.len >= 48 && out_ok) {
            uint8_t caps[48] = {0x11};
            answer(caps, 48, count_ok || count_absent);
        }
        if (!a.result)
            a.error = ERROR_INVALID_PARAMETER;
    } else if (r.code == IOCTL_POWER_SET) {
        const bool readable = out_ok || r.out_where == Where::kReadOnly;
        DWORD state = 0;
        if (!out_absent && r.len >= 4 && readable) {
            std::memcpy(&state, out_ok ? r.out_before + kGuard : ProtectedPages().base, 4);
            const DWORD reply = state == D0 ? D0 : D4;
            if (state <= D4 && out_ok)
                answer(&reply, 4, count_ok);
            if (a.result)
                g_state = reply;
        }
    } else if (r.code == IOCTL_POWER_GET) {
        if (!count_absent && !out_absent && r.len >= 4 && out_ok)
            answer(&g_state, 4, count_ok);
        if (!a.result)
            a.error = ERROR_INVALID_PARAMETER;
    }
    return a;
}

// Nothing outside the out buffer and the byte count changed, and they hold what was answered.
bool OnlyTheAnswerWritten(const Request& r, const Answer& a) {
    if (std::memcmp(r.out_area, r.out_before, kGuard) != 0 ||
        std::memcmp(r.out_area + kGuard + 72, r.out_before + kGuard + 72, kGuard) != 0) {
        return false;
    }
    if (r.out_where == Where::kValid && std::memcmp(r.out_area + kGuard, a.out, 72) != 0)
        return false;
    for (size_t i = 0; i < sizeof r.count_area; ++i) {
        const bool inside = i >= kGuard && i < kGuard + 4;
        if (!(inside && a.count_written) && r.count_area[i] != 0xC3)
            return false;
    }
    if (a.count_written && std::memcmp(r.count_area + kGuard, &a.count, 4) != 0)
        return false;
    for (size_t i = 0; i < ProtectedPages().size; ++i) {
        if (ProtectedPages().base[i] != 0x5A)
            return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool once = [] {
        coredll::debug::EchoToStderr(false);
        InitSaverLock();
        ResetPowerState();
        return true;
    }();
    (void)once;
    FuzzInput in(data, size);
    Request r(in);
    uint8_t* out = Place(r.out_where, r.out_area + kGuard);
    DWORD* count = reinterpret_cast<DWORD*>(Place(r.count_where, r.count_area + kGuard));
    uint8_t* inbuf = Place(r.in_where, r.in_area);

    SetLastError(kNoError);
    const BOOL result = RTC_IOControl(1, r.code, inbuf, r.in_len, out, r.len, count);
    const DWORD error = GetLastError();
    const Answer want = Model(r);

    if (result != want.result || error != want.error) {
        std::fprintf(
            stderr, "code %x len %u out %d count %d: result %d want %d, error %u want %u\n", r.code,
            r.len, (int)r.out_where, (int)r.count_where, result, want.result, error, want.error);
        std::abort();
    }
    if (!OnlyTheAnswerWritten(r, want))
        std::abort();
    return 0;
}
