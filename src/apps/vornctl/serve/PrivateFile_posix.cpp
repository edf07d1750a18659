#include "PrivateFile.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Vornctl::Serve {
namespace {

[[noreturn]] void fail(const std::string& what, const std::filesystem::path& path, int error) {
    throw std::runtime_error("cannot " + what + " " + path.string() + ": " + std::strerror(error));
}

} // namespace

void PrivateFilePlatform::makeOwnerOnlyFolder(const std::filesystem::path& folder) {
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST)
        fail("create the folder", folder, errno);
}

namespace {

// `contents` in a new file beside `file`, readable by its owner alone, synced;
// its name is this write's own, so that writers of one file never meet.
std::filesystem::path writeTemporary(const std::filesystem::path& file,
                                     const std::string& contents) {
    static std::atomic<unsigned> made{0};
    const std::filesystem::path temporary =
        file.string() + ".new-" + std::to_string(::getpid()) + "-" + std::to_string(made++);
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        fail("create", temporary, errno);
    // Root writing into another user's folder (`sudo vornctl access add` in the state
    // directory of the service, which runs as a user of its own): the file becomes the
    // folder owner's, so that the service can still read it.
    struct stat folder {};
    const std::filesystem::path parent = file.has_parent_path() ? file.parent_path() : ".";
    if (::geteuid() == 0 && ::stat(parent.c_str(), &folder) == 0 && folder.st_uid != 0 &&
        ::fchown(fd, folder.st_uid, folder.st_gid) != 0) {
        const int error = errno;
        ::close(fd);
        ::unlink(temporary.c_str());
        fail("hand over", temporary, error);
    }
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
    return temporary;
}

} // namespace

void writePrivateFile(const std::filesystem::path& file, const std::string& contents) {
    const std::filesystem::path temporary = writeTemporary(file, contents);
    if (::rename(temporary.c_str(), file.c_str()) != 0) {
        const int error = errno;
        ::unlink(temporary.c_str());
        fail("replace", file, error);
    }
}

bool createPrivateFile(const std::filesystem::path& file, const std::string& contents) {
    const std::filesystem::path temporary = writeTemporary(file, contents);
    // link() never replaces: a file that appeared meanwhile is kept.
    const bool linked = ::link(temporary.c_str(), file.c_str()) == 0;
    const int error = errno;
    ::unlink(temporary.c_str());
    if (!linked && error != EEXIST)
        fail("create", file, error);
    return linked;
}

std::string readableByOthers(const std::filesystem::path& file) {
    struct stat status {};
    if (::stat(file.c_str(), &status) != 0)
        return {}; // reading it says why
    const unsigned mode = status.st_mode & 07777u;
    if ((mode & 0077u) == 0)
        return {};
    char text[8];
    std::snprintf(text, sizeof text, "%04o", mode);
    return std::string("mode ") + text;
}

} // namespace Vornctl::Serve
