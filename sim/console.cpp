// Writes the simulator's lines and its progress bar to the console, one writer at a time.
#include "console.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

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
    // One column short of the width: a bar that reached the last column would wrap on some
    // terminals, and every redraw would then add a line.
    if (!bar_.empty())
        std::printf("%s", bar_.substr(0, static_cast<size_t>(std::max(0, Columns() - 1))).c_str());
}

int Columns() {
    constexpr int kDefaultColumns = 80;
    winsize ws{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
    if (const char* c = std::getenv("COLUMNS"); c && std::atoi(c) > 0)
        return std::atoi(c);
    return kDefaultColumns;
}

Console& Out() {
    static Console* console = new Console;
    return *console;
}

}  // namespace tws
