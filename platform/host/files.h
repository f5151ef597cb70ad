// Files written whole or not at all, and read whole: the hive's storage.
#ifndef TIMEWARD_HOST_FILES_H
#define TIMEWARD_HOST_FILES_H

#include <filesystem>
#include <string_view>

#include "coredll_sim.h"

namespace coredll::detail {

using reg::Tear;

// A temporary file, fsync, rename, fsync of the directory. False when the file is as it was.
bool WriteAtomically(const std::filesystem::path& file, std::string_view text,
                     Tear tear = Tear::kNone);

}  // namespace coredll::detail

#endif  // TIMEWARD_HOST_FILES_H
