// The journal file: whole lines on the disk, a torn last line, a journal that
// cannot be written, and six programs appending at once.

#include "JournalEntries.h"
#include "JournalFile.h"
#include "SerialJournal.h"
#include "TemporaryFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace {

using namespace Journal;
using TestSupport::TemporaryFolder;

std::string fileText(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

void writeFile(const std::filesystem::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

TEST(JournalFile, AppendsWholeLinesAndCreatesItsFolders) {
    const TemporaryFolder folder;
    const auto path = folder / "state/vornctl/journal.jsonl";
    {
        JournalFile journal(path);
        EXPECT_TRUE(std::filesystem::exists(path));
        journal.append("one");
        journal.append(R"({"two":2})");
    }
    JournalFile again(path);
    again.append("three");
    EXPECT_EQ(fileText(path), "one\n{\"two\":2}\nthree\n");
    EXPECT_EQ(JournalFile::read(path), "one\n{\"two\":2}\nthree\n");
}

TEST(JournalFile, TornLastLineIsFollowedOnALineOfItsOwn) {
    const TemporaryFolder folder;
    const auto path = folder / "journal.jsonl";
    SerialIntent intent;
    intent.entry = "a";
    const std::string whole = formatRecord(intent);
    writeFile(path, whole + "\n" + whole.substr(0, 30)); // power lost in the second line
    JournalFile journal(path);
    intent.entry = "b";
    journal.append(formatRecord(intent));
    const std::string text = JournalFile::read(path);
    EXPECT_EQ(text, whole + "\n" + whole.substr(0, 30) + "\n" + formatRecord(intent) + "\n");
    const JournalReading reading = readEntries(text);
    ASSERT_EQ(reading.entries.size(), 2u);
    EXPECT_EQ(reading.entries[1].intent.entry, "b");
    ASSERT_EQ(reading.skipped.size(), 1u);
    EXPECT_EQ(reading.skipped[0].line, 2u);

    EXPECT_EQ(lineToAppend("x", true), "x\n");
    EXPECT_EQ(lineToAppend("x", false), "\nx\n");
}

TEST(JournalFile, JournalThatCannotBeOpenedNamesItsFile) {
    const TemporaryFolder folder;
    writeFile(folder / "plain", "a file, not a folder");
    // Both hold for root as well, who passes every permission check.
    for (const auto& path : {folder / "plain" / "journal.jsonl", folder.path()}) {
        try {
            SerialJournal journal(path, {});
            ADD_FAILURE() << "opened " << displayPath(path);
        } catch (const JournalError& error) {
            const std::string text = error.what();
            EXPECT_NE(text.find("the journal " + displayPath(path)), std::string::npos) << text;
        }
    }
    EXPECT_THROW(JournalFile(""), JournalError);
    EXPECT_EQ(JournalFile::read(folder / "missing.jsonl"), "");
}

TEST(JournalFile, EntryIdsAreNew) {
    std::set<std::string> ids;
    for (int i = 0; i < 1000; ++i) {
        const std::string id = newEntryId();
        EXPECT_EQ(id.size(), 32u);
        EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos) << id;
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 1000u);
}

// ---- Six programs at once ----

constexpr int writers = 6;
constexpr int linesPerWriter = 150;
// Longer than a pipe's atomic write and a page: a line written in pieces
// would show.
constexpr std::size_t nameLength = 9000;

std::filesystem::path ownProgram() {
#ifdef _WIN32
    wchar_t name[MAX_PATH * 2] = {};
    GetModuleFileNameW(nullptr, name, MAX_PATH * 2);
    return name;
#else
    return std::filesystem::read_symlink("/proc/self/exe");
#endif
}

void setVariable(const char* name, const std::string& value) {
#ifdef _WIN32
    _putenv_s(name, value.c_str());
#else
    ::setenv(name, value.c_str(), 1);
#endif
}

std::string processId() {
#ifdef _WIN32
    return std::to_string(GetCurrentProcessId());
#else
    return std::to_string(::getpid());
#endif
}

// Run by the test below in programs of its own: appends its lines to the
// journal named in VORN_JOURNAL_TEST_FILE, its process id as the host.
TEST(JournalFileChild, DISABLED_AppendLines) {
    const char* path = std::getenv("VORN_JOURNAL_TEST_FILE");
    ASSERT_TRUE(path);
    const std::string writer = processId();
    SerialJournal journal(std::filesystem::u8path(path), {"writer", writer, "test", "none"});
    for (int i = 0; i < linesPerWriter; ++i) {
        const DeviceFacts device{writer, std::string(nameLength, static_cast<char>('a' + i % 26)),
                                 "Ondal 4", "127.0.0.2"};
        const std::string entry = journal.recordIntent(device, i, static_cast<std::uint32_t>(i));
        journal.recordOutcome(entry, writer, WriteResult::Verified, true, i);
    }
}

TEST(JournalFile, SixProgramsAppendingAtOnceLoseAndMixNoLine) {
    const TemporaryFolder folder;
    const auto path = folder / "journal.jsonl";
    setVariable("VORN_JOURNAL_TEST_FILE", displayPath(path));
    const std::string program = ownProgram().string();
    std::vector<std::thread> starters;
    std::vector<int> statuses(writers, -1);
    for (int w = 0; w < writers; ++w) {
        std::string command = "\"\"" + program + "\" --gtest_also_run_disabled_tests " +
                              "--gtest_filter=JournalFileChild.DISABLED_AppendLines\"";
#ifndef _WIN32
        command = command.substr(1, command.size() - 2) + " >/dev/null";
#else
        command += " >NUL";
#endif
        starters.emplace_back(
            [&statuses, w, command] { statuses[w] = std::system(command.c_str()); });
        std::this_thread::yield();
    }
    for (auto& starter : starters)
        starter.join();
    for (int w = 0; w < writers; ++w)
        EXPECT_EQ(statuses[w], 0) << "writer " << w;

    const std::string text = fileText(path);
    const JournalReading reading = readEntries(text);
    EXPECT_TRUE(reading.skipped.empty())
        << reading.skipped.size() << " damaged lines, first " << reading.skipped.front().line;
    ASSERT_EQ(reading.entries.size(), static_cast<std::size_t>(writers * linesPerWriter));
    std::map<std::string, std::uint32_t> next; // writer -> its next line
    for (const JournalEntry& entry : reading.entries) {
        // Each writer's lines in its own order, whole.
        EXPECT_EQ(entry.intent.target, next[entry.intent.host]++);
        EXPECT_EQ(entry.intent.device.name->size(), nameLength);
        ASSERT_TRUE(entry.outcome);
        EXPECT_EQ(entry.outcome->readBack, entry.intent.target);
    }
    EXPECT_EQ(next.size(), static_cast<std::size_t>(writers));
    EXPECT_EQ(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')),
              reading.entries.size() * 2);
    // Numbered in the file's order without a gap or a repeat, whichever program wrote.
    std::uint64_t expected = 1;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        const auto record = parseRecord(line);
        ASSERT_TRUE(record);
        EXPECT_EQ(recordSequence(*record), expected++);
    }
}

} // namespace

