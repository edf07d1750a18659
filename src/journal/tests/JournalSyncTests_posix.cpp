// The journal file against the system's calls: a line is on the disk before
// append() returns, a write or sync that fails leaves no part of the line
// behind, and a reader never sees half a line while others append.
//
// This test program defines fdatasync itself: the journal's calls land here
// (the program's own definition comes before the C library's), are counted,
// and can be made to fail; otherwise they go on to the C library.

#include "JournalFile.h"
#include "TemporaryFolder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <dlfcn.h>
#include <fstream>
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

} // namespace

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

TEST(JournalSync, AReaderNeverSeesHalfALineWhileOthersAppend) {
    const TemporaryFolder folder;
    const auto path = folder / "journal.jsonl";
    constexpr int writers = 2;
    constexpr int linesEach = 40;
    constexpr std::size_t lineLength = 256 * 1024; // many pages: a copy takes a while
    std::atomic<int> running{writers};
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w)
        threads.emplace_back([&, w] {
            JournalFile journal(path); // a handle of its own, as another program has
            const std::string line(lineLength, static_cast<char>('a' + w));
            for (int i = 0; i < linesEach; ++i)
                journal.append(line);
            --running;
        });
    int reads = 0;
    std::string problem;
    while ((running > 0 || reads == 0) && problem.empty()) {
        const std::string text = JournalFile::read(path);
        ++reads;
        std::size_t start = 0;
        while (start < text.size() && problem.empty()) {
            const auto end = text.find('\n', start);
            if (end == std::string::npos) {
                problem = "a line without its end at byte " + std::to_string(start);
                break;
            }
            if (end - start != lineLength || text.find_first_not_of(text[start], start) != end)
                problem = "a mixed or short line at byte " + std::to_string(start);
            start = end + 1;
        }
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(problem, "") << "after " << reads << " reads";
    EXPECT_EQ(fileText(path).size(), writers * linesEach * (lineLength + 1));
}

} // namespace
