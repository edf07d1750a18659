#include "DuplicateSerial.h"

namespace Vornctl {

DuplicateFinding findDuplicate(const std::vector<std::uint64_t>& ids,
                               const std::vector<std::optional<std::uint32_t>>& serials,
                               std::uint32_t number) {
    DuplicateFinding finding;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (i >= serials.size() || !serials[i])
            finding.silent.push_back(ids[i]);
        else if (*serials[i] == number)
            finding.holders.push_back(ids[i]);
    }
    return finding;
}

} // namespace Vornctl
