#include "PrivateFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace Vornctl::Serve {
namespace {

[[noreturn]] void fail(const std::string& what, const std::filesystem::path& path, int error) {
    throw std::runtime_error("cannot " + what + " " + path.string() + ": " + std::strerror(error));
}

} // namespace

void makePrivateFolder(const std::filesystem::path& folder) {
    if (std::filesystem::is_directory(folder))
        return;
    if (folder.has_parent_path() && folder.parent_path() != folder) {
        std::error_code error;
        std::filesystem::create_directories(folder.parent_path(), error);
        if (error)
            fail("create the folder", folder.parent_path(), error.value());
    }
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        fail("create the folder", folder, errno);
}

void writePrivateFile(const std::filesystem::path& file, const std::string& contents) {
    const std::filesystem::path temporary = file.string() + ".new";
    ::unlink(temporary.c_str()); // a leftover of an interrupted write
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        fail("create", temporary, errno);
    std::size_t written = 0;
    while (written < contents.size()) {
        const ssize_t n = ::write(fd, contents.data() + written, contents.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = errno;
            ::close(fd);
            ::unlink(temporary.c_str());
            fail("write", temporary, error);
        }
        written += static_cast<std::size_t>(n);
    }
    // Closed whether or not the data reached the disk: no descriptor is left open.
    const int synced = ::fsync(fd) == 0 ? 0 : errno;
    const int closed = ::close(fd) == 0 ? 0 : errno;
    if (synced != 0 || closed != 0) {
        ::unlink(temporary.c_str());
        fail("write", temporary, synced != 0 ? synced : closed);
    }
    if (::rename(temporary.c_str(), file.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        fail("replace", file, error);
    }
}

} // namespace Vornctl::Serve
