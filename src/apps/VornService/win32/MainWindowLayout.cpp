#include "MainWindowLayout.h"

#include "Resource.h"

#include <commctrl.h>

#include <utility>

namespace {

MainWindowRules::Rect windowRectIn(HWND window, HWND parent) {
    RECT rect{};
    GetWindowRect(window, &rect);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&rect), 2);
    return {rect.left, rect.top, rect.right, rect.bottom};
}

} // namespace

unsigned MainWindowLayout::windowDpi(HWND window) {
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

unsigned MainWindowLayout::systemDpi() {
    const HDC screen = GetDC(nullptr);
    const int dpi = screen ? GetDeviceCaps(screen, LOGPIXELSY) : 0;
    if (screen)
        ReleaseDC(nullptr, screen);
    return dpi > 0 ? static_cast<unsigned>(dpi) : MainWindowRules::baseDpi;
}

MainWindowRules::Size MainWindowLayout::initialSize() {
    // Sizes are the window system's pixels: 760 x 400 at 100 %, more on a
    // high-dpi screen (the program declares itself per-monitor aware).
    return MainWindowRules::mainWindowSize(systemDpi());
}

void MainWindowLayout::apply(const MainWindowChildren& children) {
    dpi_ = windowDpi(children.window);
    layOut(children);
}

void MainWindowLayout::dpiChanged(const MainWindowChildren& children, unsigned dpi,
                                  const RECT& suggested) {
    dpi_ = dpi;
    SetWindowPos(children.window, nullptr, suggested.left, suggested.top,
                 suggested.right - suggested.left, suggested.bottom - suggested.top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
    layOut(children);
}

void MainWindowLayout::release() {
    logo_.reset();
    font_.reset();
}

// Font, logo, column widths and every child's place for dpi_ (the status
// bar's parts are the device list's: DeviceListView::layOutStatusParts).
void MainWindowLayout::layOut(const MainWindowChildren& children) {
    LOGFONTA description{};
    GetObjectA(GetStockObject(DEFAULT_GUI_FONT), sizeof description, &description);
    // The stock font is made for the system's dpi; the window may have another.
    description.lfHeight =
        MulDiv(description.lfHeight, static_cast<int>(dpi_), static_cast<int>(systemDpi()));
    WindowHandles::UniqueFont font(CreateFontIndirectA(&description));
    const auto fontParam = reinterpret_cast<WPARAM>(font.get());
    for (const HWND child : {children.deviceList, children.statusBar, children.currentSerialLabel,
                             children.serialLabel, children.serialEdit, children.setButton})
        if (child)
            SendMessageA(child, WM_SETFONT, fontParam, TRUE);
    font_ = std::move(font); // the old font is deleted only once no child uses it

    const int percent = MainWindowRules::logoArtPercent(dpi_);
    const int logoId = percent == 200 ? IDB_LOGO_200 : percent == 150 ? IDB_LOGO_150 : IDB_LOGO;
    WindowHandles::UniqueBitmap logo(static_cast<HBITMAP>(
        LoadImageA(children.instance, MAKEINTRESOURCEA(logoId), IMAGE_BITMAP, 0, 0, 0)));
    BITMAP logoSize{};
    if (logo)
        GetObjectA(logo.get(), sizeof logoSize, &logoSize);
    SendMessageA(children.logoView, STM_SETIMAGE, IMAGE_BITMAP,
                 reinterpret_cast<LPARAM>(logo.get()));
    logo_ = std::move(logo);

    RECT client{};
    GetClientRect(children.window, &client);
    SIZE ideal{};
    SendMessageA(children.setButton, BCM_GETIDEALSIZE, 0, reinterpret_cast<LPARAM>(&ideal));
    MainWindowRules::LayoutInput input;
    input.dpi = dpi_;
    input.clientWidth = client.right;
    input.clientHeight = client.bottom;
    input.statusHeight = statusHeight(children.statusBar);
    input.textHeight = textHeight(children.serialLabel);
    input.edgeHeight = GetSystemMetrics(SM_CYEDGE);
    input.logo = {logoSize.bmWidth, logoSize.bmHeight};
    input.idealButton = {ideal.cx, ideal.cy};
    const auto layout = MainWindowRules::layoutFor(input);
    for (int column = 0; column < 3; ++column)
        SendMessageA(children.deviceList, LVM_SETCOLUMNWIDTH, static_cast<WPARAM>(column),
                     layout.columnWidth);
    const std::pair<HWND, MainWindowRules::Rect> places[] = {
        {children.deviceList, layout.list},
        {children.currentSerialLabel, layout.currentSerial},
        {children.separator, layout.separator},
        {children.logoView, layout.logo},
        {children.serialLabel, layout.serialLabel},
        {children.serialEdit, layout.edit},
        {children.setButton, layout.button}};
    for (const auto& [child, rect] : places)
        if (child)
            MoveWindow(child, rect.left, rect.top, rect.width(), rect.height(), TRUE);
}

void MainWindowLayout::resize(const MainWindowChildren& children, int clientHeight) {
    if (!children.deviceList || !children.separator)
        return;
    RECT client{};
    GetClientRect(children.window, &client);
    if (children.statusBar)
        SendMessageA(children.statusBar, WM_SIZE, 0, 0); // it places itself along the bottom
    const auto list =
        MainWindowRules::listRectFor(clientHeight, statusHeight(children.statusBar), dpi_);
    const auto separator = MainWindowRules::separatorRectFor(
        windowRectIn(children.separator, children.window), client.right, dpi_);
    HDWP batch = BeginDeferWindowPos(2);
    if (batch)
        batch = DeferWindowPos(batch, children.deviceList, nullptr, list.left, list.top,
                               list.width(), list.height(), 0);
    if (batch)
        batch = DeferWindowPos(batch, children.separator, nullptr, separator.left, separator.top,
                               separator.width(), separator.height(), 0);
    if (batch)
        EndDeferWindowPos(batch);
}

int MainWindowLayout::statusHeight(HWND statusBar) {
    if (!statusBar)
        return 0;
    RECT rect{};
    GetWindowRect(statusBar, &rect);
    return rect.bottom - rect.top;
}

int MainWindowLayout::textHeight(HWND control) const {
    WindowHandles::WindowDC dc(control, font_.get());
    TEXTMETRICA metrics{};
    GetTextMetricsA(dc.get(), &metrics);
    return metrics.tmHeight;
}
