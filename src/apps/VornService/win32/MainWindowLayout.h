#pragma once

#include "MainWindowRules.h"
#include "WindowHandles.h"

#include <windows.h>

// The main window, the children the layout places and the module that holds
// the logo.
struct MainWindowChildren {
    HINSTANCE instance = nullptr;
    HWND window = nullptr;
    HWND deviceList = nullptr;
    HWND statusBar = nullptr;
    HWND currentSerialLabel = nullptr;
    HWND separator = nullptr;
    HWND logoView = nullptr;
    HWND serialLabel = nullptr;
    HWND serialEdit = nullptr;
    HWND setButton = nullptr;
};

// The main window's dpi, font, logo and the places of its children: laid out
// for the window's dpi when it is created and again when it moves to a screen
// of another dpi; the list and the separator follow a resize. What goes where
// is MainWindowRules' decision; this carries it out. Window thread only.
class MainWindowLayout {
public:
    // The dpi of `window` (GetDpiForWindow where the system has it, else the
    // system's), and the system's.
    static unsigned windowDpi(HWND window);
    static unsigned systemDpi();
    // The main window's outer size when it is created.
    static MainWindowRules::Size initialSize();

    // Font, logo, column widths, status bar parts and every child's place,
    // for the window's own dpi.
    void apply(const MainWindowChildren& children);
    // WM_DPICHANGED: the window takes the suggested rectangle and is laid out
    // for `dpi`.
    void dpiChanged(const MainWindowChildren& children, unsigned dpi, const RECT& suggested);
    // WM_SIZE: the list's height and the separator's width follow the client area.
    void resize(const MainWindowChildren& children, int clientHeight);

    unsigned dpi() const { return dpi_; }
    // Deletes the font and the logo (the window is gone).
    void release();

private:
    void layOut(const MainWindowChildren& children);
    int textHeight(HWND control) const;
    static int statusHeight(HWND statusBar);

    unsigned dpi_ = MainWindowRules::baseDpi; // as laid out
    WindowHandles::UniqueFont font_;
    WindowHandles::UniqueBitmap logo_;
};
