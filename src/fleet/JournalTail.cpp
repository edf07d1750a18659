#include "JournalTail.h"

#include "JournalFile.h"
#include "JournalPayload.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace Fleet {
namespace {

// The bytes of `fd` from `offset` on, read under a shared lock, so that no
// line being appended (or taken back) is seen in part.
std::string readFrom(int fd, std::uint64_t offset) {
    while (::flock(fd, LOCK_SH) != 0)
        if (errno != EINTR)
            throw Journal::JournalError(std::string("cannot lock the journal: ") +
                                        std::strerror(errno));
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t got =
            ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(offset + text.size()));
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        text.append(buffer, static_cast<std::size_t>(got));
    }
    ::flock(fd, LOCK_UN);
    return text;
}

// The part of `text` up to and with its last line break.
std::string_view wholeLines(std::string_view text) {
    const auto end = text.rfind('\n');
    return end == std::string_view::npos ? std::string_view() : text.substr(0, end + 1);
}

// Closes a file descriptor when it goes.
struct Descriptor {
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() {
        if (fd >= 0)
            ::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    const int fd;
};

} // namespace

JournalTail::JournalTail(std::filesystem::path journal) : journal_(std::move(journal)) {}

void JournalTail::take(std::string_view text, std::uint64_t after,
                       std::vector<OutgoingRecord>& out) const {
    while (!text.empty()) {
        const auto end = text.find('\n');
        const std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        auto decoded = decodeJournalPayload(line);
        if (auto* message = std::get_if<JournalMessage>(&decoded))
            if (message->sequence > after)
                out.push_back({message->sequence, std::move(message->line)});
    }
}

std::vector<OutgoingRecord> JournalTail::read(std::uint64_t after) {
    std::vector<OutgoingRecord> out;
    const Descriptor file(::open(journal_.c_str(), O_RDONLY | O_CLOEXEC));
    const int fd = file.fd;
    if (fd < 0) {
        if (errno != ENOENT)
            throw Journal::JournalError(
                Journal::journalErrorText(journal_, "open", std::strerror(errno)));
        started_ = false; // a new file starts anew
        return out;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0)
        throw Journal::JournalError(
            Journal::journalErrorText(journal_, "read", std::strerror(errno)));
    const bool same = started_ && status.st_dev == device_ && status.st_ino == inode_ &&
                      static_cast<std::uint64_t>(status.st_size) >= offset_;
    if (!same) {
        // From the start, the rotated files first.
        const auto files = Journal::JournalFile::withRotated(journal_);
        for (std::size_t i = 0; i + 1 < files.size(); ++i)
            take(wholeLines(Journal::JournalFile::read(files[i])), after, out);
        offset_ = 0;
        device_ = status.st_dev;
        inode_ = status.st_ino;
        started_ = true;
    }
    if (!same || static_cast<std::uint64_t>(status.st_size) > offset_) {
        const std::string text = readFrom(fd, offset_);
        const std::string_view lines = wholeLines(text);
        take(lines, after, out);
        offset_ += lines.size();
    }
    return out;
}

} // namespace Fleet
