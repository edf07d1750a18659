#include "TokenFile.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Vornctl::Serve::TokenFileSystem {
namespace {

std::runtime_error systemError(const std::string& what) {
    return std::runtime_error(what + ": " + std::strerror(errno));
}

} // namespace

bool createPrivate(const std::string& path, const std::string& content) {
    static std::atomic<unsigned> made{0};
    const std::string temporary =
        path + ".new-" + std::to_string(getpid()) + "-" + std::to_string(made++);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        throw systemError("cannot create " + temporary);
    // The mode is the file's whatever the umask is.
    bool written =
        ::fchmod(fd, 0600) == 0 &&
        ::write(fd, content.data(), content.size()) == static_cast<ssize_t>(content.size()) &&
        ::fsync(fd) == 0;
    const int writeError = errno;
    written = ::close(fd) == 0 && written;
    if (!written) {
        ::unlink(temporary.c_str());
        errno = writeError;
        throw systemError("cannot write " + temporary);
    }
    // link() never replaces: a token file that appeared meanwhile is kept.
    const bool linked = ::link(temporary.c_str(), path.c_str()) == 0;
    const int linkError = errno;
    ::unlink(temporary.c_str());
    if (!linked && linkError != EEXIST) {
        errno = linkError;
        throw systemError("cannot create " + path);
    }
    return linked;
}

std::string readableByOthers(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0)
        return {}; // reading it says why
    const unsigned mode = status.st_mode & 07777u;
    if ((mode & 0077u) == 0)
        return {};
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode);
    return std::string("mode ") + text;
}

} // namespace Vornctl::Serve::TokenFileSystem
