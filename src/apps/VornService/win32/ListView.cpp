#include "ListView.h"

#include <commctrl.h>

#include <unordered_map>

namespace ListView {

void initCommonControls() {
    INITCOMMONCONTROLSEX classes{};
    classes.dwSize = sizeof classes;
    classes.dwICC = ICC_LISTVIEW_CLASSES | ICC_STANDARD_CLASSES | ICC_BAR_CLASSES;
    InitCommonControlsEx(&classes);
}

void setExtendedStyle(HWND list) {
    const DWORD style = LVS_EX_FULLROWSELECT | LVS_EX_DOUBLEBUFFER;
    SendMessageA(list, LVM_SETEXTENDEDLISTVIEWSTYLE, style, style);
}

bool insertColumn(HWND list, HINSTANCE instance, int column, UINT headerId, int width) {
    char header[260] = {};
    LoadStringA(instance, headerId, header, sizeof header);
    LVCOLUMNA layout{};
    layout.mask = LVCF_FMT | LVCF_WIDTH | LVCF_TEXT;
    layout.fmt = LVCFMT_LEFT;
    layout.cx = width;
    layout.pszText = header;
    return SendMessageA(list, LVM_INSERTCOLUMNA, static_cast<WPARAM>(column),
                        reinterpret_cast<LPARAM>(&layout)) != -1;
}

int insertRow(HWND list, int row, const char* text, LPARAM data) {
    LVITEMA item{};
    item.mask = LVIF_TEXT | LVIF_STATE | LVIF_PARAM;
    item.iItem = row;
    item.pszText = const_cast<char*>(text);
    item.lParam = data;
    return static_cast<int>(
        SendMessageA(list, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
}

void setCellText(HWND list, int row, int column, const char* text) {
    LVITEMA item{};
    item.iSubItem = column;
    item.pszText = const_cast<char*>(text);
    SendMessageA(list, LVM_SETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
}

std::string cellText(HWND list, int row, int column) {
    char text[260] = {};
    LVITEMA item{};
    item.iSubItem = column;
    item.pszText = text;
    item.cchTextMax = sizeof text;
    SendMessageA(list, LVM_GETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    return item.pszText ? std::string(item.pszText) : std::string();
}

namespace {
int CALLBACK compareRanks(LPARAM a, LPARAM b, LPARAM ranks) {
    const auto& rankOf = *reinterpret_cast<const std::unordered_map<LPARAM, int>*>(ranks);
    const auto first = rankOf.find(a), second = rankOf.find(b);
    const int x = first == rankOf.end() ? -1 : first->second;
    const int y = second == rankOf.end() ? -1 : second->second;
    return x < y ? -1 : (x > y ? 1 : 0);
}
} // namespace

void sortRows(HWND list, const std::vector<std::uintptr_t>& dataInOrder) {
    std::unordered_map<LPARAM, int> ranks;
    ranks.reserve(dataInOrder.size());
    for (std::size_t rank = 0; rank < dataInOrder.size(); ++rank)
        ranks.emplace(static_cast<LPARAM>(dataInOrder[rank]), static_cast<int>(rank));
    SendMessageA(list, LVM_SORTITEMS, reinterpret_cast<WPARAM>(&ranks),
                 reinterpret_cast<LPARAM>(&compareRanks));
}

void showSortArrow(HWND list, int column, bool ascending) {
    const auto header = reinterpret_cast<HWND>(SendMessageA(list, LVM_GETHEADER, 0, 0));
    if (!header)
        return;
    const int columns = static_cast<int>(SendMessageA(header, HDM_GETITEMCOUNT, 0, 0));
    for (int index = 0; index < columns; ++index) {
        HDITEMA item{};
        item.mask = HDI_FORMAT;
        if (!SendMessageA(header, HDM_GETITEMA, static_cast<WPARAM>(index),
                          reinterpret_cast<LPARAM>(&item)))
            continue;
        item.fmt &= ~(HDF_SORTUP | HDF_SORTDOWN);
        if (index == column)
            item.fmt |= ascending ? HDF_SORTUP : HDF_SORTDOWN;
        SendMessageA(header, HDM_SETITEMA, static_cast<WPARAM>(index),
                     reinterpret_cast<LPARAM>(&item));
    }
}

void ensureVisible(HWND list, int row) {
    SendMessageA(list, LVM_ENSUREVISIBLE, static_cast<WPARAM>(row), FALSE);
}

int nextSelected(HWND list, int after) {
    return static_cast<int>(
        SendMessageA(list, LVM_GETNEXTITEM, static_cast<WPARAM>(after), LVNI_SELECTED));
}

bool isSelected(HWND list, int row) {
    return SendMessageA(list, LVM_GETITEMSTATE, static_cast<WPARAM>(row), LVIS_SELECTED) &
           LVIS_SELECTED;
}

int rowCount(HWND list) {
    return static_cast<int>(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0));
}

} // namespace ListView
