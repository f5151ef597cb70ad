// Files written whole or not at all, and read whole: the hive's storage and the library's users'.
#include "files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "coredll_sim.h"

namespace coredll::detail {

bool WriteAtomically(const std::filesystem::path& file, std::string_view text, Tear tear) {
    std::filesystem::path tmp = file;
    tmp += ".tmp";
    int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    size_t done = 0;
    const size_t size = tear == Tear::kHalfTheData ? text.size() / 2 : text.size();
    while (done < size) {
        ssize_t n = ::write(fd, text.data() + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ::close(fd);
            ::unlink(tmp.c_str());
            return false;
        }
        done += static_cast<size_t>(n);
    }
    bool ok = ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (tear != Tear::kNone)
        return false;
    if (!ok || ::rename(tmp.c_str(), file.c_str()) != 0) {
        ::unlink(tmp.c_str());
        return false;
    }
    std::filesystem::path dir = file.parent_path();
    int dfd = ::open(dir.empty() ? "." : dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dfd >= 0) {
        ::fsync(dfd);
        ::close(dfd);
    }
    return true;
}

}  // namespace coredll::detail

namespace coredll {

bool ReadWholeFile(const std::filesystem::path& file, std::string* text, std::string* error) {
    std::ifstream in(file, std::ios::binary);
    if (!in) {
        if (error)
            *error = file.string() + ": cannot read: " + std::strerror(errno);
        return false;
    }
    std::ostringstream s;
    s << in.rdbuf();
    *text = s.str();
    return true;
}

bool WriteFileAtomically(const std::filesystem::path& file, std::string_view text,
                         std::string* error) {
    if (detail::WriteAtomically(file, text))
        return true;
    if (error)
        *error = file.string() + ": cannot write: " + std::strerror(errno);
    return false;
}

}  // namespace coredll
