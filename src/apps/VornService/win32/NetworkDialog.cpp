#include "NetworkDialog.h"

#include "ListView.h"
#include "Resource.h"
#include "Texts.h"

#include <commctrl.h>

namespace {
// Posted to itself when the dialog could not list the adapters: the error box
// then appears over the dialog instead of before it.
constexpr UINT showEnumerationFailure = WM_APP + 1;
} // namespace

NetworkDialog::NetworkDialog(NetworkDialogState& state, Network::Enumerator::Query query)
    : state_(state), query_(std::move(query)) {}

INT_PTR NetworkDialog::show() {
    ListView::initCommonControls();
    return DialogBoxParamA(state_.instance, MAKEINTRESOURCEA(IDD_NETWORK), state_.owner,
                           &NetworkDialog::procedure, reinterpret_cast<LPARAM>(this));
}

INT_PTR NetworkDialog::handleMessage(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_INITDIALOG:
        dialog_ = dialog;
        list_ = GetDlgItem(dialog, IDC_NETWORK_LIST);
        EnableWindow(GetDlgItem(dialog, IDOK), FALSE);
        ListView::setExtendedStyle(list_);
        fillList();
        if (enumerationFailure_)
            PostMessageA(dialog, showEnumerationFailure, 0, 0);
        return TRUE;
    case showEnumerationFailure:
        if (enumerationFailure_)
            MessageBoxA(dialog, enumerationFailure_->c_str(), Text::errorCaption, MB_ICONERROR);
        return TRUE;
    case WM_NOTIFY: {
        const auto* header = reinterpret_cast<const NMHDR*>(lParam);
        if (header->idFrom == IDC_NETWORK_LIST && header->code == LVN_ITEMCHANGED) {
            const auto* change = reinterpret_cast<const NMLISTVIEW*>(lParam);
            if (change->iItem >= 0 &&
                static_cast<std::size_t>(change->iItem) < state_.choices.size())
                updateOkButton();
        }
        return 0;
    }
    case WM_COMMAND: {
        const int id = LOWORD(wParam);
        if (id != IDOK && id != IDCANCEL)
            return 0;
        state_.selected = firstSelectedRow();
        EndDialog(dialog, id);
        return TRUE;
    }
    default:
        return 0;
    }
}

void NetworkDialog::fillList() {
    RECT client{};
    GetClientRect(list_, &client);
    const int widths[] = {descriptionColumnWidth, addressColumnWidth,
                          macColumnWidth(client.right - client.left)};
    const UINT headers[] = {IDS_COLUMN_DESCRIPTION, IDS_COLUMN_IP_ADDRESS, IDS_COLUMN_MAC_ADDRESS};
    for (int column = 0; column < 3; ++column)
        if (!ListView::insertColumn(list_, state_.instance, column, headers[column],
                                    widths[column]))
            return;

    NetworkChoices read = readNetworkChoices(query_);
    state_.choices = std::move(read.choices);
    enumerationFailure_ = std::move(read.failure);
    for (std::size_t row = 0; row < state_.choices.size(); ++row) {
        const NetworkChoice& choice = state_.choices[row];
        const int at = ListView::insertRow(list_, static_cast<int>(row), choice.description);
        if (at < 0)
            break;
        ListView::setCellText(list_, at, 1, choice.ipAddress);
        ListView::setCellText(list_, at, 2, choice.macAddress);
    }
}

void NetworkDialog::updateOkButton() {
    EnableWindow(GetDlgItem(dialog_, IDOK), firstSelectedRow() != -1);
}

int NetworkDialog::firstSelectedRow() const {
    return ListView::nextSelected(list_);
}
