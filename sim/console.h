// The simulator's console: the steps' lines, the driver's debug lines and a progress bar.
#ifndef TIMEWARD_SIM_CONSOLE_H
#define TIMEWARD_SIM_CONSOLE_H

#include <timeward_backend.h>

#include <mutex>
#include <string>

namespace tws {

// Standard output, shared by the steps and the driver's debug lines, with an optional
// progress bar on the last line.
class Console {
  public:
    // A line of what happened, stamped with the device's clock and a tag ("boot", "driver").
    void Line(const SYSTEMTIME& at, const char* tag, const std::string& text);
    // Replaces the progress bar (on a terminal only), and takes it away.
    void Bar(const std::string& text);
    void EndBar();
    // A failure, on standard error, after the program's name.
    void Fail(const std::string& text);

  private:
    void ClearBar();
    void DrawBar();

    std::mutex mu_;
    std::string bar_;
};

// The width in columns of the terminal on `fd` (80 when it does not say).
int Columns(int fd = 1);

// Where `fd` (standard output by default) is a terminal, breaks each line of `text` at spaces so
// that none is wider than the terminal; a line goes on under the column where its text starts
// (after a run of two spaces, as in a labelled line), or under `indent` when given. Elsewhere
// `text` as it is: piped, a record is one line, whatever its length.
std::string FitToTerminal(const std::string& text, size_t indent = std::string::npos, int fd = 1);

// The one console of the process.
Console& Out();

}  // namespace tws

#endif  // TIMEWARD_SIM_CONSOLE_H
