#include "MainWindowRules.h"

#include "Texts.h"

#include <algorithm>
#include <cstdio>

namespace MainWindowRules {

namespace {
constexpr unsigned selectedBit = 0x2; // LVIS_SELECTED
constexpr unsigned stateMask = 0x8;   // LVIF_STATE
} // namespace

ControlEnables enablesFor(PanelState state) {
    switch (state) {
    case PanelState::created:
        return {true, false, true};
    case PanelState::rowSelected:
    case PanelState::writeFinished:
        return {true, true, true};
    case PanelState::noRowSelected:
        return {true, false, false};
    case PanelState::writeInProgress:
        return {false, false, false};
    }
    return {true, false, false};
}

SelectionChange selectionChange(unsigned oldState, unsigned newState) {
    const bool was = oldState & selectedBit;
    const bool is = newState & selectedBit;
    if (is && !was)
        return SelectionChange::selected;
    if (was && !is)
        return SelectionChange::deselected;
    return SelectionChange::none;
}

bool selectionMayHaveChanged(int item, unsigned changedMask, unsigned oldState, unsigned newState) {
    if (item < 0)
        return true;
    return (changedMask & stateMask) && ((oldState ^ newState) & selectedBit);
}

EnterCommand enterCommand(Focus focus) {
    return focus == Focus::serialEdit || focus == Focus::setButton ? EnterCommand::setSerial
                                                                   : EnterCommand::none;
}

CopyTarget copyTarget(Focus focus, bool deviceSelected) {
    if (focus == Focus::serialEdit)
        return CopyTarget::editText;
    return deviceSelected ? CopyTarget::device : CopyTarget::nothing;
}

std::string copiedDevice(std::string_view name, std::string_view product, std::string_view idText) {
    std::string text;
    text.append(name).append("\t").append(product).append("\t").append(idText);
    return text;
}

int editHeight(int textHeight, int edgeHeight) {
    return textHeight + textHeight / 2 + 2 * edgeHeight;
}

Rect setButtonRect(const Rect& edit, int buttonLeft, int idealWidth, int idealHeight) {
    const int width = idealWidth + 20;
    const int height = idealHeight + 4;
    const int top = edit.top + (edit.height() - height) / 2;
    return {buttonLeft, top, buttonLeft + width, top + height};
}

int scaled(int length, unsigned dpi) {
    // Rounded to the nearest pixel, halves away from zero, as MulDiv does.
    const long long product = static_cast<long long>(length) * dpi;
    const long long half = baseDpi / 2;
    return static_cast<int>(product >= 0 ? (product + half) / baseDpi
                                         : -((-product + half) / baseDpi));
}

Rect listRectFor(int clientHeight, int statusHeight, unsigned dpi) {
    const int bottom = clientHeight > statusHeight ? clientHeight - statusHeight : 0;
    return {0, 0, scaled(listWidth, dpi), bottom};
}

Layout layoutFor(const LayoutInput& in) {
    const unsigned dpi = in.dpi;
    Layout out;
    out.list = listRectFor(in.clientHeight, in.statusHeight, dpi);
    out.columnWidth = scaled(130, dpi);
    const int x = scaled(rightAreaX, dpi);
    out.currentSerial = {x, scaled(10, dpi), x + scaled(200, dpi), scaled(10, dpi) + in.textHeight};
    const int separatorLeft = x - scaled(5, dpi), separatorTop = scaled(30, dpi);
    out.separator = {separatorLeft, separatorTop,
                     std::max(separatorLeft + 1, in.clientWidth - scaled(separatorInset, dpi)),
                     separatorTop + std::max(1, scaled(1, dpi))};
    out.logo = {x, scaled(40, dpi), x + in.logo.width, scaled(40, dpi) + in.logo.height};
    const int labelTop = scaled(120, dpi);
    out.serialLabel = {x, labelTop, x + scaled(100, dpi), labelTop + in.textHeight};
    const int editTop = out.serialLabel.bottom + scaled(3, dpi);
    out.edit = {x, editTop, x + scaled(100, dpi),
                editTop + editHeight(in.textHeight, scaled(in.edgeHeight, dpi))};
    // The button's margins (20 x 4 at 100 %) grow with the dpi too.
    const int buttonLeft = out.edit.right + scaled(5, dpi);
    const Rect grown =
        setButtonRect(out.edit, buttonLeft, in.idealButton.width + scaled(20, dpi) - 20,
                      in.idealButton.height + scaled(4, dpi) - 4);
    out.button = grown;
    return out;
}

Size mainWindowSize(unsigned dpi) {
    return {scaled(760, dpi), scaled(400, dpi)};
}

int logoArtPercent(unsigned dpi) {
    if (dpi >= 192)
        return 200;
    if (dpi >= 144)
        return 150;
    return 100;
}

std::string deviceCountText(int count, std::uint64_t notListed) {
    std::string text = std::to_string(count) + (count == 1 ? " device" : " devices");
    if (notListed > 0)
        text += ", " + std::to_string(notListed) + " not listed";
    return text;
}

std::string interfaceText(std::string_view description, std::string_view address) {
    std::string text = "Interface: ";
    text.append(description).append(" (").append(address).append(")");
    return text;
}

std::string deviceAddressText(std::optional<std::uint32_t> address) {
    if (!address)
        return {};
    char text[32];
    std::snprintf(text, sizeof text, "Device address: %u.%u.%u.%u", (*address >> 24) & 0xFFu,
                  (*address >> 16) & 0xFFu, (*address >> 8) & 0xFFu, *address & 0xFFu);
    return text;
}

std::array<int, 3> statusPartRights(unsigned dpi, bool notListedShown) {
    const int count = notListedShown ? 260 : 110;
    return {scaled(count, dpi), scaled(count + 330, dpi), -1};
}

Rect separatorRectFor(const Rect& separator, int clientRight, unsigned dpi) {
    return {separator.left, separator.top, clientRight - scaled(separatorInset, dpi),
            separator.bottom};
}

SetSerialStart startSetSerial(std::string_view typed) {
    if (const auto number = parseSerial(typed))
        return {number, std::nullopt};
    return {std::nullopt, Notice{Text::invalidSerialFormat, Text::errorCaption, iconError}};
}

Notice writeOutcome(bool ok) {
    if (ok)
        return {Text::serialChanged, Text::successCaption, iconInformation};
    return writeRefused();
}

Notice writeRefused() {
    return {Text::serialSetFailed, Text::errorCaption, iconError};
}

// The window's table of a write's outcomes: which boxes it brings up.
WriteStep afterWrite(const SerialWriteReport& report) {
    WriteStep step;
    switch (report.outcome) {
    case WriteOutcome::Verified:
    case WriteOutcome::AlreadySet:
    case WriteOutcome::Unverified: // acknowledged: the read-back tells the rest
        step.outcome = writeOutcome(true);
        break;
    case WriteOutcome::Refused:
    case WriteOutcome::NoAnswer:
    case WriteOutcome::NotFound:
    case WriteOutcome::Unreadable:
        step.outcome = writeRefused();
        break;
    case WriteOutcome::Mismatch: // never a success
        step.outcome = Notice{Text::serialNotKept, Text::errorCaption, iconError};
        break;
    case WriteOutcome::Duplicate:
        step.question = duplicateQuestion(
            report.target,
            report.holder ? report.holder->name.value_or(Text::unknownName) : Text::unknownName,
            report.holder ? report.holder->id : 0);
        step.unchanged = report.before;
        break;
    case WriteOutcome::JournalUnwritable:
        step.journalProblem = report.error + ".\n\nNothing was written.";
        step.unchanged = report.before;
        break;
    case WriteOutcome::Unrecorded: {
        // One error box says so and what the device did; no success box tells
        // the user all is well.
        const bool took = report.unrecorded == Journal::WriteResult::Verified ||
                          report.reply == WriteReply::Accepted;
        step.journalProblem =
            report.error + "\n\n" + (took ? Text::serialWrittenNotRecorded : Text::serialSetFailed);
        break;
    }
    case WriteOutcome::Failed:
        step.journalProblem = report.error;
        step.outcome = writeRefused();
        break;
    }
    return step;
}

std::string duplicateQuestion(std::uint32_t number, const std::string& holderName,
                              std::uint64_t holderId) {
    return "Serial number " + std::to_string(number) + " is already held by " + holderName + " (" +
           formatDeviceId(holderId) + ").\n\nWrite it to this device anyway?";
}

std::string historyText(const std::string& deviceName, std::uint64_t id,
                        const std::vector<Journal::JournalEntry>& entries) {
    std::string text = "Serial numbers written to " + deviceName + " (" + formatDeviceId(id) + ")";
    if (entries.empty())
        return text + ": none recorded in the journal.";
    text += ", newest first:\n";
    for (const Journal::JournalEntry& entry : entries) {
        const Journal::SerialIntent& intent = entry.intent;
        std::string time = Journal::formatUtc(intent.time); // 2026-12-07T14:05:09.042Z
        if (time.size() >= 19)
            time = time.substr(0, 10) + " " + time.substr(11, 8) + " UTC";
        text += "\n" + time + "   " + (intent.old ? std::to_string(*intent.old) : "?") + " -> " +
                std::to_string(intent.target) + "   " + Journal::entryResultName(entry) + "   " +
                intent.tool + ", " + intent.operatorName + " on " + intent.host;
        if (intent.client)
            text += " (from " + *intent.client + ")";
    }
    return text;
}

} // namespace MainWindowRules
