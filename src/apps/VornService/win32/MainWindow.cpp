#include "MainWindow.h"

#include "Clipboard.h"
#include "DeviceListExport.h"
#include "DeviceListFile.h"
#include "Exception.h"
#include "ListView.h"
#include "NetworkDialog.h"
#include "ProductName.h"
#include "Resource.h"
#include "SerialConfirmDialog.h"
#include "SerialRecord.h"
#include "StartUp.h"
#include "Texts.h"
#include "Version.h"
#include "WindowMessages.h"

#include <commctrl.h>

#include <cstring>
#include <functional>
#include <utility>

using MainWindowRules::PanelState;

namespace {

#ifndef WM_DPICHANGED
constexpr UINT WM_DPICHANGED = 0x02E0;
#endif

constexpr DWORD mainStyle = WS_OVERLAPPEDWINDOW | WS_CLIPCHILDREN;

constexpr UINT_PTR redrawTimer = 1;
constexpr UINT redrawIntervalMs = 50;

constexpr const char* aboutText = VORN_PRODUCT_NAME
    " " VORN_VERSION_TEXT "\n\n"
    "Lists the audio-processing devices on the chosen network and reads and writes their "
    "serial numbers.";
constexpr const char* aboutCaption = "About " VORN_PRODUCT_NAME;

MainWindowRules::Rect windowRectIn(HWND window, HWND parent) {
    RECT rect{};
    GetWindowRect(window, &rect);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
    return {rect.left, rect.top, rect.right, rect.bottom};
}

} // namespace

MainWindow::MainWindow() = default;

MainWindow::~MainWindow() {
    // A window still up (the loop ended without closing it) goes first, while
    // its rows can still hand back their ids.
    if (mainWindow_ && IsWindow(mainWindow_))
        DestroyWindow(mainWindow_);
    logo_.reset();
    font_.reset();
    controller_.reset();
}

bool MainWindow::create(HINSTANCE instance, int showCommand) {
    instance_ = instance;
    LoadStringA(instance, IDS_APP_TITLE, title_, sizeof title_);
    LoadStringA(instance, IDC_VORNSERVICE, className_, sizeof className_);

    WNDCLASSEXA windowClass{};
    windowClass.cbSize = sizeof windowClass;
    windowClass.lpfnWndProc = &MainWindow::procedure;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_VORNSERVICE));
    windowClass.hIconSm = windowClass.hIcon;
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = className_;
    RegisterClassExA(&windowClass);

    // Sizes are the window system's pixels: 760 x 400 at 100 %, more on a
    // high-dpi screen (the program declares itself per-monitor aware).
    const auto size = MainWindowRules::mainWindowSize(systemDpi());
    const HWND window =
        CreateWindowExA(0, className_, title_, mainStyle, CW_USEDEFAULT, CW_USEDEFAULT, size.width,
                        size.height, nullptr, nullptr, instance, this);
    if (!window)
        return false;
    // Every command of the menu works: File > Exit and Help > About.
    WindowHandles::UniqueMenu menu(LoadMenuA(instance, MAKEINTRESOURCEA(IDC_VORNSERVICE)));
    if (menu && SetMenu(window, menu.get()))
        static_cast<void>(menu.release());
    ShowWindow(window, showCommand);
    UpdateWindow(window);
    accelerators_ = LoadAcceleratorsA(instance, MAKEINTRESOURCEA(IDC_VORNSERVICE));
    return true;
}

