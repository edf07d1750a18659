// The journal file against the system's calls: a line is on the disk before
// append() returns, a write or sync that fails leaves no part of the line
// behind, and a reader never sees half a line while others append.
//
// This test program defines fdatasync and write itself: the journal's calls
// land here (the program's own definitions come before the C library's), are
// counted, can be made to fail, or (a write) to stop halfway for a while;
// otherwise they go on to the C library.

#include "JournalFile.h"
#include "TemporaryFolder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <dlfcn.h>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

namespace {

std::atomic<int> syncCalls{0};
std::atomic<off_t> lastSyncedSize{-1};
std::atomic<int> syncFailures{0}; // the next this many calls fail with EIO

int realFdatasync(int fd) {
    using Function = int (*)(int);
    static const auto real = reinterpret_cast<Function>(dlsym(RTLD_NEXT, "fdatasync"));
    return real(fd);
}

// The next write() after `armed` is set writes half its bytes, reports that,
// and waits for `readerDone` (500 ms at most) before it returns.
struct SplitWrite {
    std::atomic<bool> armed{false};
    std::mutex mutex;
    std::condition_variable changed;
    bool halfWritten = false; // guarded by mutex
    bool readerDone = false;  // guarded by mutex
} split;

ssize_t realWrite(int fd, const void* data, std::size_t size) {
    using Function = ssize_t (*)(int, const void*, std::size_t);
    static const auto real = reinterpret_cast<Function>(dlsym(RTLD_NEXT, "write"));
    return real(fd, data, size);
}

} // namespace

extern "C" ssize_t write(int fd, const void* data, std::size_t size) {
    if (size < 2 || fd <= 2 || !split.armed.exchange(false))
        return realWrite(fd, data, size);
    const ssize_t written = realWrite(fd, data, size / 2);
    std::unique_lock lock(split.mutex);
    split.halfWritten = true;
    split.changed.notify_all();
    split.changed.wait_for(lock, std::chrono::milliseconds(500), [] { return split.readerDone; });
    return written; // a short write: the caller writes the rest
}

extern "C" int fdatasync(int fd) {
    ++syncCalls;
    struct stat status {};
    if (::fstat(fd, &status) == 0)
        lastSyncedSize = status.st_size;
    int failing = syncFailures.load();
    while (failing > 0 && !syncFailures.compare_exchange_weak(failing, failing - 1)) {
    }
    if (failing > 0) {
        errno = EIO;
        return -1;
    }
    return realFdatasync(fd);
}

namespace {

using Journal::JournalError;
using Journal::JournalFile;
using TestSupport::TemporaryFolder;

std::string fileText(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(JournalSync, AppendReturnsOnlyAfterItsLineIsSynced) {
    const TemporaryFolder folder;
    const auto path = folder / "journal.jsonl";
    JournalFile journal(path);
    journal.append("first");
    for (const std::string line : {"second", "third"}) {
        const int before = syncCalls.load();
        journal.append(line);
        EXPECT_GE(syncCalls.load(), before + 1) << "no sync for " << line;
        // The sync came after the whole line was written.
        EXPECT_EQ(lastSyncedSize.load(), static_cast<off_t>(fileText(path).size()));
    }
    EXPECT_EQ(fileText(path), "first\nsecond\nthird\n");
}

TEST(JournalSync, ALineWhoseSyncFailsIsTakenBack) {
    const TemporaryFolder folder;
    const auto path = folder / "journal.jsonl";
    JournalFile journal(path);
    journal.append("kept");
    syncFailures = 1;
    try {
        journal.append("lost with the disk");
        ADD_FAILURE() << "append returned although its line is not on the disk";
    } catch (const JournalError& error) {
        EXPECT_NE(std::string(error.what()).find("cannot write the journal"), std::string::npos)
            << error.what();
    }
    syncFailures = 0;
    EXPECT_EQ(fileText(path), "kept\n");
    journal.append("next");
    EXPECT_EQ(fileText(path), "kept\nnext\n");
}

// The file may grow to `limit` bytes only, as on a full disk; SIGXFSZ is
// ignored meanwhile, so that a write past the limit fails with EFBIG.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t limit) {
        ::getrlimit(RLIMIT_FSIZE, &saved_);
        previous_ = std::signal(SIGXFSZ, SIG_IGN);
        const rlimit lowered{limit, saved_.rlim_max};
        active_ = ::setrlimit(RLIMIT_FSIZE, &lowered) == 0;
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &saved_);
        std::signal(SIGXFSZ, previous_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;
    bool active() const { return active_; }

private:
    rlimit saved_{};
    void (*previous_)(int) = SIG_DFL;
    bool active_ = false;
};

TEST(JournalSync, ALinePartWrittenWhenTheDiskFillsIsTakenBack) {
    const TemporaryFolder folder;
    const auto path = folder / "journal.jsonl";
    JournalFile journal(path);
    journal.append("kept");
    {
        // Room for five more bytes: the next line is written in part.
        const FileSizeLimit limit(fileText(path).size() + 5);
        ASSERT_TRUE(limit.active());
        EXPECT_THROW(journal.append("a line longer than the room left"), JournalError);
    }
    EXPECT_EQ(fileText(path), "kept\n");
    journal.append("after");
    EXPECT_EQ(fileText(path), "kept\nafter\n");
}

TEST(JournalSync, AReaderNeverSeesHalfALineBeingAppended) {
    const TemporaryFolder folder;
    const auto path = folder / "journal.jsonl";
    JournalFile journal(path);
    journal.append("before");

    // The next write stops halfway until the reader has read, or 500 ms have
    // passed: with the lock the reader waits for the whole line meanwhile.
    std::string seen;
    std::thread reader([&] {
        std::unique_lock lock(split.mutex);
        split.changed.wait(lock, [] { return split.halfWritten; });
        lock.unlock();
        seen = JournalFile::read(path);
        lock.lock();
        split.readerDone = true;
        split.changed.notify_all();
    });
    split.armed = true;
    journal.append("a line written in two halves");
    reader.join();
    EXPECT_EQ(seen, "before\na line written in two halves\n");
    EXPECT_EQ(fileText(path), "before\na line written in two halves\n");
}

} // namespace
