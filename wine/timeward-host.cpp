// timeward-host: does to Timeward.dll what the Device Manager and the Power Manager do, on
// desktop Windows or under Wine, and checks the results. One case a run:
//   timeward-host CASE        (see Cases() in cases.cpp; exit status 0 when the case held)
//   timeward-host latency     (the latency benchmark: prints its figures)
//   timeward-host ROLE        (another process for a case: set-event, hold-event, wait-event)
//
// The driver's debug lines are caught by a vectored exception handler for the debug-print
// exceptions. The clock is a test clock: after loading, the module's imports of GetSystemTime
// and SetSystemTime are pointed at it in its import address table, so the machine's clock is
// never touched and the DLL on disk stays as integrators get it.
#include "harness.h"

using namespace harness;

int harness::g_failures = 0;

int main(int argc, char** argv) {
    if (argc == 2) {
        const int child = PlayChild(argv[1]);
        if (child != kNotAChild)
            return child;
    }
    std::map<std::string, Case> cases = Cases();
    cases.emplace("latency", Latency);
    if (argc != 2 || !cases.count(argv[1])) {
        std::fprintf(stderr, "usage: timeward-host CASE\ncases:");
        for (const auto& [name, fn] : cases)
            std::fprintf(stderr, " %s", name.c_str());
        std::fprintf(stderr, "\n");
        return 2;
    }
    CatchDebugLines();
    StartTestClock();
    SetClock(Date(2026, 12, 8, 9, 0, 0));
    ResetKey();

    Module m;
    if (!m.Load()) {
        std::fprintf(stderr, "cannot load Timeward.dll and patch its clock imports (error %lu)\n",
                     GetLastError());
        return 1;
    }
    cases.at(argv[1])(m);
    if (m.h)
        m.Unload();
    ResetKey();
    std::printf("%s: %s\n", argv[1], g_failures ? "FAILED" : "passed");
    return g_failures ? 1 : 0;
}
