// The guarded copy: CeSafeCopyMemory, which moves bytes between buffers that may not be
// readable or writable, with an error result instead of a fault.
//
// The kernel does the moving, so a bad address is its EFAULT and never a signal here. Where it
// has process_vm_readv/writev, one call moves the bytes; where it has not (qemu-user does not
// emulate them), the bytes go through a pipe: write(2) reads the source, read(2) writes the
// destination.
#include "deterministic.h"
#include "internal.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <memory>
#include <new>

namespace {

std::atomic<bool> g_force_pipe{false};
std::atomic<bool> g_no_process_vm{false};  // set once the kernel said it has no such call
std::atomic<uint32_t> g_copies{0};         // 32 bits: ARMv5 has no 64-bit atomics without libatomic

enum class Moved { kAll, kFault, kNoCall };

// Moves `n` bytes with one process_vm_readv (`local` is `to`) or process_vm_writev (`local`
// is `from`) on this process. kNoCall when the kernel lacks the call, before anything moved.
// A short count is a fault; the destination may then hold `*written` of the new bytes.
Moved ProcessVmMove(void* to, const void* from, size_t n, bool write_to_remote, size_t* written) {
    *written = 0;
    ssize_t r;
    if (write_to_remote) {
        iovec local{const_cast<void*>(from), n};
        iovec remote{to, n};
        r = process_vm_writev(getpid(), &local, 1, &remote, 1, 0);
    } else {
        iovec local{to, n};
        iovec remote{const_cast<void*>(from), n};
        r = process_vm_readv(getpid(), &local, 1, &remote, 1, 0);
    }
    if (r < 0 && (errno == ENOSYS || errno == EPERM))
        return Moved::kNoCall;
    if (r > 0)
        *written = static_cast<size_t>(r);
    return r == static_cast<ssize_t>(n) ? Moved::kAll : Moved::kFault;
}

// A private pipe, closed with its owner. Non-blocking: a step that would wait is a failure.
class Pipe {
  public:
    Pipe() {
        if (pipe2(fds_, O_CLOEXEC | O_NONBLOCK) != 0)
            fds_[0] = fds_[1] = -1;
    }
    ~Pipe() {
        if (ok()) {
            close(fds_[0]);
            close(fds_[1]);
        }
    }
    Pipe(const Pipe&) = delete;
    Pipe& operator=(const Pipe&) = delete;
    bool ok() const {
        return fds_[0] >= 0;
    }

    // Moves `n` bytes from `from` to `to` in steps of PIPE_BUF bytes, which an empty pipe
    // always takes whole. Leaves the pipe empty. On a fault the destination may have been
    // written in part up to `*touched` bytes (the kernel can store part of a step it then
    // reports as failed), never beyond.
    bool Move(char* to, const char* from, size_t n, size_t* touched) {
        *touched = 0;
        for (size_t done = 0; done < n;) {
            const size_t step = std::min<size_t>(n - done, PIPE_BUF);
            const ssize_t in = write(fds_[1], from + done, step);
            if (in <= 0)
                return false;
            *touched = done + static_cast<size_t>(in);
            const ssize_t out = read(fds_[0], to + done, static_cast<size_t>(in));
            if (out != in) {
                Drain(static_cast<size_t>(in - std::max<ssize_t>(out, 0)));
                return false;
            }
            done += static_cast<size_t>(in);
            if (static_cast<size_t>(in) < step)
                return false;  // the source ends in memory that cannot be read
        }
        return true;
    }

