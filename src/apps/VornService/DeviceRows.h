#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The main window's list rows as it shows them, in row order: the device id,
// the three cells and the tag of the list item (its item data), so that the
// row of an id is found without asking the list view, and the list can be
// sorted by a column.
//
// Unsorted (the start), rows stay in arrival order. Sorted by a column, rows
// follow its text (names without regard to case), equal texts in arrival
// order; a new row goes to its place. A name changed while sorted by name
// leaves the order to be restored by resort(), which the window runs with
// its next redraw. A device that left and came back may briefly have two
// rows; the first one is found.
class DeviceRows {
public:
    struct Row {
        std::uint64_t id = 0;
        std::string name, product, idText;
        std::uintptr_t tag = 0; // the list item's data
    };
    enum Column { name = 0, product = 1, idColumn = 2 };
    struct Sort {
        int column = -1; // -1: arrival order
        bool ascending = true;
        bool operator==(const Sort&) const = default;
    };

    // Index of the first row of `id`, or -1.
    int find(std::uint64_t id) const;
    // The id of `row`; the row must exist.
    std::uint64_t at(int row) const { return rows_[static_cast<std::size_t>(row)].row.id; }
    const Row& row(int index) const { return rows_[static_cast<std::size_t>(index)].row; }
    int count() const { return static_cast<int>(rows_.size()); }

    // Where a new row goes: the end while unsorted, else its sorted place.
    int placeFor(const Row& row) const;
    // A row was inserted at `index` (0..count), arriving after every other.
    void inserted(int index, Row row);
    void erased(int index);
    // The name of `index` changed. True when the order must be restored
    // (sorted by name and the row is out of place).
    bool renamed(int index, std::string name);
    void clear() { rows_.clear(); }

    // A click on a column's header: sorted by it, ascending; a click on the
    // sorted column reverses the order.
    void sortBy(int column);
    Sort sort() const { return sort_; }
    // Puts the rows in order; the tags in the new row order.
    std::vector<std::uintptr_t> resort();

private:
    struct Entry {
        Row row;
        std::uint64_t arrival;
    };
    bool before(const Entry& a, const Entry& b) const;

    std::vector<Entry> rows_;
    std::uint64_t nextArrival_ = 0;
    Sort sort_;
};
