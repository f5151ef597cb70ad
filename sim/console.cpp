// Writes the simulator's lines and its progress bar to the console, one writer at a time.
#include "console.h"

#include <cstdio>

#include "date_text.h"

namespace tws {

void Console::Line(const SYSTEMTIME& at, const char* tag, const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    ClearBar();
    std::printf("[%s] %-8s %s\n", FormatDate(at, true).c_str(), tag, text.c_str());
    DrawBar();
    std::fflush(stdout);
}

void Console::Bar(const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    ClearBar();
    bar_ = text;
    DrawBar();
    std::fflush(stdout);
}

void Console::EndBar() {
    std::lock_guard<std::mutex> lock(mu_);
    ClearBar();
    bar_.clear();
    std::fflush(stdout);
}

void Console::Fail(const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    ClearBar();
    std::fflush(stdout);
    std::fprintf(stderr, "timeward-sim: %s\n", text.c_str());
    DrawBar();
}

void Console::ClearBar() {
    if (!bar_.empty())
        std::printf("\r\033[K");
}

void Console::DrawBar() {
    if (!bar_.empty())
        std::printf("%s", bar_.c_str());
}

Console& Out() {
    static Console* console = new Console;
    return *console;
}

}  // namespace tws
