#pragma once

#include "ErrorBox.h"

#include <windows.h>

// The one way every window and dialog of the program reaches its object: the
// object's address is stored in the window when it is created (GWLP_USERDATA
// on WM_NCCREATE for windows, DWLP_USER on WM_INITDIALOG for dialogs, both
// pointer-wide) and read back for every later message, which goes to the
// object's handleMessage. Messages that arrive before the address is stored
// (WM_GETMINMAXINFO comes before WM_NCCREATE) get the default handling. No
// exception crosses into the window system, and none ends unseen: one
// escaping a handler is shown in an "Error" box and the message gets the
// default result; the window goes on working.

template <class Derived> class WindowProcedure {
public:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
        Derived* self;
        if (message == WM_NCCREATE) {
            const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
            self = static_cast<Derived*>(create->lpCreateParams);
            SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
        } else {
            self = reinterpret_cast<Derived*>(GetWindowLongPtrA(window, GWLP_USERDATA));
        }
        if (self) {
            try {
                return self->handleMessage(window, message, wParam, lParam);
            } catch (...) {
                ErrorBox::showCurrentException(window);
            }
        }
        return DefWindowProcA(window, message, wParam, lParam);
    }

protected:
    // Stops forwarding: later messages of `window` get the default handling.
    static void detach(HWND window) { SetWindowLongPtrA(window, GWLP_USERDATA, 0); }
};

template <class Derived> class DialogProcedure {
public:
    static INT_PTR CALLBACK procedure(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
        Derived* self;
        if (message == WM_INITDIALOG) {
            self = reinterpret_cast<Derived*>(lParam);
            SetWindowLongPtrA(dialog, DWLP_USER, reinterpret_cast<LONG_PTR>(self));
        } else {
            self = reinterpret_cast<Derived*>(GetWindowLongPtrA(dialog, DWLP_USER));
        }
        if (!self)
            return FALSE;
        try {
            return self->handleMessage(dialog, message, wParam, lParam);
        } catch (...) {
            ErrorBox::showCurrentException(dialog);
            return FALSE;
        }
    }
};
