#include "WindowJournal.h"

#include "JournalPlace.h"
#include "SerialRecord.h"
#include "Texts.h"

WindowJournal::WindowJournal(std::optional<std::filesystem::path> path) : path_(std::move(path)) {}

std::filesystem::path WindowJournal::path() const {
    return path_ ? *path_ : Journal::defaultJournalPath();
}

Journal::SerialJournal* WindowJournal::open(HWND owner) {
    try {
        if (!journal_) {
            path_ = path();
            journal_.emplace(*path_,
                             Journal::Writer{Journal::loginName(), Journal::hostName(),
                                             SerialRecord::toolName("VornService"), interface_});
        }
        return &*journal_;
    } catch (const Journal::JournalError& failure) {
        const std::string text = std::string(failure.what()) + ".\n\nNothing was written.";
        MessageBoxA(owner, text.c_str(), Text::errorCaption, MB_ICONERROR);
        return nullptr;
    }
}

void WindowJournal::serialRead(std::uint64_t id, std::optional<std::uint32_t> serial) {
    if (serial)
        read_[id] = *serial;
    else
        read_.erase(id);
}

std::optional<std::uint32_t> WindowJournal::lastRead(std::uint64_t id) const {
    const auto found = read_.find(id);
    return found == read_.end() ? std::nullopt : std::optional<std::uint32_t>(found->second);
}

std::string WindowJournal::locationText() const {
    try {
        return "Serial numbers written here are recorded in\n" + Journal::displayPath(path()) +
               "\n\n(vornctl journal shows them.)";
    } catch (const Journal::JournalError& failure) {
        return failure.what();
    }
}
