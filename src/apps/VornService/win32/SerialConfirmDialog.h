#pragma once

#include "WindowProcedure.h"

#include <windows.h>

// The dialog's in/out state, owned by the caller.
struct SerialConfirmState {
    HINSTANCE instance = nullptr;
    HWND owner = nullptr; // the main window; also owns the dialog's message boxes
    int first = 0;        // the number typed in the main window
    int second = -1;      // the confirmed number after IDOK
};

// The modal dialog (resource 130) that asks for a new serial number a second
// time; it ends with IDOK only when both entries are the same number.
class SerialConfirmDialog : public DialogProcedure<SerialConfirmDialog> {
public:
    explicit SerialConfirmDialog(SerialConfirmState& state) : state_(state) {}

    // Runs the dialog; IDOK (entries matched) or IDCANCEL.
    INT_PTR show();

    INT_PTR handleMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

private:
    void initialise(HWND dialog);
    void confirm(HWND dialog);

    SerialConfirmState& state_;
};
