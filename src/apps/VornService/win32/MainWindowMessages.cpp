// The main window's messages and commands: which handler each goes to, and
// the handlers, each short; what they do at length is in MainWindow.cpp.
#include "MainWindow.h"

#include "DeviceHistory.h"
#include "JournalFile.h"

#include "ListView.h"
#include "Resource.h"
#include "StartUp.h"
#include "Texts.h"
#include "Version.h"
#include "WindowMessages.h"

namespace {

#ifndef WM_DPICHANGED
constexpr UINT WM_DPICHANGED = 0x02E0;
#endif

constexpr const char* aboutText = VORN_PRODUCT_NAME
    " " VORN_VERSION_TEXT "\n\n"
    "Lists the audio-processing devices on the chosen network and reads and writes their "
    "serial numbers.";
constexpr const char* aboutCaption = "About " VORN_PRODUCT_NAME;

} // namespace

// Each message the window handles, and its handler.
const MainWindow::MessageRoute MainWindow::messageRoutes[] = {
    {WM_CREATE, &MainWindow::handleCreate},
    {WM_SIZE, &MainWindow::handleSize},
    {WM_NOTIFY, &MainWindow::handleNotify},
    {WM_COMMAND, &MainWindow::handleCommand},
    {DM_GETDEFID, &MainWindow::handleGetDefId},
    {WM_ACTIVATE, &MainWindow::handleActivate},
    {WM_SETFOCUS, &MainWindow::handleSetFocus},
    {WM_PAINT, &MainWindow::handlePaint},
    {WM_CTLCOLORSTATIC, &MainWindow::handleStaticColor},
    {WM_NCACTIVATE, &MainWindow::handleNcActivate},
    {WM_DESTROY, &MainWindow::handleDestroy},
    {WM_DPICHANGED, &MainWindow::handleDpiChanged},
    {WM_TIMER, &MainWindow::handleTimer},
    {WM_DEVICE_ADDED, &MainWindow::handleDeviceAdded},
    {WM_DEVICE_REMOVED, &MainWindow::handleDeviceRemoved},
    {WM_DEVICE_NAME, &MainWindow::handleDeviceName},
    {WM_SERIAL_NUMBER, &MainWindow::handleSerialNumber},
    {WM_SERIAL_UNREAD, &MainWindow::handleSerialUnread},
    {WM_SERIAL_WRITTEN, &MainWindow::handleSerialWritten},
    {WM_SELECTION_SETTLED, &MainWindow::handleSelectionSettled},
};

// The commands of the menu, the accelerators and the buttons.
const MainWindow::CommandRoute MainWindow::commandRoutes[] = {
    {IDM_EXIT, &MainWindow::exitCommand},       {IDM_ABOUT, &MainWindow::aboutCommand},
    {IDM_JOURNAL, &MainWindow::journalCommand}, {IDM_EXPORT, &MainWindow::exportDeviceList},
    {IDM_COPY, &MainWindow::copySelection},     {IDC_SET_SERIAL, &MainWindow::setSerialClicked},
    {IDM_HISTORY, &MainWindow::historyCommand},
};

LRESULT MainWindow::handleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE)
        children_.window = window;
    for (const auto& route : messageRoutes)
        if (route.message == message) {
            if (const auto result = (this->*route.handler)(message, wParam, lParam))
                return *result;
            break;
        }
    return DefWindowProcA(window, message, wParam, lParam);
}

MainWindow::Result MainWindow::handleCreate(UINT, WPARAM, LPARAM) {
    mailbox_.open(children_.window);
    ListView::initCommonControls();
    if (!createChildren()) {
        MessageBoxA(children_.window, Text::childWindowsFailed, Text::errorCaption, MB_ICONERROR);
        PostQuitMessage(StartUp::exitNoChildren);
    }
    return 0;
}

MainWindow::Result MainWindow::handleSize(UINT, WPARAM, LPARAM lParam) {
    layout_.resize(children_, HIWORD(lParam));
    return 0;
}

MainWindow::Result MainWindow::handleNotify(UINT, WPARAM, LPARAM lParam) {
    return onNotify(*reinterpret_cast<const NMHDR*>(lParam));
}

MainWindow::Result MainWindow::handleCommand(UINT, WPARAM wParam, LPARAM) {
    for (const auto& route : commandRoutes)
        if (route.id == LOWORD(wParam)) {
            (this->*route.command)();
            return 0;
        }
    return std::nullopt;
}

void MainWindow::exitCommand() {
    DestroyWindow(children_.window);
}

void MainWindow::aboutCommand() {
    MessageBoxA(children_.window, aboutText, aboutCaption, MB_ICONINFORMATION);
}

