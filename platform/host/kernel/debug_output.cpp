// Debug output: NKDbgPrintfW's lines, kept with their times, echoed and passed to a listener.
#include "internal.h"
#include "support/text.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

namespace coredll::detail {
namespace {

struct DebugOutput {
    std::mutex mu;
    std::vector<debug::Line> lines;
    bool echo = true;
    std::function<void(const debug::Line&)> listener;
};

DebugOutput& Out() {
    static DebugOutput* out = new DebugOutput;  // never destroyed: threads may outlive main
    return *out;
}

}  // namespace

void ResetDebugOutput() {
    DebugOutput& r = Out();
    std::lock_guard<std::mutex> lock(r.mu);
    r.lines.clear();
    r.echo = true;
    r.listener = nullptr;
}

}  // namespace coredll::detail

using namespace coredll;
using namespace coredll::detail;

namespace coredll::debug {

std::vector<Line> Lines() {
    std::lock_guard<std::mutex> lock(Out().mu);
    return Out().lines;
}

std::vector<std::string> Texts() {
    std::vector<std::string> out;
    for (const Line& l : Lines())
        out.push_back(support::Utf8(l.text));
    return out;
}

void Clear() {
    std::lock_guard<std::mutex> lock(Out().mu);
    Out().lines.clear();
}

void EchoToStderr(bool echo) {
    std::lock_guard<std::mutex> lock(Out().mu);
    Out().echo = echo;
}

void SetListener(std::function<void(const Line&)> listener) {
    std::lock_guard<std::mutex> lock(Out().mu);
    Out().listener = std::move(listener);
}

}  // namespace coredll::debug

COREDLL_API void NKDbgPrintfW(LPCWSTR lpszFmt, ...) {
    if (!lpszFmt)
        return;
    va_list args;
    va_start(args, lpszFmt);
    debug::Line line{VirtualNowMs(), WallNow(), FormatDebugText(lpszFmt, args)};
    va_end(args);
    DebugOutput& r = Out();
    std::function<void(const debug::Line&)> listener;
    {
        std::lock_guard<std::mutex> lock(r.mu);
        r.lines.push_back(line);
        listener = r.listener;
        if (r.echo) {
            std::string text = support::Utf8(line.text);
            while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
                text.pop_back();
            std::fprintf(stderr, "%s\n", text.c_str());
        }
    }
    if (listener)
        listener(line);
}
