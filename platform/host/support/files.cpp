// Files written whole or not at all, and read whole: the hive's storage and the library's users'.
#include "files.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace support {

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

bool ReadWholeFile(const std::filesystem::path& file, std::string* text, std::string* error) {
    // read(2) itself, so that a directory or a failed read is an error, not an empty file.
    const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    std::string whole;
    bool ok = fd >= 0;
    char buf[4096];
    while (ok) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0)
            whole.append(buf, static_cast<size_t>(n));
        else if (n == 0)
            break;
        else if (errno != EINTR)
            ok = false;
    }
    const int why = errno;
    if (fd >= 0)
        ::close(fd);
    if (!ok) {
        if (error)
            *error = file.string() + ": cannot read: " + std::strerror(why);
        return false;
    }
    *text = std::move(whole);
    return true;
}

bool WriteFileAtomically(const std::filesystem::path& file, std::string_view text,
                         std::string* error) {
    if (WriteAtomically(file, text))
        return true;
    if (error)
        *error = file.string() + ": cannot write: " + std::strerror(errno);
    return false;
}

}  // namespace support
