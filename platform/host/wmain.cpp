// The C entry point of a console program on the host: passes the arguments to the program's
// wmain as UTF-16, as Windows does.
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
    return wmain(argc, pointers.data());
}
