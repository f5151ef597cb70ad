// Registry value data as Windows keeps it: a DWORD in four bytes, little-endian; text as UTF-16
// code units, little-endian, each string ended by a NUL.
#ifndef TIMEWARD_SUPPORT_REG_DATA_H
#define TIMEWARD_SUPPORT_REG_DATA_H

#include <timeward_backend.h>

#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace support {

std::vector<BYTE> DwordData(DWORD value);
// The DWORD in the first four bytes of `data`; shorter data zero-extended, as the driver reads it.
DWORD DwordOf(std::span<const BYTE> data);

// Appends `text` and its NUL. A list of strings (REG_MULTI_SZ) ends with an empty one.
void AppendString(std::vector<BYTE>* data, std::u16string_view text);
std::vector<BYTE> StringData(std::u16string_view text);
// The code units of `data`, NULs included; an odd last byte is left out.
std::u16string CodeUnits(std::span<const BYTE> data);

}  // namespace support

#endif  // TIMEWARD_SUPPORT_REG_DATA_H
