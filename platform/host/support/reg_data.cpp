// Registry value data to and from DWORDs and text.
#include "reg_data.h"

#include <climits>

namespace support {

std::vector<BYTE> DwordData(DWORD value) {
    std::vector<BYTE> data;
    for (size_t b = 0; b < sizeof value; ++b)
        data.push_back(static_cast<BYTE>(value >> (CHAR_BIT * b)));
    return data;
}

DWORD DwordOf(std::span<const BYTE> data) {
    DWORD value = 0;
    for (size_t b = 0; b < data.size() && b < sizeof value; ++b)
        value |= static_cast<DWORD>(data[b]) << (CHAR_BIT * b);
    return value;
}

void AppendString(std::vector<BYTE>* data, std::u16string_view text) {
    for (char16_t c : text) {
        data->push_back(static_cast<BYTE>(c & 0xFF));
        data->push_back(static_cast<BYTE>(c >> CHAR_BIT));
    }
    data->push_back(0);
    data->push_back(0);
}

std::vector<BYTE> StringData(std::u16string_view text) {
    std::vector<BYTE> data;
    AppendString(&data, text);
    return data;
}

std::u16string CodeUnits(std::span<const BYTE> data) {
    std::u16string text;
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        text.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << CHAR_BIT)));
    return text;
}

}  // namespace support
