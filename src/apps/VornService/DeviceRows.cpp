#include "DeviceRows.h"

#include <algorithm>
#include <cctype>

namespace {

// Names compare without regard to case first, so that "amp" and "Amp" sit
// together; exactly otherwise.
int compareText(const std::string& a, const std::string& b, bool foldCase) {
    if (foldCase) {
        const auto lower = [](unsigned char c) { return std::tolower(c); };
        const auto folded = std::lexicographical_compare_three_way(
            a.begin(), a.end(), b.begin(), b.end(),
            [&](unsigned char x, unsigned char y) { return lower(x) <=> lower(y); });
        if (folded != 0)
            return folded < 0 ? -1 : 1;
    }
    return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
}

const std::string& cell(const DeviceRows::Row& row, int column) {
    switch (column) {
    case DeviceRows::name:
        return row.name;
    case DeviceRows::product:
        return row.product;
    default:
        return row.idText; // fixed-width hex: text order is number order
    }
}

} // namespace

int DeviceRows::find(std::uint64_t id) const {
    const auto at =
        std::find_if(rows_.begin(), rows_.end(), [id](const Entry& e) { return e.row.id == id; });
    return at == rows_.end() ? -1 : static_cast<int>(at - rows_.begin());
}

bool DeviceRows::before(const Entry& a, const Entry& b) const {
    if (sort_.column >= 0) {
        const int order =
            compareText(cell(a.row, sort_.column), cell(b.row, sort_.column), sort_.column == name);
        if (order != 0)
            return sort_.ascending ? order < 0 : order > 0;
    }
    return a.arrival < b.arrival;
}

int DeviceRows::placeFor(const Row& row) const {
    if (sort_.column < 0)
        return count();
    const Entry newest{row, nextArrival_};
    const auto at =
        std::upper_bound(rows_.begin(), rows_.end(), newest,
                         [this](const Entry& a, const Entry& b) { return before(a, b); });
    return static_cast<int>(at - rows_.begin());
}

void DeviceRows::inserted(int index, Row row) {
    rows_.insert(rows_.begin() + index, Entry{std::move(row), nextArrival_++});
}

void DeviceRows::erased(int index) {
    rows_.erase(rows_.begin() + index);
}

bool DeviceRows::renamed(int index, std::string newName) {
    auto& entry = rows_[static_cast<std::size_t>(index)];
    entry.row.name = std::move(newName);
    if (sort_.column != name)
        return false;
    const auto at = rows_.begin() + index;
    const bool afterPrevious = at == rows_.begin() || !before(entry, *(at - 1));
    const bool beforeNext = at + 1 == rows_.end() || !before(*(at + 1), entry);
    return !(afterPrevious && beforeNext);
}

void DeviceRows::sortBy(int column) {
    if (sort_.column == column)
        sort_.ascending = !sort_.ascending;
    else
        sort_ = {column, true};
}

std::vector<std::uintptr_t> DeviceRows::resort() {
    std::sort(rows_.begin(), rows_.end(),
              [this](const Entry& a, const Entry& b) { return before(a, b); });
    std::vector<std::uintptr_t> tags;
    tags.reserve(rows_.size());
    for (const auto& entry : rows_)
        tags.push_back(entry.row.tag);
    return tags;
}
