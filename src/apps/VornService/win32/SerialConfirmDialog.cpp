#include "SerialConfirmDialog.h"

#include "Resource.h"
#include "SerialConfirmation.h"

INT_PTR SerialConfirmDialog::show() {
    return DialogBoxParamA(state_.instance, MAKEINTRESOURCEA(IDD_CONFIRM_SERIAL), state_.owner,
                           &SerialConfirmDialog::procedure, reinterpret_cast<LPARAM>(this));
}

INT_PTR SerialConfirmDialog::handleMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        initialise(dialog);
        return FALSE; // the focus is set
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            confirm(dialog);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        return FALSE;
    default:
        return FALSE;
    }
}

void SerialConfirmDialog::initialise(HWND dialog) {
    char prompt[260] = {};
    LoadStringA(state_.instance, IDS_CONFIRM_SERIAL, prompt, sizeof prompt);
    SetDlgItemTextA(dialog, IDC_CONFIRM_LABEL, prompt);
    const HWND edit = GetDlgItem(dialog, IDC_CONFIRM_EDIT);
    SendMessageA(edit, EM_LIMITTEXT, 8, 0);
    SetFocus(edit);

    // Centred on the owner, size unchanged.
    RECT owner{}, own{};
    GetWindowRect(state_.owner, &owner);
    GetWindowRect(dialog, &own);
    const int x = owner.left + ((owner.right - owner.left) - (own.right - own.left)) / 2;
    const int y = owner.top + ((owner.bottom - owner.top) - (own.bottom - own.top)) / 2;
    SetWindowPos(dialog, nullptr, x, y, 0, 0, SWP_NOSIZE);
    SetFocus(edit);
}

void SerialConfirmDialog::confirm(HWND dialog) {
    const HWND edit = GetDlgItem(dialog, IDC_CONFIRM_EDIT);
    if (!edit)
        return;
    char typed[260] = {};
    GetWindowTextA(edit, typed, 259);
    const SerialConfirmation decision = SerialConfirmation::decide(state_.first, typed);
    if (decision.problem) {
        MessageBoxA(state_.owner, decision.problem->text, decision.problem->caption,
                    decision.problem->icon);
        return;
    }
    state_.second = *decision.confirmed;
    EndDialog(dialog, IDOK);
}
