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

int enterCommand(Focus focus) {
    constexpr int setSerial = 1502; // IDC_SET_SERIAL
    return focus == Focus::serialEdit || focus == Focus::setButton ? setSerial : 0;
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