namespace {

// Lines of `path`, in order.
std::vector<std::string> linesOf(const std::filesystem::path& path) {
    std::vector<std::string> lines;
    std::istringstream text(fileText(path));
    for (std::string line; std::getline(text, line);)
        lines.push_back(line);
    return lines;
}

} // namespace

TEST(JournalFileRotation, AFileMovedAwayIsLeftForTheOneAtThePath) {
    const TemporaryFolder folder;
    const auto path = folder / "journal.jsonl";
    auto rotated = path;
    rotated += ".1";
    JournalFile open(path);
    open.append("first");
    std::filesystem::rename(path, rotated); // as a rotation does
    open.append("second");                  // no file at the path: a new one
    EXPECT_EQ(linesOf(rotated), std::vector<std::string>{"first"});
    EXPECT_EQ(linesOf(path), std::vector<std::string>{"second"});

    // Another program makes the new file first; both write into it.
    std::filesystem::rename(path, folder / "journal.jsonl.2");
    JournalFile other(path);
    other.append("third");
    open.append("fourth");
    EXPECT_EQ(linesOf(path), (std::vector<std::string>{"third", "fourth"}));
}

// Under Wine a file deleted while open keeps its name until its last handle
// closes (Windows 10 and later remove the name at once), so this is Linux's.
#ifndef _WIN32
TEST(JournalFileRotation, ADeletedFileIsMadeAgain) {
    const TemporaryFolder folder;
    const auto path = folder / "journal.jsonl";
    JournalFile open(path);
    open.append("lost with the file");
    std::filesystem::remove(path);
    open.append("kept");
    EXPECT_EQ(linesOf(path), std::vector<std::string>{"kept"});
}
#endif

