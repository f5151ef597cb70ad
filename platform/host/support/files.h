// Files written whole or not at all, and read whole: the hive's storage and the simulator's.
#ifndef TIMEWARD_SUPPORT_FILES_H
#define TIMEWARD_SUPPORT_FILES_H

#include <filesystem>
#include <string>
#include <string_view>

namespace support {

// Where a torn write stops, as a power failure would stop it.
enum class Tear { kNone, kHalfTheData, kBeforeTheRename };

// A temporary file, fsync, rename, fsync of the directory. False when the file is as it was.
bool WriteAtomically(const std::filesystem::path& file, std::string_view text,
                     Tear tear = Tear::kNone);

// The same; on failure `error` names the file and says why.
bool WriteFileAtomically(const std::filesystem::path& file, std::string_view text,
                         std::string* error);
// Reads a whole file; on failure `error` names the file and says why.
bool ReadWholeFile(const std::filesystem::path& file, std::string* text, std::string* error);

}  // namespace support

#endif  // TIMEWARD_SUPPORT_FILES_H
