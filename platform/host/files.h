// Files written whole or not at all, and read whole: the hive's storage.
#ifndef TIMEWARD_HOST_FILES_H
#define TIMEWARD_HOST_FILES_H

#include <filesystem>
#include <string_view>

namespace coredll::detail {

// Where a torn write stops, as a power failure would stop it.
enum class Tear { kNone, kHalfTheData, kBeforeTheRename };

// A temporary file, fsync, rename, fsync of the directory. False when the file is as it was.
bool WriteAtomically(const std::filesystem::path& file, std::string_view text,
                     Tear tear = Tear::kNone);

}  // namespace coredll::detail

#endif  // TIMEWARD_HOST_FILES_H
