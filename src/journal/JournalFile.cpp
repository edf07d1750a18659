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
    appendLine(line);
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
