#pragma once

#include "JournalEntries.h"
#include "SerialWriteFlow.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What the main window decides, kept apart from the window calls that carry
// it out: which controls are enabled, what a selection change means, where
// the children go, and what the "Set Serial" command does with the typed text.
namespace MainWindowRules {

// A message box as the user sees it.
struct Notice {
    const char* text;
    const char* caption;
    unsigned icon; // MB_ICONERROR (16) or MB_ICONINFORMATION (64)
};
inline constexpr unsigned iconError = 16;
inline constexpr unsigned iconInformation = 64;

// The panel's phases and the enable state of its controls in each: the device
// list; the serial edit, its label and the set button (always together); the
// current-serial label.
enum class PanelState { created, rowSelected, noRowSelected, writeInProgress, writeFinished };
struct ControlEnables {
    bool deviceList;
    bool serialControls;
    bool currentSerialLabel;
    bool operator==(const ControlEnables&) const = default;
};
ControlEnables enablesFor(PanelState state);

// A list row's state change as the list view reports it (old and new state
// bits); text updates arrive as changes too and mean nothing here.
enum class SelectionChange { none, selected, deselected };
SelectionChange selectionChange(unsigned oldState, unsigned newState);

// Whether a list item change may have changed which row is selected: a change
// of every item (item -1) or of the item's selected bit; a text change (the
// list view reports those too) does not.
bool selectionMayHaveChanged(int item, unsigned changedMask, unsigned oldState, unsigned newState);

// Only the row that is still selected shows a serial reply.
inline bool showsSerialReply(int row, int selectedRow) {
    return row >= 0 && row == selectedRow;
}

// The keyboard. Which of the window's controls has the focus.
enum class Focus { deviceList, serialEdit, setButton, other };
// The command Enter gives (the dialog manager asks for it as DM_GETDEFID):
// "Set Serial" from the serial edit and from the button itself; none
// elsewhere, so that Enter in the list does not write a serial number.
enum class EnterCommand { none, setSerial };
EnterCommand enterCommand(Focus focus);
// What Ctrl+C copies: the edit's own selected text while it has the focus,
// else the selected device's row, else nothing.
enum class CopyTarget { editText, device, nothing };
CopyTarget copyTarget(Focus focus, bool deviceSelected);
// A device on the clipboard: its cells as the list shows them, separated by
// tabs (a row pasted into a spreadsheet keeps its columns).
std::string copiedDevice(std::string_view name, std::string_view product, std::string_view idText);

// Geometry, in client pixels.
struct Rect {
    int left = 0, top = 0, right = 0, bottom = 0;
    int width() const { return right - left; }
    int height() const { return bottom - top; }
    bool operator==(const Rect&) const = default;
};
// Lengths are given for 96 dpi (100 %) and scaled to the window's dpi.
inline constexpr unsigned baseDpi = 96;
int scaled(int length, unsigned dpi);
inline constexpr int listWidth = 410;
inline constexpr int rightAreaX = listWidth + 10;
inline constexpr int separatorInset = 5; // from the right edge of the client area

// The serial edit's height for a font of `textHeight` pixels.
int editHeight(int textHeight, int edgeHeight);
// The set button, grown from its ideal size and centred on the edit's height.
Rect setButtonRect(const Rect& edit, int buttonLeft, int idealWidth, int idealHeight);
// After a resize only the list's height and the separator's width change;
// the status bar takes the bottom `statusHeight` pixels.
Rect listRectFor(int clientHeight, int statusHeight, unsigned dpi = baseDpi);
Rect separatorRectFor(const Rect& separator, int clientRight, unsigned dpi = baseDpi);

// The status bar: the number of devices listed, the chosen interface, the
// selected device's address. Its parts' right edges (the last reaches the
// window's edge: -1); the first part is wider while it also says how many new
// devices were not listed (the tool's table was full: a flood of new ids).
std::string deviceCountText(int count, std::uint64_t notListed = 0);
std::string interfaceText(std::string_view description, std::string_view address);
std::string deviceAddressText(std::optional<std::uint32_t> address); // host byte order
std::array<int, 3> statusPartRights(unsigned dpi, bool notListedShown = false);

// Everything the window places, laid out for `dpi` (the list's and the
// separator's extent follow the client area; the rest is fixed).
struct Size {
    int width = 0, height = 0;
};
struct LayoutInput {
    unsigned dpi = baseDpi;
    int clientWidth = 0, clientHeight = 0, statusHeight = 0;
    int textHeight = 0; // of the window's font at this dpi
    int edgeHeight = 2; // SM_CYEDGE at 96 dpi
    Size logo;          // the logo bitmap chosen for this dpi
    Size idealButton;   // "Set Serial"'s ideal size with the window's font
};
struct Layout {
    Rect list, currentSerial, separator, logo, serialLabel, edit, button;
    int columnWidth = 0;
    bool operator==(const Layout&) const = default;
};
Layout layoutFor(const LayoutInput& input);
// The main window's outer size when it is created, for the system's dpi.
Size mainWindowSize(unsigned dpi);
// Which logo art suits `dpi`: 100, 150 or 200 (percent); the nearest at or
// below, so the art is never drawn larger than made.
int logoArtPercent(unsigned dpi);

// The first step of "Set Serial": with a device selected, the typed text must
// hold a number before the confirmation dialog opens.
struct SetSerialStart {
    std::optional<int> first;      // the number to confirm
    std::optional<Notice> problem; // or why not
};
SetSerialStart startSetSerial(std::string_view typed);

// The outcome of the write, as the window reports it.
Notice writeOutcome(bool ok);
// A write the engine would not even send.
Notice writeRefused();

// What the window does with the report of a write from the write flow.
struct WriteStep {
    // Another listed device holds the number: ask whether to write it anyway
    // (Yes writes it, No ends with nothing sent).
    std::optional<std::string> question;
    // The box that tells the outcome; none when the journal could not record
    // it (journalProblem then says what the device did).
    std::optional<Notice> outcome;
    std::string journalProblem; // an error box about the journal first; "" none
    // After a question answered No or a journal that took no intent: the
    // number the device reads as (nothing was written).
    std::optional<std::uint32_t> unchanged;
};
WriteStep afterWrite(const SerialWriteReport& report);
inline constexpr const char* duplicateCaption = "Serial number in use";
// "Serial number N is already held by NAME (ID).\n\nWrite it to this device anyway?"
std::string duplicateQuestion(std::uint32_t number, const std::string& holderName,
                              std::uint64_t holderId);

// The History box of a device: its journal entries (newest first), one line
// each: "2026-12-07 14:05:09 UTC  100 -> 1234  verified  VornService 1.0.0,
// kim on BENCH (from 192.0.2.9)".
std::string historyText(const std::string& deviceName, std::uint64_t id,
                        const std::vector<Journal::JournalEntry>& entries);
inline constexpr const char* historyCaption = "History";

} // namespace MainWindowRules