// The records' numbers go on over a rotation, a torn last line, lines of
// older tools without numbers and lines that are not records.
TEST(JournalFileRotation, RecordNumbersGoOnWithoutAGap) {
    const TemporaryFolder folder;
    const auto path = folder / "journal.jsonl";
    auto rotated = path;
    rotated += ".1";
    SerialJournal journal(path, {"kim", "bench-1", "test", "127.0.0.1"});
    const DeviceFacts device{"00000100:00000001", "Stage left", "Ondal 4", "127.0.0.2"};
    const auto write = [&] {
        journal.recordOutcome(journal.recordIntent(device, 1, 2), device.id, WriteResult::Verified,
                              true, 2);
    };
    const auto numbers = [](const std::filesystem::path& file) {
        std::vector<std::uint64_t> found;
        for (const auto& line : linesOf(file))
            if (const auto record = parseRecord(line))
                found.push_back(recordSequence(*record).value_or(0));
        return found;
    };
    write();
    std::filesystem::rename(path, rotated);
    write(); // after the last line of FILE.1
    EXPECT_EQ(numbers(rotated), (std::vector<std::uint64_t>{1, 2}));
    EXPECT_EQ(numbers(path), (std::vector<std::uint64_t>{3, 4}));
    {
        std::ofstream append(path, std::ios::binary | std::ios::app);
        append << R"({"time":"2026-12-07T14:05:09.042Z","event":"outcome","entry":"e","id":"i",)"
               << R"("result":"verified","acknowledged":true,"readBack":1})"
               << "\n"
               << "not a record\n{\"event\":\"intent\",\"seq\":9"; // torn
    }
    write();
    EXPECT_EQ(numbers(path), (std::vector<std::uint64_t>{3, 4, 0, 5, 6}));

    EXPECT_EQ(nextSequence(""), 1u);
    EXPECT_EQ(nextSequence("garbage\n"), 1u);
    const std::string tenth = R"({"time":"2026-12-07T14:05:09.042Z","event":"outcome","entry":"e",)"
                              R"("id":"i","result":"refused","acknowledged":false,"readBack":1,)"
                              R"("seq":10})";
    EXPECT_EQ(nextSequence(tenth + "\nnot a record\n"), 11u);
    EXPECT_EQ(nextSequence("x\n" + tenth + "\n"), 11u);
}

TEST(JournalFileRotation, RotatedFilesAreListedOldestFirstUpToTheFirstGap) {
    const TemporaryFolder folder;
    const auto path = folder / "journal.jsonl";
    const auto named = [&](const std::string& suffix) {
        auto file = path;
        file += suffix;
        return file;
    };
    EXPECT_EQ(JournalFile::withRotated(path), std::vector<std::filesystem::path>{path});
    for (const char* suffix : {".1", ".2", ".4", ".gz"})
        writeFile(named(suffix), "x\n");
    EXPECT_EQ(JournalFile::withRotated(path),
              (std::vector<std::filesystem::path>{named(".2"), named(".1"), path}));
}

TEST(JournalFileRotation, RotationWhileThreadsAppendLosesNoLine) {
    const TemporaryFolder folder;
    const auto path = folder / "journal.jsonl";
    JournalFile journal(path);
    constexpr int threads = 4, perThread = 200;
    std::vector<std::thread> writers;
    std::atomic<int> finished{0};
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([&, t] {
            for (int i = 0; i < perThread; ++i)
                journal.append(std::to_string(t) + ":" + std::to_string(i));
            ++finished;
        });
    // Rotate now and then while they write, as a rotation would: move, then a new file.
    int rotations = 0;
    while (rotations < 20 && finished < threads) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (!std::filesystem::exists(path)) // the writers only ever make it
            continue;
        ++rotations;
        for (int n = rotations - 1; n >= 1; --n) {
            auto from = path, to = path;
            from += "." + std::to_string(n);
            to += "." + std::to_string(n + 1);
            std::filesystem::rename(from, to);
        }
        auto first = path;
        first += ".1";
        std::filesystem::rename(path, first);
    }
    for (auto& writer : writers)
        writer.join();
    std::set<std::string> found;
    std::size_t total = 0;
    for (const auto& file : JournalFile::withRotated(path))
        for (const auto& line : linesOf(file)) {
            found.insert(line);
            ++total;
        }
    EXPECT_GT(rotations, 1);
    EXPECT_EQ(total, static_cast<std::size_t>(threads * perThread));
    EXPECT_EQ(found.size(), static_cast<std::size_t>(threads * perThread));
}
