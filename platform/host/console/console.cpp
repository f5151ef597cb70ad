// Console output of programs on the host: UTF-8 on the process's standard output and error,
// or into a buffer while tests capture it.
#include <cstdio>
#include <mutex>
#include <string>

#include "coredll_sim.h"
#include "support/text.h"

namespace {

struct Console {
    std::mutex mu;
    bool capture = false;
    std::string out;
    std::string err;
};

Console& C() {
    static Console* console = new Console;  // never destroyed: threads may write at exit
    return *console;
}

}  // namespace

namespace coredll::console {

void Capture(bool capture) {
    std::lock_guard<std::mutex> lock(C().mu);
    C().capture = capture;
    C().out.clear();
    C().err.clear();
}

std::string Output() {
    std::lock_guard<std::mutex> lock(C().mu);
    return C().out;
}

std::string Errors() {
    std::lock_guard<std::mutex> lock(C().mu);
    return C().err;
}

}  // namespace coredll::console

COREDLL_API void ConsoleWriteW(BOOL fError, LPCWSTR pszText) {
    if (!pszText)
        return;
    std::string text = support::Utf8(pszText);
    std::lock_guard<std::mutex> lock(C().mu);
    if (C().capture) {
        (fError ? C().err : C().out) += text;
        return;
    }
    std::FILE* stream = fError ? stderr : stdout;
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}
