#pragma once

#include <cstdint>
#include <filesystem>
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

    const std::filesystem::path& path() const { return path_; }

    // The whole file, read under a shared lock so that no line being appended
    // is seen in part; empty when the file does not exist. Throws JournalError.
    static std::string read(const std::filesystem::path& path);

    // The journal's files, oldest first: those a rotation left (FILE.N down to
    // FILE.1, as far as they go on without a gap) and then FILE itself.
    static std::vector<std::filesystem::path> withRotated(const std::filesystem::path& path);

private:
    void open();                              // this system's half of the constructor
    void appendLine(std::string_view line);   // and of append(), under appendMutex_
    void appendLocked(std::string_view line); // with the file's lock held
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
