// The C entry point of timewardctl on the host: passes the arguments to its wmain as UTF-16, as
// Windows does.
#include <string>
#include <vector>

#include "coredll_sim.h"
#include "support/text.h"

extern "C" int wmain(int argc, WCHAR* argv[]);

int main(int argc, char** argv) {
    std::vector<std::u16string> args;
    for (int i = 0; i < argc; ++i)
        args.push_back(support::Utf16(argv[i]));
    std::vector<WCHAR*> pointers;
    for (std::u16string& a : args)
        pointers.push_back(a.data());
    pointers.push_back(nullptr);
    const int rc = wmain(argc, pointers.data());
    // Here the program sees a simulated registry of its own, empty: its help says where a
    // simulated device with the driver is.
    if (argc == 2 && (args[1] == u"-h" || args[1] == u"--help" || args[1] == u"/?")) {
        ConsoleWriteW(FALSE,
                      u"\non this machine: an empty simulated registry, so no key and no "
                      u"driver; to run\nthe same code on a simulated device: timeward-sim "
                      u"[--device DIR] ctl ARGS\n");
    }
    return rc;
}
