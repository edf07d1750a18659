#include "JournalFile.h"

#include <algorithm>
#include <system_error>

namespace Journal {

std::string displayPath(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

std::string journalErrorText(const std::filesystem::path& path, const char* what,
                             const std::string& reason) {
    return std::string("cannot ") + what + " the journal " + displayPath(path) + ": " + reason;
}

JournalFile::JournalFile(std::filesystem::path path) : path_(std::move(path)) {
    if (path_.empty())
        throw JournalError("no journal file given");
    const std::filesystem::path folder = path_.parent_path();
    std::error_code error;
    if (!folder.empty() && !std::filesystem::is_directory(folder, error)) {
        std::filesystem::create_directories(folder, error);
        if (error)
            fail("create the folder of", error.message());
    }
    open();
}

std::string lineToAppend(std::string_view line, bool fileEndsLine) {
    std::string data;
    data.reserve(line.size() + 2);
    if (!fileEndsLine)
        data += '\n'; // the last line was cut short
    data.append(line);
    data += '\n';
    return data;
}

void JournalFile::append(std::string_view line) {
    const std::lock_guard lock(appendMutex_);
    appendLine(line, nullptr);
}

void JournalFile::appendAfter(const LineMaker& makeLine) {
    const std::lock_guard lock(appendMutex_);
    appendLine({}, &makeLine);
}

namespace {

// The whole lines of `text` that a cut at its start and a torn line at its end
// leave: from after the first line break (unless `fromStart`) up to the last.
std::string_view wholeLines(std::string_view text, bool fromStart) {
    const std::size_t end = text.rfind('\n');
    if (end == std::string_view::npos)
        return {};
    std::size_t begin = 0;
    if (!fromStart) {
        begin = text.find('\n');
        if (begin == end)
            return {};
        ++begin;
    }
    return text.substr(begin, end + 1 - begin);
}

// Enough for many records: the numbered line a new line follows is among them.
constexpr std::size_t tailBytes = 64 * 1024;

} // namespace

std::string JournalFile::tailLocked(std::uint64_t size) const {
    for (std::size_t want = tailBytes;; want *= 4) {
        const std::uint64_t from = size > want ? size - want : 0;
        const std::string text = readAt(from, static_cast<std::size_t>(size - from));
        const std::string_view lines = wholeLines(text, from == 0);
        if (!lines.empty())
            return std::string(lines);
        if (from == 0)
            break;
    }
    // Empty since a rotation: the lines before it are in FILE.1.
    std::filesystem::path rotated = path_;
    rotated += ".1";
    const std::string text = read(rotated);
    const std::string_view lines = wholeLines(text, true);
    return std::string(lines.size() > tailBytes ? lines.substr(lines.size() - tailBytes) : lines);
}

std::vector<std::filesystem::path> JournalFile::withRotated(const std::filesystem::path& path) {
    std::vector<std::filesystem::path> files;
    std::error_code error;
    for (int number = 1;; ++number) {
        std::filesystem::path rotated = path;
        rotated += "." + std::to_string(number);
        if (!std::filesystem::exists(rotated, error))
            break;
        files.push_back(std::move(rotated));
    }
    std::reverse(files.begin(), files.end());
    files.emplace_back(path);
    return files;
}

void JournalFile::fail(const char* what, const std::string& reason) const {
    throw JournalError(journalErrorText(path_, what, reason));
}

} // namespace Journal