// Device > History...: the selected device's writes in the journal, newest first.
void MainWindow::historyCommand() {
    const auto id = list_.selectedDevice();
    if (!id)
        return;
    const int row = list_.rowOf(*id);
    const std::string name = row >= 0 ? list_.rows().row(row).name : Text::unknownName;
    std::string text;
    try {
        text = MainWindowRules::historyText(
            name, *id, Journal::readDeviceHistory(journal_.path(), formatDeviceId(*id)));
    } catch (const Journal::JournalError& failure) {
        MessageBoxA(children_.window, failure.what(), Text::errorCaption, MB_ICONERROR);
        return;
    }
    MessageBoxA(children_.window, text.c_str(), MainWindowRules::historyCaption,
                MB_ICONINFORMATION);
}

// Help > Journal of serial writes...: where they are recorded.
void MainWindow::journalCommand() {
    MessageBoxA(children_.window, journal_.locationText().c_str(), "Journal", MB_ICONINFORMATION);
}

// Asked by the dialog manager (the message loop's IsDialogMessage) when Enter
// is pressed.
MainWindow::Result MainWindow::handleGetDefId(UINT, WPARAM, LPARAM) {
    if (MainWindowRules::enterCommand(focusedControl()) == MainWindowRules::EnterCommand::setSerial)
        return MAKELRESULT(IDC_SET_SERIAL, DC_HASDEFID);
    return 0;
}

// The control that had the focus gets it back when the window is active again.
MainWindow::Result MainWindow::handleActivate(UINT, WPARAM wParam, LPARAM) {
    if (LOWORD(wParam) == WA_INACTIVE) {
        const HWND focus = GetFocus();
        if (focus && IsChild(children_.window, focus))
            lastFocus_ = focus;
    }
    return std::nullopt;
}

MainWindow::Result MainWindow::handleSetFocus(UINT, WPARAM, LPARAM) {
    const HWND target = lastFocus_ && IsWindow(lastFocus_) && IsWindowEnabled(lastFocus_)
                            ? lastFocus_
                            : children_.deviceList;
    if (target)
        SetFocus(target);
    return 0;
}

MainWindow::Result MainWindow::handlePaint(UINT, WPARAM, LPARAM) {
    PAINTSTRUCT paint;
    BeginPaint(children_.window, &paint);
    EndPaint(children_.window, &paint);
    return 0;
}

// Labels sit on the window's own background.
MainWindow::Result MainWindow::handleStaticColor(UINT, WPARAM wParam, LPARAM) {
    SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
    return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
}

MainWindow::Result MainWindow::handleNcActivate(UINT, WPARAM, LPARAM) {
    if (firstActivation_)
        onNcActivate();
    return std::nullopt;
}

// Nothing more reaches the window from the engine; what waits in the queue,
// and the rows, hand back their blocks while the window can still hear them.
MainWindow::Result MainWindow::handleDestroy(UINT, WPARAM, LPARAM) {
    mailbox_.close();
    list_.clear();
    PostQuitMessage(StartUp::exitNormal);
    return 0;
}

MainWindow::Result MainWindow::handleDpiChanged(UINT, WPARAM wParam, LPARAM lParam) {
    layout_.dpiChanged(children_, HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
    list_.layOutStatusParts(layout_.dpi());
    return 0;
}

MainWindow::Result MainWindow::handleTimer(UINT, WPARAM wParam, LPARAM) {
    if (wParam != DeviceListView::redrawTimer)
        return std::nullopt;
    list_.tick();
    return 0;
}

MainWindow::Result MainWindow::handleDeviceAdded(UINT, WPARAM wParam, LPARAM lParam) {
    onDeviceAddedMessage(WindowMessages::joinHalves(wParam, lParam));
    return 0;
}

MainWindow::Result MainWindow::handleDeviceRemoved(UINT, WPARAM wParam, LPARAM lParam) {
    onDeviceRemovedMessage(WindowMessages::joinHalves(wParam, lParam));
    return 0;
}

MainWindow::Result MainWindow::handleDeviceName(UINT, WPARAM wParam, LPARAM lParam) {
    const auto id = WindowMessages::take<std::uint64_t>(wParam);
    const auto name = WindowMessages::take<char[]>(static_cast<std::uintptr_t>(lParam));
    list_.rename(*id, name.get());
    return 0;
}

MainWindow::Result MainWindow::handleSerialNumber(UINT, WPARAM wParam, LPARAM lParam) {
    const auto id = WindowMessages::take<std::uint64_t>(wParam);
    onSerialNumberMessage(*id, static_cast<std::uint32_t>(lParam));
    return 0;
}

// A read that was not answered: the number is not known any more.
MainWindow::Result MainWindow::handleSerialUnread(UINT, WPARAM wParam, LPARAM lParam) {
    onSerialNumberMessage(WindowMessages::joinHalves(wParam, lParam), std::nullopt);
    return 0;
}

MainWindow::Result MainWindow::handleSelectionSettled(UINT, WPARAM, LPARAM) {
    showSelectedAddress();
    return 0;
}

MainWindow::Result MainWindow::handleSerialWritten(UINT, WPARAM wParam, LPARAM) {
    const auto report = WindowMessages::take<SerialWriteReport>(wParam);
    onSerialWrittenMessage(*report);
    return 0;
}
