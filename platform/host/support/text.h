// Text for host code: UTF-8 and UTF-16 conversion, and names matched without regard to case.
#ifndef TIMEWARD_SUPPORT_TEXT_H
#define TIMEWARD_SUPPORT_TEXT_H

#include <cstring>
#include <string>
#include <string_view>

namespace support {

// Invalid sequences become U+FFFD.
std::u16string Utf16(std::string_view utf8);
std::string Utf8(std::u16string_view utf16);

// Equal but for the case of ASCII letters, as the registry and the Device Manager match names.
bool IEquals(std::string_view a, std::string_view b);
bool IEquals(std::u16string_view a, std::u16string_view b);

// Equal code unit for code unit, compared as bytes (a char16_t compare goes one unit at a time).
inline bool SameUnits(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * 2) == 0;
}

}  // namespace support

#endif  // TIMEWARD_SUPPORT_TEXT_H
