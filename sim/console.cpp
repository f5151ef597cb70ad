// Writes the simulator's lines and its progress bar to the console, one writer at a time.
#include "console.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "date_text.h"

namespace tws {
namespace {

constexpr size_t kStampChars = 19;     // "2026-12-08 09:00:00"
constexpr size_t kNarrowestText = 24;  // a continued line's text is at least this wide

// Where a labelled line's text starts: after its first run of two spaces or more.
size_t TextColumn(const std::string& line) {
    const size_t first = line.find_first_not_of(' ');
    const size_t gap = line.find("  ", first);
    if (first == std::string::npos || gap == std::string::npos)
        return first == std::string::npos ? 0 : first;
    const size_t text = line.find_first_not_of(' ', gap);
    return text == std::string::npos ? first : text;
}

void FitLine(std::string line, size_t indent, size_t width, std::string* out) {
    if (width < kNarrowestText) {
        *out += line;
        return;
    }
    if (indent == std::string::npos)
        indent = TextColumn(line);
    if (indent + kNarrowestText > width)
        indent = 2;
    while (line.size() > width) {
        size_t cut = line.rfind(' ', width);
        if (cut == std::string::npos || cut <= indent)
            cut = width;
        *out += line.substr(0, cut) + "\n";
        const size_t rest = line.find_first_not_of(' ', cut);
        line = std::string(indent, ' ') + (rest == std::string::npos ? "" : line.substr(rest));
    }
    *out += line;
}

// The width output on `fd` is fitted to, or 0 for output left as it is.
size_t FitWidth(int fd = STDOUT_FILENO) {
    return isatty(fd) ? static_cast<size_t>(Columns(fd)) : 0;
}

}  // namespace

std::string FitToTerminal(const std::string& text, size_t indent, int fd) {
    const size_t width = FitWidth(fd);
    if (width == 0)
        return text;
    std::string out;
    size_t from = 0;
    for (;;) {
        const size_t end = text.find('\n', from);
        FitLine(text.substr(from, end - from), indent, width, &out);
        if (end == std::string::npos)
            return out;
        out += '\n';
        from = end + 1;
    }
}

void Console::Line(const SYSTEMTIME& at, const char* tag, const std::string& text) {
    std::lock_guard<std::mutex> lock(mu_);
    ClearBar();
    // Where lines are fitted, the stamp leaves out the milliseconds and the zone, to leave room.
    const std::string stamp =
        FitWidth() != 0 ? FormatDate(at).substr(0, kStampChars) : FormatDate(at, true);
    char prefix[64];
    std::snprintf(prefix, sizeof prefix, "[%s] %-8s ", stamp.c_str(), tag);
    std::printf("%s\n", FitToTerminal(prefix + text, std::strlen(prefix)).c_str());
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
    std::fprintf(stderr, "%s\n", FitToTerminal("timeward-sim: " + text, 2, STDERR_FILENO).c_str());
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

int Columns(int fd) {
    constexpr int kDefaultColumns = 80;
    winsize ws{};
    if (ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
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
