#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace Journal {

// The journal cannot be opened, read or written. The message names the file
// and the system's reason.
class JournalError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The path as UTF-8 text, for messages.
std::string displayPath(const std::filesystem::path& path);

// A journal file open for appending whole lines. Several programs may append
// to one file at once: each line is written in one piece under an exclusive
// lock on the whole file (flock on Linux, LockFileEx on Windows) and is on
// the disk (fdatasync, FlushFileBuffers) before append() returns. A file
// whose last line was cut short (a power loss in the middle of a write) gets
// a line break first, so the new line stands on its own. A file moved away or
// deleted while it is open (a log rotation) is left for the one at the path:
// each append checks, under the lock, that the path still names the open file.
class JournalFile {
public:
    // Opens the file, creating it and its folders when missing. Throws
    // JournalError.
    explicit JournalFile(std::filesystem::path path);
    ~JournalFile();
    JournalFile(const JournalFile&) = delete;
    JournalFile& operator=(const JournalFile&) = delete;

    // Appends `line` and a line break; `line` holds no line break. Throws
    // JournalError; what was written of the line is then taken back where the
    // system allows it. Safe to call from several threads.
    void append(std::string_view line);

    // Appends the line `makeLine` makes from the journal's last lines, both
    // under the file's lock, so that a line can take its number from those
    // before it: `tail` holds the file's last whole lines (about the last
    // 64 KiB; those of FILE.1 when a rotation has just left FILE empty).
    // Throws JournalError, and what `makeLine` throws.
    using LineMaker = std::function<std::string(std::string_view tail)>;
    void appendAfter(const LineMaker& makeLine);

    const std::filesystem::path& path() const { return path_; }

    // The whole file, read under a shared lock so that no line being appended
    // is seen in part; empty when the file does not exist. Throws JournalError.
    static std::string read(const std::filesystem::path& path);

    // The journal's files, oldest first: those a rotation left (FILE.N down to
    // FILE.1, as far as they go on without a gap) and then FILE itself.
    static std::vector<std::filesystem::path> withRotated(const std::filesystem::path& path);

private:
    void open(); // this system's half of the constructor
    // And of append() and appendAfter(), under appendMutex_: `line`, or what
    // `maker` makes when there is one.
    void appendLine(std::string_view line, const LineMaker* maker);
    void appendLocked(std::string_view line, const LineMaker* maker); // with the file's lock held
    // The last whole lines of the first `size` bytes of the open file, or of
    // FILE.1 when these hold none; with the file's lock held.
    std::string tailLocked(std::uint64_t size) const;
    // Up to `length` bytes from `offset` of the open file. Throws JournalError.
    std::string readAt(std::uint64_t offset, std::size_t length) const;
    [[noreturn]] void fail(const char* what, const std::string& reason) const;

    std::filesystem::path path_;
    // The system's handle: a file descriptor on Linux, a HANDLE on Windows.
    std::intptr_t handle_ = -1;
    // The file was new: its folder entry is synced with the first line.
    bool created_ = false; // guarded by appendMutex_
    // The file's lock belongs to the handle, which all threads share: they
    // take turns here first.
    std::mutex appendMutex_;
};

// "cannot WHAT the journal FILE: REASON"
std::string journalErrorText(const std::filesystem::path& path, const char* what,
                             const std::string& reason);

// What append() writes: `line` and a line break, after a line break of its own
// when the file does not end one.
std::string lineToAppend(std::string_view line, bool fileEndsLine);

} // namespace Journal
