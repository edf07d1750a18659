#pragma once

#include "DeviceRows.h"
#include "RedrawPacing.h"

#include <windows.h>

#include <commctrl.h>

#include <cstdint>
#include <optional>
#include <string>

// The main window's list of devices: the list view, its rows in their order
// (DeviceRows), and when it is drawn (RedrawPacing). While rows are added,
// removed or renamed the list's drawing is suspended; a timer of the owner
// window, `redrawTimer`, ticks until the burst is over, and the list is then
// drawn with what waited for it: the sort order of renamed rows and the device
// count in the status bar's first part. Window thread only.
class DeviceListView {
public:
    static constexpr UINT_PTR redrawTimer = 1;

    // The list view `list` of the window `owner`; the count goes to `statusBar`
    // (may be null).
    void attach(HWND owner, HWND list, HWND statusBar);
    HWND handle() const { return list_; }

    // A row for the device, "Unknown" until it is renamed: at the end, or in
    // its sorted place while the list is sorted. False when the list refused it.
    bool add(std::uint64_t id, unsigned deviceType);
    // Removes the device's row; whether it was the selected row.
    enum class Removed { noRow, row, selectedRow };
    Removed remove(std::uint64_t id);
    void rename(std::uint64_t id, const char* name);
    // A click on a column's header: sorted by it, or the other way round.
    void sortBy(int column);
    // The owner's redrawTimer ticked.
    void tick();
    // New devices the controller could not keep so far (its table was full):
    // said beside the count once there are any.
    void setNotListed(std::uint64_t count);
    // Lays out the status bar's parts for `dpi` and what its first part says.
    void layOutStatusParts(unsigned dpi);

    int rowOf(std::uint64_t id) const { return rows_.find(id); }
    // The rows as listed, in row order.
    const DeviceRows& rows() const { return rows_; }
    // The device of a row, if the row exists.
    std::optional<std::uint64_t> deviceAt(int row) const;
    // The selected row (-1: none) and its device. Asks the list view, which
    // walks its rows: not for every row's change.
    int selectedRow() const;
    std::optional<std::uint64_t> selectedDevice() const;
    // The row as it shows, cells separated by tabs.
    std::string copiedRow(int row) const;

    // The list view's notifications about its items: the text of a row
    // without a name, and a deleted row (its data is freed).
    void fillDisplayInfo(NMLVDISPINFOA& display) const;
    void deleted(const NMLISTVIEW& item);
    // Every row goes (the window is closing).
    void clear();

private:
    void changed();
    void redraw();
    void applyOrder();
    void showCount();

    HWND owner_ = nullptr;
    HWND list_ = nullptr;
    HWND statusBar_ = nullptr;
    DeviceRows rows_; // the ids of the list's rows, in row order
    RedrawPacing pacing_;
    bool resortPending_ = false; // a renamed row is out of its sorted place
    int shownCount_ = -1;        // the count the status bar shows
    std::uint64_t notListed_ = 0;
    std::uint64_t shownNotListed_ = 0; // the number not listed the status bar shows
    unsigned dpi_ = 96;                // of the status bar's parts
};
