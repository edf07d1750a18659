#include "DeviceListView.h"

#include "ListView.h"
#include "MainWindowRules.h"
#include "ProductName.h"
#include "Texts.h"
#include "WindowMessages.h"

#include <memory>
#include <utility>

void DeviceListView::attach(HWND owner, HWND list, HWND statusBar) {
    owner_ = owner;
    list_ = list;
    statusBar_ = statusBar;
    showCount();
}

bool DeviceListView::add(std::uint64_t id, unsigned deviceType) {
    changed();
    auto rowId = std::make_unique<std::uint64_t>(id);
    DeviceRows::Row shown{id, Text::unknownName, productName(deviceType), formatDeviceId(id),
                          reinterpret_cast<std::uintptr_t>(rowId.get())};
    const int row = rows_.placeFor(shown);
    rows_.inserted(row, std::move(shown));
    const int at =
        ListView::insertRow(list_, row, LPSTR_TEXTCALLBACKA, reinterpret_cast<LPARAM>(rowId.get()));
    if (at < 0) {
        rows_.erased(row);
        return false;
    }
    static_cast<void>(rowId.release()); // the row owns it now
    ListView::setCellText(list_, at, 1, productName(deviceType));
    ListView::setCellText(list_, at, 2, formatDeviceId(id).c_str());
    if (!pacing_.suspended())
        showCount();
    return true;
}

DeviceListView::Removed DeviceListView::remove(std::uint64_t id) {
    const int row = rows_.find(id);
    if (row < 0)
        return Removed::noRow;
    const bool wasSelected = ListView::isSelected(list_, row);
    changed();
    SendMessageA(list_, LVM_DELETEITEM, static_cast<WPARAM>(row), 0);
    if (!pacing_.suspended())
        showCount();
    return wasSelected ? Removed::selectedRow : Removed::row;
}

void DeviceListView::rename(std::uint64_t id, const char* name) {
    const int row = rows_.find(id);
    if (row < 0)
        return;
    changed();
    ListView::setCellText(list_, row, 0, name);
    // Sorted by name, the row may have to move: the order is restored with
    // the next redraw, all renamed rows at once.
    if (rows_.renamed(row, name)) {
        resortPending_ = true;
        if (!pacing_.suspended())
            applyOrder();
    }
}

void DeviceListView::sortBy(int column) {
    rows_.sortBy(column);
    applyOrder();
    const auto sort = rows_.sort();
    ListView::showSortArrow(list_, sort.column, sort.ascending);
}

void DeviceListView::tick() {
    switch (pacing_.tick()) {
    case RedrawPacing::Tick::wait:
        return;
    case RedrawPacing::Tick::draw:
        redraw();
        return;
    case RedrawPacing::Tick::stopTimer:
        KillTimer(owner_, redrawTimer);
        return;
    }
}

std::optional<std::uint64_t> DeviceListView::deviceAt(int row) const {
    if (row < 0 || row >= rows_.count())
        return std::nullopt;
    return rows_.at(row);
}

int DeviceListView::selectedRow() const {
    return list_ ? ListView::nextSelected(list_) : -1;
}

std::optional<std::uint64_t> DeviceListView::selectedDevice() const {
    return deviceAt(selectedRow());
}

std::string DeviceListView::copiedRow(int row) const {
    return MainWindowRules::copiedDevice(ListView::cellText(list_, row, 0),
                                         ListView::cellText(list_, row, 1),
                                         ListView::cellText(list_, row, 2));
}

void DeviceListView::fillDisplayInfo(NMLVDISPINFOA& display) const {
    if ((display.item.mask & LVIF_TEXT) && display.item.pszText && display.item.cchTextMax > 0)
        lstrcpynA(display.item.pszText, Text::unknownName, display.item.cchTextMax);
}

void DeviceListView::deleted(const NMLISTVIEW& item) {
    WindowMessages::take<std::uint64_t>(static_cast<std::uintptr_t>(item.lParam));
    if (item.iItem >= 0 && item.iItem < rows_.count())
        rows_.erased(item.iItem);
}

void DeviceListView::clear() {
    if (list_)
        SendMessageA(list_, LVM_DELETEALLITEMS, 0, 0);
}

// Rows come in bursts: the list is drawn when one is over (RedrawPacing).
void DeviceListView::changed() {
    if (!pacing_.changed())
        return; // suspended already
    if (SetTimer(owner_, redrawTimer, RedrawPacing::intervalMs, nullptr)) {
        SendMessageA(list_, WM_SETREDRAW, FALSE, 0);
        return;
    }
    pacing_.resumed(); // without a timer to resume it, drawing stays on
}

// The list drawn again, with what waited for it. The status bar repaints
// itself at once on every new text, which would cost more than the row
// itself: the count waits for the redraw too.
void DeviceListView::redraw() {
    KillTimer(owner_, redrawTimer);
    if (resortPending_)
        applyOrder();
    if (rows_.count() != shownCount_ || notListed_ != shownNotListed_)
        showCount();
    SendMessageA(list_, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list_, nullptr, FALSE);
}

void DeviceListView::applyOrder() {
    resortPending_ = false;
    ListView::sortRows(list_, rows_.resort());
    if (const int selected = selectedRow(); selected >= 0)
        ListView::ensureVisible(list_, selected);
}

void DeviceListView::showCount() {
    const bool widen = (notListed_ > 0) != (shownNotListed_ > 0);
    shownCount_ = rows_.count();
    shownNotListed_ = notListed_;
    if (!statusBar_)
        return;
    if (widen)
        layOutStatusParts(dpi_);
    SendMessageA(statusBar_, SB_SETTEXTA, 0,
                 reinterpret_cast<LPARAM>(
                     MainWindowRules::deviceCountText(shownCount_, shownNotListed_).c_str()));
}

void DeviceListView::setNotListed(std::uint64_t count) {
    if (count == notListed_)
        return;
    notListed_ = count;
    changed();
}

void DeviceListView::layOutStatusParts(unsigned dpi) {
    dpi_ = dpi;
    if (!statusBar_)
        return;
    const auto parts = MainWindowRules::statusPartRights(dpi, shownNotListed_ > 0);
    SendMessageA(statusBar_, SB_SETPARTS, parts.size(), reinterpret_cast<LPARAM>(parts.data()));
    SendMessageA(statusBar_, WM_SIZE, 0, 0);
}
