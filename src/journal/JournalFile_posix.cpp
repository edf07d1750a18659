#include "JournalFile.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Journal {
namespace {

std::string systemReason(int error) {
    return std::strerror(error);
}

int descriptor(std::intptr_t handle) {
    return static_cast<int>(handle);
}

// Holds a flock() lock of the whole file while it exists.
class FileLock {
public:
    FileLock(int fd, int operation) : fd_(fd) {
        while ((result_ = ::flock(fd_, operation)) != 0 && errno == EINTR) {
        }
        error_ = result_ == 0 ? 0 : errno;
    }
    ~FileLock() {
        if (result_ == 0)
            ::flock(fd_, LOCK_UN);
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    // 0 when the lock is held, else errno.
    int error() const { return error_; }

private:
    int fd_;
    int result_ = -1;
    int error_ = 0;
};

// The file's size and whether it ends a line (an empty file does); false
// with errno set when the system refuses.
bool readTail(int fd, off_t& size, bool& endsLine) {
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        return false;
    size = status.st_size;
    endsLine = true;
    if (size == 0)
        return true;
    char last = 0;
    ssize_t got = 0;
    while ((got = ::pread(fd, &last, 1, size - 1)) < 0 && errno == EINTR) {
    }
    if (got != 1) {
        if (got == 0)
            errno = EIO;
        return false;
    }
    endsLine = last == '\n';
    return true;
}

// Writes all of `data`; false with errno set when the system refuses.
bool writeAll(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t written = ::write(fd, data.data() + done, data.size() - done);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<std::size_t>(written);
    }
    return true;
}

// Puts a new folder entry on the disk: the file's, after it was created.
void syncFolder(const std::filesystem::path& file) {
    const std::filesystem::path folder =
        file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd); // best effort: the line itself is synced
        ::close(fd);
    }
}

// Whether `path` still names the open file: false once it was moved away or
// deleted (by hand, by a log rotation) and another file, or none, stands there.
bool namesOpenFile(int fd, const std::filesystem::path& path) {
    struct stat open {
    }, named{};
    if (::fstat(fd, &open) != 0)
        return false;
    if (::stat(path.c_str(), &named) != 0)
        return false;
    return open.st_dev == named.st_dev && open.st_ino == named.st_ino;
}

// A file that keeps being replaced faster than a line is written.
constexpr int maximumReopens = 8;

} // namespace

void JournalFile::open() {
    int fd = ::open(path_.c_str(), O_RDWR | O_APPEND | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT) {
        fd = ::open(path_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        created_ = fd >= 0;
    }
    if (fd < 0)
        fail("open", systemReason(errno));
    handle_ = fd;
}

JournalFile::~JournalFile() {
    if (handle_ >= 0)
        ::close(descriptor(handle_));
}

void JournalFile::appendLine(std::string_view line, const LineMaker* maker) {
    // The path is what every program locks and every reader reads: a file moved
    // away or deleted since it was opened is left, and the path opened again.
    for (int reopens = 0;; ++reopens) {
        if (handle_ < 0)
            open();
        const int fd = descriptor(handle_);
        {
            const FileLock lock(fd, LOCK_EX);
            if (lock.error() != 0)
                fail("lock", systemReason(lock.error()));
            if (namesOpenFile(fd, path_) || reopens == maximumReopens) {
                appendLocked(line, maker);
                return;
            }
        }
        ::close(fd);
        handle_ = -1;
    }
}

void JournalFile::appendLocked(std::string_view line, const LineMaker* maker) {
    const int fd = descriptor(handle_);
    off_t size = 0;
    bool endsLine = true;
    if (!readTail(fd, size, endsLine))
        fail("read", systemReason(errno));
    const std::string made = maker ? (*maker)(tailLocked(static_cast<std::uint64_t>(size))) : "";
    const std::string data = lineToAppend(maker ? std::string_view(made) : line, endsLine);
    if (!writeAll(fd, data) || ::fdatasync(fd) != 0) {
        const int error = errno;
        // Take back a part-written line, so that no torn line is left behind.
        if (::ftruncate(fd, size) == 0)
            ::fdatasync(fd);
        fail("write", systemReason(error));
    }
    if (created_) {
        syncFolder(path_);
        created_ = false;
    }
}

std::string JournalFile::readAt(std::uint64_t offset, std::size_t length) const {
    std::string text(length, '\0');
    std::size_t done = 0;
    while (done < length) {
        const ssize_t got = ::pread(descriptor(handle_), text.data() + done, length - done,
                                    static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            fail("read", systemReason(errno));
        if (got == 0)
            break;
        done += static_cast<std::size_t>(got);
    }
    text.resize(done);
    return text;
}

std::string JournalFile::read(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT)
            return {};
        throw JournalError(journalErrorText(path, "open", systemReason(errno)));
    }
    std::string text;
    int error = 0;
    {
        const FileLock lock(fd, LOCK_SH);
        error = lock.error();
        char buffer[65536];
        while (error == 0) {
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                error = errno;
            if (got <= 0)
                break;
            text.append(buffer, static_cast<std::size_t>(got));
        }
    }
    ::close(fd);
    if (error != 0)
        throw JournalError(journalErrorText(path, "read", systemReason(error)));
    return text;
}

} // namespace Journal