LRESULT MainWindow::handleMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    using namespace WindowMessages;
    switch (message) {
    case WM_CREATE:
        mainWindow_ = window;
        mailbox_.open(window);
        return onCreate();
    case WM_SIZE:
        onSize(HIWORD(lParam));
        return 0;
    case WM_NOTIFY:
        return onNotify(*reinterpret_cast<const NMHDR*>(lParam));
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDM_EXIT:
            DestroyWindow(window);
            return 0;
        case IDM_ABOUT:
            MessageBoxA(window, aboutText, aboutCaption, MB_ICONINFORMATION);
            return 0;
        case IDM_JOURNAL:
            MessageBoxA(window, journal_.locationText().c_str(), "Journal", MB_ICONINFORMATION);
            return 0;
        case IDM_EXPORT:
            exportDeviceList();
            return 0;
        case IDC_SET_SERIAL:
            setSerialClicked();
            return 0;
        case IDM_COPY:
            copySelection();
            return 0;
        }
        break;
    case DM_GETDEFID: {
        // Asked by the dialog manager (the message loop's IsDialogMessage)
        // when Enter is pressed.
        const int command = MainWindowRules::enterCommand(focusedControl());
        return command ? MAKELRESULT(command, DC_HASDEFID) : 0;
    }
    case WM_ACTIVATE:
        // The control that had the focus gets it back when the window is
        // active again.
        if (LOWORD(wParam) == WA_INACTIVE) {
            const HWND focus = GetFocus();
            if (focus && IsChild(window, focus))
                lastFocus_ = focus;
        }
        break;
    case WM_SETFOCUS: {
        const HWND target = lastFocus_ && IsWindow(lastFocus_) && IsWindowEnabled(lastFocus_)
                                ? lastFocus_
                                : deviceList_;
        if (target)
            SetFocus(target);
        return 0;
    }
    case WM_PAINT: {
        PAINTSTRUCT paint;
        BeginPaint(window, &paint);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_CTLCOLORSTATIC:
        // Labels sit on the window's own background.
        SetBkMode(reinterpret_cast<HDC>(wParam), TRANSPARENT);
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
    case WM_NCACTIVATE:
        if (firstActivation_)
            onNcActivate();
        break;
    case WM_DESTROY:
        // Nothing more reaches the window from the engine; what waits in the
        // queue, and the rows, hand back their blocks while the window can
        // still hear them.
        mailbox_.close();
        if (deviceList_)
            SendMessageA(deviceList_, LVM_DELETEALLITEMS, 0, 0);
        PostQuitMessage(StartUp::exitNormal);
        return 0;
    case WM_DPICHANGED:
        onDpiChanged(HIWORD(wParam), *reinterpret_cast<const RECT*>(lParam));
        return 0;
    case WM_TIMER:
        if (wParam == redrawTimer) {
            resumeListDrawing();
            return 0;
        }
        break;
    case WM_DEVICE_ADDED:
        onDeviceAddedMessage(joinHalves(wParam, lParam));
        return 0;
    case WM_DEVICE_REMOVED:
        onDeviceRemovedMessage(joinHalves(wParam, lParam));
        return 0;
    case WM_DEVICE_NAME: {
        const auto id = take<std::uint64_t>(wParam);
        const auto name = take<char[]>(static_cast<std::uintptr_t>(lParam));
        onDeviceNameMessage(*id, name.get());
        return 0;
    }
    case WM_SERIAL_NUMBER: {
        const auto id = take<std::uint64_t>(wParam);
        onSerialNumberMessage(*id, static_cast<std::uint32_t>(lParam));
        return 0;
    }
    case WM_SERIAL_UNREAD:
        onSerialNumberMessage(joinHalves(wParam, lParam), std::nullopt);
        return 0;
    case WM_SERIAL_SET_OK:
    case WM_SERIAL_SET_FAILED:
        onSerialSetMessage(joinHalves(wParam, lParam), message == WM_SERIAL_SET_OK);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// ---- Children and layout ----

LRESULT MainWindow::onCreate() {
    ListView::initCommonControls();
    if (!createChildren()) {
        MessageBoxA(mainWindow_, Text::childWindowsFailed, Text::errorCaption, MB_ICONERROR);
        PostQuitMessage(StartUp::exitNoChildren);
    }
    return 0;
}

HWND MainWindow::createChild(DWORD exStyle, const char* className, const char* text, DWORD style,
                             int x, int y, int width, int height, int id) {
    return CreateWindowExA(exStyle, className, text, style, x, y, width, height, mainWindow_,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, this);
}

bool MainWindow::createChildren() {
    dpi_ = windowDpi(mainWindow_);
    // The status bar along the bottom edge; the list ends above it.
    statusBar_ = createChild(0, STATUSCLASSNAMEA, "", WS_CHILD | WS_VISIBLE | SBARS_SIZEGRIP, 0, 0,
                             0, 0, IDC_STATUS_BAR);
    deviceList_ = createChild(WS_EX_CLIENTEDGE, WC_LISTVIEWA, "",
                              WS_CHILD | WS_VISIBLE | WS_TABSTOP | LVS_REPORT | LVS_SINGLESEL |
                                  LVS_SHOWSELALWAYS,
                              0, 0, listWidth_, 0, IDC_DEVICE_LIST);
    if (!deviceList_)
        return false;
    ListView::setExtendedStyle(deviceList_);
    const UINT headers[] = {IDS_COLUMN_NAME, IDS_COLUMN_PRODUCT, IDS_COLUMN_ID};
    for (int column = 0; column < 3; ++column)
        if (!ListView::insertColumn(deviceList_, instance_, column, headers[column],
                                    MainWindowRules::scaled(130, dpi_)))
            return false;

    currentSerialLabel_ = createChild(0, "Static", "", WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, 0);
    showCurrentSerial(Text::serialPending);
    separator_ = createChild(0, "Static", "", WS_CHILD | WS_VISIBLE | SS_GRAYFRAME, 0, 0, 0, 0, 0);
    logoView_ = createChild(0, "Static", "", WS_CHILD | WS_VISIBLE | SS_BITMAP, 0, 0, 0, 0, 0);
    char text[260] = {};
    LoadStringA(instance_, IDS_SERIAL_LABEL, text, sizeof text);
    serialLabel_ = createChild(0, "Static", text, WS_CHILD | WS_VISIBLE, 0, 0, 0, 0, 0);
    serialEdit_ =
        createChild(WS_EX_CLIENTEDGE, "Edit", "", WS_CHILD | WS_VISIBLE | WS_TABSTOP | ES_NUMBER, 0,
                    0, 0, 0, IDC_SERIAL_EDIT);
    SendMessageA(serialEdit_, EM_LIMITTEXT, 8, 0);
    LoadStringA(instance_, IDS_SET_SERIAL, text, sizeof text);
    setButton_ = createChild(0, "Button", text, WS_CHILD | WS_VISIBLE | WS_TABSTOP, 0, 0, 0, 0,
                             IDC_SET_SERIAL);

    applyDpi();
    applyEnables(PanelState::created);
    showDeviceCount();
    return true;
}

unsigned MainWindow::windowDpi(HWND window) {
    // GetDpiForWindow exists from Windows 10 (1607) on; before, every window
    // has the system's dpi.
    using GetDpiForWindowFunction = UINT(WINAPI*)(HWND);
    static const auto getDpiForWindow = reinterpret_cast<GetDpiForWindowFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("user32.dll"), "GetDpiForWindow")));
    if (getDpiForWindow && window)
        if (const UINT dpi = getDpiForWindow(window))
            return dpi;
    return systemDpi();
}

