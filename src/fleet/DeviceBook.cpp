#include "DeviceBook.h"

#include "FleetTopics.h"

#include <set>

namespace Fleet {

DeviceBook::DeviceBook(std::map<std::string, DeviceState> known) : states_(std::move(known)) {}

std::vector<DeviceState> DeviceBook::update(const std::vector<SeenDevice>& present,
                                            const std::string& utc, Clock::time_point now) {
    std::vector<DeviceState> changed;
    std::set<std::string> here;
    for (const SeenDevice& seen : present) {
        const auto key = deviceKeyOf(seen.id);
        if (!key)
            continue;
        here.insert(*key);
        auto [it, added] = states_.try_emplace(*key);
        DeviceState& state = it->second;
        const DeviceState before = state;
        if (added) {
            state.id = seen.id;
            state.firstSeen = utc;
        }
        if (!state.present)
            state.lastSeen = utc; // back
        state.present = true;
        state.product = seen.product;
        state.address = seen.address;
        if (seen.name)
            state.name = seen.name; // a name not (yet) read keeps the one known
        if (added || !(before == state))
            changed.push_back(state);
        if (reading_.count(*key) == 0)
            reading_[*key].notBefore = now;
    }
    for (auto& [key, state] : states_) {
        if (!state.present || here.count(key) != 0)
            continue;
        state.present = false;
        state.lastSeen = utc;
        changed.push_back(state);
        reading_.erase(key);
    }
    return changed;
}

std::optional<DeviceState> DeviceBook::serialKnown(const std::string& id, std::uint32_t serial) {
    const auto key = deviceKeyOf(id);
    if (!key)
        return std::nullopt;
    const auto reading = reading_.find(*key);
    if (reading != reading_.end()) {
        reading->second.read = true;
        reading->second.asking = false;
    }
    const auto state = states_.find(*key);
    if (state == states_.end() || state->second.serial == serial)
        return std::nullopt;
    state->second.serial = serial;
    return state->second;
}

void DeviceBook::serialUnread(const std::string& id, Clock::time_point now) {
    const auto key = deviceKeyOf(id);
    if (!key)
        return;
    const auto reading = reading_.find(*key);
    if (reading == reading_.end())
        return;
    reading->second.asking = false;
    reading->second.notBefore = now + readAgainAfter;
}

std::vector<std::string> DeviceBook::toRead(std::size_t most, Clock::time_point now) {
    std::vector<std::string> ids;
    std::size_t asking = 0;
    for (const auto& [key, reading] : reading_)
        asking += reading.asking ? 1 : 0;
    for (auto& [key, reading] : reading_) {
        if (asking + ids.size() >= most)
            break;
        if (reading.read || reading.asking || reading.notBefore > now)
            continue;
        reading.asking = true;
        ids.push_back(states_.at(key).id);
    }
    return ids;
}

} // namespace Fleet
