#include "MainWindowRules.h"

#include "Texts.h"

namespace MainWindowRules {

namespace {
constexpr unsigned selectedBit = 0x2; // LVIS_SELECTED
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

int editHeight(int textHeight, int edgeHeight) {
    return textHeight + textHeight / 2 + 2 * edgeHeight;
}

Rect setButtonRect(const Rect& edit, int buttonLeft, int idealWidth, int idealHeight) {
    const int width = idealWidth + 20;
    const int height = idealHeight + 4;
    const int top = edit.top + (edit.height() - height) / 2;
    return {buttonLeft, top, buttonLeft + width, top + height};
}

Rect listRectFor(int clientHeight) {
    return {0, 0, listWidth, clientHeight};
}

Rect separatorRectFor(const Rect& separator, int clientRight) {
    return {separator.left, separator.top, clientRight - separatorInset, separator.bottom};
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

} // namespace MainWindowRules