unsigned MainWindow::systemDpi() {
    const HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen)
        ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<unsigned>(dpi) : MainWindowRules::baseDpi;
}

// Font, logo, column widths, status parts and every child's place for dpi_:
// at creation and whenever the window moves to a screen of another dpi.
void MainWindow::applyDpi() {
    LOGFONTA description{};
    GetObjectA(GetStockObject(DEFAULT_GUI_FONT), sizeof description, &description);
    // The stock font is made for the system's dpi; the window may have another.
    description.lfHeight =
        MulDiv(description.lfHeight, static_cast<int>(dpi_), static_cast<int>(systemDpi()));
    WindowHandles::UniqueFont font(CreateFontIndirectA(&description));
    const auto fontParam = reinterpret_cast<WPARAM>(font.get());
    for (const HWND child :
         {deviceList_, statusBar_, currentSerialLabel_, serialLabel_, serialEdit_, setButton_})
        if (child)
            SendMessageA(child, WM_SETFONT, fontParam, TRUE);
    font_ = std::move(font); // the old font is deleted only once no child uses it

    const int percent = MainWindowRules::logoArtPercent(dpi_);
    const int logoId = percent == 200 ? IDB_LOGO_200 : percent == 150 ? IDB_LOGO_150 : IDB_LOGO;
    WindowHandles::UniqueBitmap logo(static_cast<HBITMAP>(
        LoadImageA(instance_, MAKEINTRESOURCEA(logoId), IMAGE_BITMAP, 0, 0, 0)));
    BITMAP logoSize{};
    if (logo)
        GetObjectA(logo.get(), sizeof logoSize, &logoSize);
    SendMessageA(logoView_, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(logo.get()));
    logo_ = std::move(logo);

    if (statusBar_) {
        const auto parts = MainWindowRules::statusPartRights(dpi_);
        SendMessageA(statusBar_, SB_SETPARTS, parts.size(), reinterpret_cast<LPARAM>(parts.data()));
        SendMessageA(statusBar_, WM_SIZE, 0, 0);
    }

    RECT client{};
    GetClientRect(mainWindow_, &client);
    SIZE ideal{};
    SendMessageA(setButton_, BCM_GETIDEALSIZE, 0, reinterpret_cast<LPARAM>(&ideal));
    MainWindowRules::LayoutInput input;
    input.dpi = dpi_;
    input.clientWidth = client.right;
    input.clientHeight = client.bottom;
    input.statusHeight = statusHeight();
    input.textHeight = textHeight(serialLabel_);
    input.edgeHeight = GetSystemMetrics(SM_CYEDGE);
    input.logo = {logoSize.bmWidth, logoSize.bmHeight};
    input.idealButton = {ideal.cx, ideal.cy};
    const auto layout = MainWindowRules::layoutFor(input);
    listWidth_ = layout.list.width();
    for (int column = 0; column < 3; ++column)
        SendMessageA(deviceList_, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(column),
                     layout.columnWidth);
    const std::pair<HWND, MainWindowRules::Rect> places[] = {
        {deviceList_, layout.list},         {currentSerialLabel_, layout.currentSerial},
        {separator_, layout.separator},     {logoView_, layout.logo},
        {serialLabel_, layout.serialLabel}, {serialEdit_, layout.edit},
        {setButton_, layout.button}};
    for (const auto& [child, rect] : places)
        if (child)
            MoveWindow(child, rect.left, rect.top, rect.width(), rect.height(), TRUE);
}