  private:
    void Drain(size_t n) {
        char scrap[PIPE_BUF];
        while (n > 0) {
            ssize_t r = read(fds_[0], scrap, std::min(n, sizeof scrap));
            if (r <= 0)
                return;
            n -= static_cast<size_t>(r);
        }
    }
    int fds_[2];
};

// The copy through a pipe. Reads the source and the destination's old bytes first, so that a
// destination that turns out to be writable only in part gets its old bytes back.
BOOL PipeCopy(char* dest, const char* src, size_t n, char* data, char* old) {
    Pipe pipe;
    size_t touched = 0;
    if (!pipe.ok() || !pipe.Move(data, src, n, &touched) || !pipe.Move(old, dest, n, &touched)) {
        return FALSE;
    }
    if (pipe.Move(dest, data, n, &touched))
        return TRUE;
    size_t undone = 0;
    pipe.Move(dest, old, touched, &undone);  // stops where the destination stops being writable
    return FALSE;
}

// Reads the source into `data` and the destination's old bytes into `old`, with one
// process_vm_readv: a short count is a fault in either.
Moved ProcessVmReadBoth(char* data, const char* src, char* old, const char* dest, size_t n) {
    iovec local[2] = {{data, n}, {old, n}};
    iovec remote[2] = {{const_cast<char*>(src), n}, {const_cast<char*>(dest), n}};
    const ssize_t r = process_vm_readv(getpid(), local, 2, remote, 2, 0);
    if (r < 0 && (errno == ENOSYS || errno == EPERM))
        return Moved::kNoCall;
    return r == static_cast<ssize_t>(2 * n) ? Moved::kAll : Moved::kFault;
}

// The copy with process_vm_readv/writev: the source and the destination's old bytes are read
// into `data` and `old`, then `data` is written to the destination.
BOOL ProcessVmCopy(char* dest, const char* src, size_t n, char* data, char* old, bool* no_call) {
    size_t count = 0;
    const Moved m = n <= SSIZE_MAX / 2 ? ProcessVmReadBoth(data, src, old, dest, n) : Moved::kFault;
    *no_call = m == Moved::kNoCall;
    if (m != Moved::kAll)
        return FALSE;
    size_t written = 0;
    if (ProcessVmMove(dest, data, n, true, &written) == Moved::kAll)
        return TRUE;
    if (written > 0)
        ProcessVmMove(dest, old, written, true, &count);
    return FALSE;
}

// Copies within memory known to be mapped, readable and writable, as the kernel would: through
// the bytes as they were (the two ranges may overlap), and unseen by the sanitizers, which see
// no system call's copy either.
__attribute__((no_sanitize("address", "thread"))) void MoveKnown(char* to, const char* from,
                                                                 size_t n) {
    volatile char* out = to;
    const volatile char* in = from;
    if (to < from) {
        for (size_t i = 0; i < n; ++i)
            out[i] = in[i];
    } else {
        for (size_t i = n; i > 0; --i)
            out[i - 1] = in[i - 1];
    }
}

}  // namespace

namespace coredll::detail {

void ResetGuardedCopy() {
    g_force_pipe = false;
    g_copies = 0;
}

}  // namespace coredll::detail

void coredll::memory::ForcePipeCopy(bool force) {
    g_force_pipe = force;
}

uint64_t coredll::memory::Copies() {
    return g_copies;
}

// An unreadable source or unwritable destination is an error result, never a fault. A
// destination that is writable only in part gets its old bytes back.
COREDLL_API BOOL CeSafeCopyMemory(LPVOID pDest, LPCVOID pSrc, DWORD cbSize) {
    ++g_copies;
    if (cbSize == 0)
        return TRUE;
    if (!pDest || !pSrc)
        return FALSE;
    char* dest = static_cast<char*>(pDest);
    const char* src = static_cast<const char*>(pSrc);
    // Both on the running context's own stack, which the simulated kernel mapped itself: nothing
    // there can fault, and the bytes move without a system call.
    if (!g_force_pipe && coredll::detail::WithinRunningStack(src, cbSize) &&
        coredll::detail::WithinRunningStack(dest, cbSize)) {
        MoveKnown(dest, src, cbSize);
        return TRUE;
    }
    // Buffers of a request's size live on the stack; larger ones on the heap.
    constexpr DWORD kSmall = 256;
    char small_data[kSmall], small_old[kSmall];
    std::unique_ptr<char[]> data, old;
    if (cbSize > kSmall) {
        data.reset(new (std::nothrow) char[cbSize]);
        old.reset(new (std::nothrow) char[cbSize]);
        if (!data || !old)
            return FALSE;
    }
    char* data_at = data ? data.get() : small_data;
    char* old_at = old ? old.get() : small_old;
    if (!g_force_pipe && !g_no_process_vm) {
        bool no_call = false;
        BOOL ok = ProcessVmCopy(dest, src, cbSize, data_at, old_at, &no_call);
        if (!no_call)
            return ok;
        g_no_process_vm = true;
    }
    return PipeCopy(dest, src, cbSize, data_at, old_at);
}
