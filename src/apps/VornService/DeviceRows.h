#pragma once

#include <cstdint>
#include <vector>

// The device ids of the main window's list rows, in row order: the window
// keeps it beside the list view so that the row of an id is found without
// asking the list view for every row's data. A device that left and came
// back may briefly have two rows; the first one is found.
class DeviceRows {
public:
    // Index of the first row of `id`, or -1.
    int find(std::uint64_t id) const;
    // The id of `row`; the row must exist.
    std::uint64_t at(int row) const { return ids_[static_cast<std::size_t>(row)]; }
    int count() const { return static_cast<int>(ids_.size()); }

    // A row was inserted at `row` (0..count) / deleted.
    void inserted(int row, std::uint64_t id);
    void erased(int row);
    void clear() { ids_.clear(); }

private:
    std::vector<std::uint64_t> ids_;
};