void MainWindow::onDpiChanged(unsigned dpi, const RECT& suggested) {
    dpi_ = dpi;
    SetWindowPos(mainWindow_, nullptr, suggested.left, suggested.top,
                 suggested.right - suggested.left, suggested.bottom - suggested.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    applyDpi();
}

int MainWindow::statusHeight() const {
    if (!statusBar_)
        return 0;
    RECT rect{};
    GetWindowRect(statusBar_, &rect);
    return rect.bottom - rect.top;
}

void MainWindow::showDeviceCount() {
    if (statusBar_)
        SendMessageA(
            statusBar_, SB_SETTEXTA, 0,
            reinterpret_cast<LPARAM>(MainWindowRules::deviceCountText(rows_.count()).c_str()));
}

void MainWindow::showSelectedAddress() {
    if (!statusBar_)
        return;
    std::optional<std::uint32_t> address;
    if (const auto id = selectedDevice(); id && controller_) {
        try {
            address = controller_->getDevice(*id).address;
        } catch (const Vorn::UnknownFrameIdException&) {
            // gone from the network since: no address to show
        }
    }
    SendMessageA(statusBar_, SB_SETTEXTA, 2,
                 reinterpret_cast<LPARAM>(MainWindowRules::deviceAddressText(address).c_str()));
}

int MainWindow::textHeight(HWND control) const {
    WindowHandles::WindowDC dc(control, font_.get());
    TEXTMETRICA metrics{};
    GetTextMetricsA(dc.get(), &metrics);
    return metrics.tmHeight;
}

void MainWindow::onSize(int clientHeight) {
    if (!deviceList_ || !separator_)
        return;
    RECT client{};
    GetClientRect(mainWindow_, &client);
    if (statusBar_)
        SendMessageA(statusBar_, WM_SIZE, 0, 0); // it places itself along the bottom
    const auto list = MainWindowRules::listRectFor(clientHeight, statusHeight(), dpi_);
    const auto separator = MainWindowRules::separatorRectFor(windowRectIn(separator_, mainWindow_),
                                                             client.right, dpi_);
    HDWP batch = BeginDeferWindowPos(2);
    if (batch)
        batch = DeferWindowPos(batch, deviceList_, nullptr, list.left, list.top, list.width(),
                               list.height(), 0);
    if (batch)
        batch = DeferWindowPos(batch, separator_, nullptr, separator.left, separator.top,
                               separator.width(), separator.height(), 0);
    if (batch)
        EndDeferWindowPos(batch);
}

// ---- Start-up ----

void MainWindow::onNcActivate() {
    firstActivation_ = false;
    NetworkDialogState state;
    state.instance = instance_;
    state.owner = mainWindow_;
    NetworkDialog dialog(state, adapterQuery_);
    if (dialog.show() == IDCANCEL) {
        PostQuitMessage(StartUp::exitNormal);
        return;
    }
    const auto address = chosenAddress(state.choices, state.selected);
    if (address && statusBar_) {
        interfaceText_ = MainWindowRules::interfaceText(
            state.choices[static_cast<std::size_t>(state.selected)].description, *address);
        SendMessageA(statusBar_, SB_SETTEXTA, 1, reinterpret_cast<LPARAM>(interfaceText_.c_str()));
    }
    startController(address);
}

void MainWindow::startController(const std::optional<std::string>& address) {
    StartUp::Result started = StartUp::startController(
        address, [this](VornService& controller) { registerHandlers(controller); });
    if (started.failure) {
        MessageBoxA(mainWindow_, started.failure->c_str(), Text::errorCaption, MB_ICONERROR);
        PostQuitMessage(StartUp::exitNormal);
        return;
    }
    controller_ = std::move(started.controller);
    if (address)
        journal_.useInterface(*address);
}

// The handlers get the controller they run for, fully built: they never read
// controller_, which the window thread sets only after start() has returned.
void MainWindow::registerHandlers(VornService& controller) {
    controller.deviceAddedHandlers.push_back(
        [this, &controller](std::uint64_t id) { onDeviceAdded(controller, id); });
    controller.deviceRemovedHandlers.push_back([this](std::uint64_t id) { onDeviceRemoved(id); });
}

// ---- Engine threads: read the controller, post, nothing else ----

void MainWindow::onDeviceAdded(VornService& controller, std::uint64_t id) {
    try {
        if (!isServicedType(controller.getDevice(id).deviceType))
            return;
    } catch (const Vorn::UnknownFrameIdException&) {
        return;
    }
    mailbox_.post(WM_DEVICE_ADDED, WindowMessages::highHalf(id), WindowMessages::lowHalf(id));
}

void MainWindow::onDeviceRemoved(std::uint64_t id) {
    mailbox_.post(WM_DEVICE_REMOVED, WindowMessages::highHalf(id), WindowMessages::lowHalf(id));
}

void MainWindow::onDeviceName(std::uint64_t id, bool ok, std::string name) {
    if (!ok)
        return;
    auto text = std::make_unique<char[]>(name.size() + 1);
    std::memcpy(text.get(), name.c_str(), name.size() + 1);
    mailbox_.post(WM_DEVICE_NAME, std::make_unique<std::uint64_t>(id), std::move(text));
}

void MainWindow::onSerialNumber(std::uint64_t id, bool ok, unsigned serial) {
    if (!ok) {
        // The journal needs to know when a read-back was not answered.
        mailbox_.post(WM_SERIAL_UNREAD, WindowMessages::highHalf(id), WindowMessages::lowHalf(id));
        return;
    }
    mailbox_.post(WM_SERIAL_NUMBER, std::make_unique<std::uint64_t>(id),
                  static_cast<std::uintptr_t>(serial));
}

void MainWindow::onSerialNumberSet(std::uint64_t id, bool ok) {
    mailbox_.post(ok ? WM_SERIAL_SET_OK : WM_SERIAL_SET_FAILED, WindowMessages::highHalf(id),
                  WindowMessages::lowHalf(id));
}

// ---- Window thread: the private messages ----

// The name is asked for here, once the row is certain to exist before the
// answer can arrive; a device whose name request is refused gets no row.
void MainWindow::onDeviceAddedMessage(std::uint64_t id) {
    if (!controller_)
        return;
    unsigned deviceType;
    try {
        deviceType = controller_->getDevice(id).deviceType;
    } catch (const Vorn::UnknownFrameIdException&) {
        return;
    }
    using namespace std::placeholders;
    if (!controller_->requestDeviceName(id, std::bind(&MainWindow::onDeviceName, this, _1, _2, _3),
                                        NameRounds::UntilNamed))
        return;
    suspendListDrawing();
    auto rowId = std::make_unique<std::uint64_t>(id);
    DeviceRows::Row shown{id, Text::unknownName, productName(deviceType), formatDeviceId(id),
                          reinterpret_cast<std::uintptr_t>(rowId.get())};
    // At the end, or in its sorted place while the list is sorted.
    const int row = rows_.placeFor(shown);
    rows_.inserted(row, std::move(shown));
    const int at = ListView::insertRow(deviceList_, row, LPSTR_TEXTCALLBACKA,
                                       reinterpret_cast<LPARAM>(rowId.get()));
    if (at < 0) {
        rows_.erased(row);
        return;
    }
    static_cast<void>(rowId.release()); // the row owns it now
    ListView::setCellText(deviceList_, at, 1, productName(deviceType));
    ListView::setCellText(deviceList_, at, 2, formatDeviceId(id).c_str());
    showDeviceCount();
}

void MainWindow::onDeviceRemovedMessage(std::uint64_t id) {
    journal_.deviceLeft(id);
    const int row = findRow(id);
    if (row < 0)
        return;
    const bool wasSelected = row == selectedRow();
    SendMessageA(deviceList_, LVM_DELETEITEM, static_cast<WPARAM>(row), 0);
    // A deleted row reports no change of selection: the panel must learn here
    // that its device is gone.
    if (wasSelected) {
        showCurrentSerial(Text::serialPending);
        showSelectedAddress();
    }
    if (!writing_)
        refreshSelectionState();
    showDeviceCount();
}

void MainWindow::onDeviceNameMessage(std::uint64_t id, const char* name) {
    const int row = findRow(id);
    if (row < 0)
        return;
    suspendListDrawing();
    ListView::setCellText(deviceList_, row, 0, name);
    // Sorted by name, the row may have to move: the order is restored with
    // the next redraw, all renamed rows at once.
    if (rows_.renamed(row, name)) {
        resortPending_ = true;
        if (!listDrawingSuspended_)
            applyOrder();
    }
}

void MainWindow::applyOrder() {
    resortPending_ = false;
    ListView::sortRows(deviceList_, rows_.resort());
    if (const int selected = selectedRow(); selected >= 0)
        ListView::ensureVisible(deviceList_, selected);
}

void MainWindow::onColumnClick(int column) {
    rows_.sortBy(column);
    applyOrder();
    const auto sort = rows_.sort();
    ListView::showSortArrow(deviceList_, sort.column, sort.ascending);
}

// Devices arrive in bursts (every device answers the first heartbeat at
// once), each with its own messages. Redrawing the list after each of them
// would cost far more than the rows themselves: while they come, the list is
// redrawn at most every redrawInterval.
void MainWindow::suspendListDrawing() {
    if (listDrawingSuspended_)
        return;
    if (!SetTimer(mainWindow_, redrawTimer, redrawIntervalMs, nullptr))
        return; // without a timer to resume it, drawing stays on
    SendMessageA(deviceList_, WM_SETREDRAW, FALSE, 0);
    listDrawingSuspended_ = true;
}

void MainWindow::resumeListDrawing() {
    KillTimer(mainWindow_, redrawTimer);
    if (!listDrawingSuspended_)
        return;
    listDrawingSuspended_ = false;
    if (resortPending_)
        applyOrder();
    SendMessageA(deviceList_, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(deviceList_, nullptr, FALSE);
}

void MainWindow::onSerialNumberMessage(std::uint64_t id, std::optional<std::uint32_t> serial) {
    if (serial && MainWindowRules::showsSerialReply(findRow(id), selectedRow()))
        showCurrentSerial(formatSerial(*serial));
    journal_.serialRead(mainWindow_, id, serial);
}

void MainWindow::onSerialSetMessage(std::uint64_t id, bool ok) {
    journal_.writeDone(id, ok); // its read-back follows
    show(MainWindowRules::writeOutcome(ok));
    writing_ = false;
    // The device may have left while it was written: then nothing is selected.
    applyEnables(selectedRow() != -1 ? PanelState::writeFinished : PanelState::noRowSelected);
    readSerialNumber(id);
}

// ---- The list ----

LRESULT MainWindow::onNotify(const NMHDR& header) {
    if (header.idFrom != IDC_DEVICE_LIST)
        return 0;
    switch (header.code) {
    case LVN_GETDISPINFOA: {
        auto& display = const_cast<NMLVDISPINFOA&>(reinterpret_cast<const NMLVDISPINFOA&>(header));
        if ((display.item.mask & LVIF_TEXT) && display.item.pszText && display.item.cchTextMax > 0)
            lstrcpynA(display.item.pszText, Text::unknownName, display.item.cchTextMax);
        return 0;
    }
    case LVN_BEGINLABELEDITA:
        return 1;
    case LVN_DELETEITEM: {
        const auto& deleted = reinterpret_cast<const NMLISTVIEW&>(header);
        WindowMessages::take<std::uint64_t>(static_cast<std::uintptr_t>(deleted.lParam));
        if (deleted.iItem >= 0 && deleted.iItem < rows_.count())
            rows_.erased(deleted.iItem);
        return 0;
    }
    case LVN_ITEMCHANGED:
        onItemChanged(reinterpret_cast<const NMLISTVIEW&>(header));
        return 0;
    case LVN_COLUMNCLICK:
        onColumnClick(reinterpret_cast<const NMLISTVIEW&>(header).iSubItem);
        return 0;
    }
    return 0;
}

void MainWindow::onItemChanged(const NMLISTVIEW& change) {
    if (controller_ && change.iItem >= 0 && change.iItem < rows_.count()) {
        const std::uint64_t id = rows_.at(change.iItem);
        switch (MainWindowRules::selectionChange(change.uOldState, change.uNewState)) {
        case MainWindowRules::SelectionChange::selected:
            controller_->selectDevice(id);
            readSerialNumber(id);
            showSelectedAddress();
            break;
        case MainWindowRules::SelectionChange::deselected:
            showCurrentSerial(Text::serialPending);
            controller_->deselectDevice(id);
            showSelectedAddress();
            break;
        case MainWindowRules::SelectionChange::none:
            break;
        }
    }
    // A row's text changing is an item change too: while a write runs it must
    // not bring the serial controls back.
    if (!writing_)
        refreshSelectionState();
}

int MainWindow::selectedRow() const {
    return deviceList_ ? ListView::nextSelected(deviceList_) : -1;
}

std::optional<std::uint64_t> MainWindow::selectedDevice() const {
    const int row = selectedRow();
    if (row < 0 || row >= rows_.count())
        return std::nullopt;
    return rows_.at(row);
}

// ---- File > Export device list... ----

void MainWindow::exportDeviceList() {
    std::vector<DeviceListExport::Row> rows;
    for (int i = 0; i < rows_.count(); ++i) {
        const DeviceRows::Row& row = rows_.row(i);
        std::string address;
        if (controller_) {
            try {
                address = SerialRecord::deviceFacts(controller_->getDevice(row.id), {}).address;
            } catch (const Vorn::UnknownFrameIdException&) {
            }
        }
        rows.push_back({row.name, row.product, row.idText, address, journal_.lastRead(row.id)});
    }
    const auto path =
        exportChooser_ ? exportChooser_(mainWindow_) : DeviceListFile::askWhere(mainWindow_);
    if (path)
        DeviceListFile::save(mainWindow_, *path, DeviceListExport::csv(rows));
}

// ---- The serial panel ----

void MainWindow::showCurrentSerial(const std::string& text) {
    char pattern[260] = {};
    LoadStringA(instance_, IDS_CURRENT_SERIAL, pattern, sizeof pattern);
    SetWindowTextA(currentSerialLabel_, fillSerial(pattern, text).c_str());
}

void MainWindow::readSerialNumber(std::uint64_t id) {
    showCurrentSerial(Text::serialPending);
    if (!controller_)
        return;
    using namespace std::placeholders;
    controller_->requestSerialNumber(id, std::bind(&MainWindow::onSerialNumber, this, _1, _2, _3));
}

void MainWindow::setSerialClicked() {
    const auto id = selectedDevice();
    if (!id)
        return;
    char typed[260] = {};
    GetWindowTextA(serialEdit_, typed, 259);
    const auto start = MainWindowRules::startSetSerial(typed);
    if (start.problem) {
        show(*start.problem);
        return;
    }
    SetWindowTextA(serialEdit_, "");

    SerialConfirmState state;
    state.instance = instance_;
    state.owner = mainWindow_;
    state.first = *start.first;
    SerialConfirmDialog dialog(state);
    if (dialog.show() != IDOK)
        return;

    // Nothing is written without a record in the journal.
    const auto target = static_cast<std::uint32_t>(state.second);
    std::optional<Vorn::FrameInfo> device;
    try {
        if (controller_)
            device = controller_->getDevice(*id);
    } catch (const Vorn::UnknownFrameIdException&) {
    }
    if (!device) {
        show(MainWindowRules::writeRefused());
        return;
    }
    const int row = findRow(*id);
    const std::optional<std::string> name = row >= 0 && rows_.row(row).name != Text::unknownName
                                                ? std::optional<std::string>(rows_.row(row).name)
                                                : std::nullopt;
    if (!journal_.recordIntent(mainWindow_, SerialRecord::deviceFacts(*device, name), *id, target))
        return;
    using namespace std::placeholders;
    const bool sent = controller_->setSerialNumber(
        *id, target, std::bind(&MainWindow::onSerialNumberSet, this, _1, _2));
    if (!sent) {
        journal_.notSent(mainWindow_, *id);
        show(MainWindowRules::writeRefused());
        return;
    }
    writing_ = true;
    applyEnables(PanelState::writeInProgress);
    showCurrentSerial(Text::serialPending);
}

MainWindowRules::Focus MainWindow::focusedControl() const {
    using MainWindowRules::Focus;
    const HWND focus = GetFocus();
    if (!focus)
        return Focus::other;
    if (focus == deviceList_)
        return Focus::deviceList;
    if (focus == serialEdit_)
        return Focus::serialEdit;
    if (focus == setButton_)
        return Focus::setButton;
    return Focus::other;
}

void MainWindow::copySelection() {
    const int row = selectedRow();
    switch (MainWindowRules::copyTarget(focusedControl(), row >= 0)) {
    case MainWindowRules::CopyTarget::editText:
        SendMessageA(serialEdit_, WM_COPY, 0, 0);
        return;
    case MainWindowRules::CopyTarget::device:
        Clipboard::setText(mainWindow_,
                           MainWindowRules::copiedDevice(ListView::cellText(deviceList_, row, 0),
                                                         ListView::cellText(deviceList_, row, 1),
                                                         ListView::cellText(deviceList_, row, 2)));
        return;
    case MainWindowRules::CopyTarget::nothing:
        return;
    }
}

void MainWindow::applyEnables(PanelState state) {
    const auto enables = MainWindowRules::enablesFor(state);
    // Every row's text update is an item change too: thousands of them while
    // devices arrive, each of which would cost the window system a round trip
    // per control if nothing had changed.
    if (enables == shownEnables_)
        return;
    shownEnables_ = enables;
    EnableWindow(deviceList_, enables.deviceList);
    EnableWindow(serialEdit_, enables.serialControls);
    EnableWindow(serialLabel_, enables.serialControls);
    EnableWindow(setButton_, enables.serialControls);
    EnableWindow(currentSerialLabel_, enables.currentSerialLabel);
}

void MainWindow::refreshSelectionState() {
    applyEnables(selectedRow() != -1 ? PanelState::rowSelected : PanelState::noRowSelected);
}

void MainWindow::show(const MainWindowRules::Notice& notice) {
    MessageBoxA(mainWindow_, notice.text, notice.caption, notice.icon);
}
