#include "DeviceRows.h"

#include <algorithm>

int DeviceRows::find(std::uint64_t id) const {
    const auto at = std::find(ids_.begin(), ids_.end(), id);
    return at == ids_.end() ? -1 : static_cast<int>(at - ids_.begin());
}

void DeviceRows::inserted(int row, std::uint64_t id) {
    ids_.insert(ids_.begin() + row, id);
}

void DeviceRows::erased(int row) {
    ids_.erase(ids_.begin() + row);
}
