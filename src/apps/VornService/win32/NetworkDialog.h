#pragma once

#include "NetworkChoice.h"
#include "WindowProcedure.h"
#include "transport/Enumerator.h"

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

// The dialog's in/out state, owned by the caller.
struct NetworkDialogState {
    HINSTANCE instance = nullptr;
    HWND owner = nullptr;
    std::vector<NetworkChoice> choices; // filled by the dialog
    int selected = -1;                  // first selected row when OK or Cancel was pressed
};

// The modal dialog (resource 129) in which the user picks the network
// interface: one row per adapter address, OK enabled while a row is selected.
// A failed adapter enumeration is shown in an error box and leaves the list
// empty, so that only Cancel ends the dialog.
class NetworkDialog : public DialogProcedure<NetworkDialog> {
public:
    // `query` lists the adapters: the system's unless a test gives its own.
    explicit NetworkDialog(NetworkDialogState& state,
                           Network::Enumerator::Query query = &Network::Enumerator::querySystem);

    // Runs the dialog; IDOK or IDCANCEL.
    INT_PTR show();

    INT_PTR handleMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam);

private:
    void fillList();
    void updateOkButton();
    int firstSelectedRow() const;

    NetworkDialogState& state_;
    Network::Enumerator::Query query_;
    HWND dialog_ = nullptr;
    HWND list_ = nullptr;
    std::optional<std::string> enumerationFailure_; // shown once the dialog is up
};
