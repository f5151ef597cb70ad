// timeward-sim's command line: its words read and checked, and the defaults it leaves.
#include "command_line.h"

#include <pwd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdlib>

#include "at_rest.h"
#include "console.h"
#include "scenario.h"

namespace program {
namespace {

// Simulated seconds per real second, as --scale allows.
constexpr double kLeastScale = 0.01;
constexpr double kGreatestScale = 1e7;

// CLI11's message, with the word it is about quoted and the reason said.
std::string Explain(const CLI::ParseError& e) {
    std::string what = e.what();
    if (dynamic_cast<const CLI::ExtrasError*>(&e)) {
        std::string word = what.substr(what.find(": ") + 2);
        return "'" + word + "': unknown option (see --help)";
    }
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) && what.find(" missing") != what.npos)
        return what.substr(0, what.find(':')) + ": expected a value after it (see --help)";
    return what + " (see --help)";
}

bool IsHelpWord(std::string_view word) {
    return word == "-h" || word == "--help" || word == "-?" || word == "/?";
}

// Sets a->help for a word that asks for help, wherever it stands, but among timewardctl's words
// (its own) and as the text of an expected line; returns the rest, to be read as it would be
// without it.
std::vector<char*> TakeHelpWords(int argc, char** argv, Args* a) {
    std::vector<char*> kept = {argv[0]};
    bool own = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        own &= word != "--" && word != "ctl";
        const bool line_text =
            i >= 3 && std::string_view(argv[i - 2]) == "expect" &&
            (std::string_view(argv[i - 1]) == "line" || std::string_view(argv[i - 1]) == "no-line");
        if (own && !line_text && IsHelpWord(word))
            a->help = true;
        else
            kept.push_back(argv[i]);
    }
    return kept;
}

// The number --scale gives, into a->options; returns -1 to go on, else the exit status.
int ReadScale(Args* a) {
    char* end = nullptr;
    const double scale = std::strtod(a->scale->c_str(), &end);
    if (*end || !(scale >= kLeastScale && scale <= kGreatestScale)) {
        return BadInput("--scale '" + *a->scale +
                        "': expected a number of simulated seconds per second, 0.01 to "
                        "10000000");
    }
    a->options.scale = scale;
    return -1;
}

}  // namespace

int BadInput(const std::string& message) {
    tws::Out().Fail(message);
    return tws::kBadInput;
}

std::optional<std::filesystem::path> DefaultDevice() {
    if (const char* dir = std::getenv("TIMEWARD_DEVICE"); dir && *dir)
        return dir;
    const std::filesystem::path tail = "timeward-sim/device";
    if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state == '/')
        return std::filesystem::path(state) / tail;
    const char* home = std::getenv("HOME");
    if (!home || !*home) {
        const passwd* pw = getpwuid(getuid());
        home = pw && pw->pw_dir && *pw->pw_dir == '/' ? pw->pw_dir : nullptr;
    }
    if (!home)
        return std::nullopt;
    return std::filesystem::path(home) / ".local/state" / tail;
}

std::filesystem::path DefaultModuleDir() {
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec) {
        const std::filesystem::path installed = exe.parent_path() / TIMEWARD_INSTALLED_MODULE_DIR;
        if (std::filesystem::exists(installed / "libTimeward.so", ec))
            return installed.lexically_normal();
    }
    return TIMEWARD_MODULE_DIR;
}

int ReadCommandLine(int argc, char** argv, Args* a) {
    for (int i = 1; i < argc; ++i) {
        if (const std::string problem = tws::Utf8Problem(argv[i]); !problem.empty())
            return BadInput("argument " + std::to_string(i) + ": " + problem);
    }
    std::vector<char*> kept = TakeHelpWords(argc, argv, a);
    CLI::App app{"timeward-sim"};
    const auto last = CLI::MultiOptionPolicy::TakeLast;  // as a later word overrides
    app.set_help_flag();
    app.add_flag("--version", a->version);
    app.add_option("--device", a->device)->multi_option_policy(last);
    app.add_flag("--fresh", a->fresh);
    app.add_flag("--keep", a->keep);
    app.add_flag("--json", a->json);
    app.add_option("--date", a->date)->multi_option_policy(last);
    app.add_option("--scale", a->scale)->multi_option_policy(last);
    app.add_flag_callback("--realtime", [a] { a->options.scale = 1; });
    app.add_flag("--instant", a->options.instant);
    app.add_option("--modules", a->options.module_dir)->multi_option_policy(last);
    CLI::App* ctl = app.add_subcommand("ctl")->prefix_command();
    app.add_option("words", a->words);
    try {
        app.parse(static_cast<int>(kept.size()), kept.data());
    } catch (const CLI::ParseError& e) {
        if (a->help) {  // what the words mean beyond the help does not matter
            a->words.clear();
            return -1;
        }
        return BadInput(Explain(e));
    }
    // ctl after steps is a step; first, the command.
    if (ctl->parsed() && !a->words.empty()) {
        a->words.push_back("ctl");
        for (const std::string& w : ctl->remaining())
            a->words.push_back(w);
    } else if (ctl->parsed()) {
        a->ctl = ctl->remaining();
    }
    if (a->options.instant && (app.count("--realtime") || a->scale)) {
        return BadInput(std::string(app.count("--realtime") ? "--realtime" : "--scale") +
                        ": cannot go with --instant, which does not wait at all; choose one");
    }
    if (app.count("--realtime") && a->scale)
        return BadInput("--scale: cannot go with --realtime, which is --scale 1; choose one");
    if (app.count("--device") && a->device.empty())
        return BadInput("--device: expected a directory, not an empty word");
    return a->scale ? ReadScale(a) : -1;
}

int ReadCtlWords(const std::vector<std::string>& words) {
    static const char* const kOwnOptions[] = {"--device",   "--fresh",   "--date",    "--scale",
                                              "--realtime", "--instant", "--modules", "--keep"};
    for (const std::string& w : words) {
        const std::string name = w.substr(0, w.find('='));
        for (const char* own : kOwnOptions) {
            if (name == own)
                return BadInput("'" + w + "': an option of timeward-sim, not of timewardctl; put " +
                                "it before ctl: timeward-sim " + name + " ... ctl ...");
        }
    }
    std::fflush(stdout);
    return tws::CtlWordsEnd(words).value_or(-1);
}

}  // namespace program
