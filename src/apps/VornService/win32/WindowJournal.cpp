#include "WindowJournal.h"

#include "JournalPlace.h"
#include "SerialRecord.h"
#include "Texts.h"

WindowJournal::WindowJournal(std::optional<std::filesystem::path> path) : path_(std::move(path)) {}

Journal::SerialJournal& WindowJournal::journal() {
    if (!journal_) {
        if (!path_)
            path_ = Journal::defaultJournalPath();
        journal_.emplace(*path_,
                         Journal::Writer{Journal::loginName(), Journal::hostName(),
                                         SerialRecord::toolName("VornService"), interface_});
    }
    return *journal_;
}

bool WindowJournal::recordIntent(HWND owner, const Journal::DeviceFacts& device, std::uint64_t id,
                                 std::uint32_t target) {
    try {
        const std::string entry = journal().recordIntent(device, tracker_.lastRead(id), target);
        tracker_.writeStarted(entry, id, target);
        return true;
    } catch (const Journal::JournalError& failure) {
        const std::string text = std::string(failure.what()) + ".\n\nNothing was written.";
        MessageBoxA(owner, text.c_str(), Text::errorCaption, MB_ICONERROR);
        return false;
    }
}

void WindowJournal::notSent(HWND owner, std::uint64_t id) {
    tracker_.writeDone(id, false);
    if (const auto outcome = tracker_.serialRead(id, std::nullopt))
        record(owner, *outcome);
}

void WindowJournal::serialRead(HWND owner, std::uint64_t id, std::optional<std::uint32_t> serial) {
    if (const auto outcome = tracker_.serialRead(id, serial))
        record(owner, *outcome);
}

void WindowJournal::record(HWND owner, const SerialWriteTracker::Outcome& outcome) {
    try {
        journal().recordOutcome(outcome.entry, formatDeviceId(outcome.id), outcome.result,
                                outcome.acknowledged, outcome.readBack);
    } catch (const Journal::JournalError& failure) {
        const std::string text = std::string(failure.what()) + ".\n\nThe outcome of the write (" +
                                 Journal::writeResultName(outcome.result) + ") is not recorded.";
        MessageBoxA(owner, text.c_str(), Text::errorCaption, MB_ICONERROR);
    }
}

std::string WindowJournal::locationText() const {
    try {
        const std::filesystem::path path = path_ ? *path_ : Journal::defaultJournalPath();
        return "Serial numbers written here are recorded in\n" + Journal::displayPath(path) +
               "\n\n(vornctl journal shows them.)";
    } catch (const Journal::JournalError& failure) {
        return failure.what();
    }
}
