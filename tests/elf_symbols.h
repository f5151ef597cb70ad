// Reads a shared object's dynamic symbol table and its needed libraries.
#ifndef TIMEWARD_TESTS_ELF_SYMBOLS_H
#define TIMEWARD_TESTS_ELF_SYMBOLS_H

#include <set>
#include <string>

namespace timeward_test {

struct DynamicInfo {
    std::set<std::string> defined;  // global and weak symbols the object defines
    std::set<std::string> needed;   // DT_NEEDED entries
};

// False when the file is not a readable ELF object (32-bit or 64-bit, in the host's byte order).
bool ReadDynamicInfo(const std::string& path, DynamicInfo* info);

}  // namespace timeward_test

#endif  // TIMEWARD_TESTS_ELF_SYMBOLS_H
