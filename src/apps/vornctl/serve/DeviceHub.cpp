#include "DeviceHub.h"

#include "Texts.h"

namespace Vornctl::Serve {
namespace {

DeviceEvent addedEvent(const FoundDevice& row, std::chrono::system_clock::time_point now) {
    DeviceEvent event;
    event.kind = DeviceEvent::Kind::Added;
    event.time = now;
    event.id = row.id;
    event.deviceType = row.deviceType;
    event.address = row.address;
    event.mode = row.mode;
    return event;
}

} // namespace

bool DeviceHub::makeRoom(std::vector<std::pair<std::string, bool>>& lines,
                         std::chrono::system_clock::time_point now) {
    ++dropped_;
    if (unnamed_.empty())
        return false;
    const auto oldest = devices_.find(unnamed_.front());
    unnamed_.pop_front();
    DeviceEvent removed;
    removed.kind = DeviceEvent::Kind::Removed;
    removed.time = now;
    removed.id = oldest->first;
    lines.emplace_back(formatDeviceEvent(removed, true),
                       isServicedType(oldest->second.row.deviceType));
    devices_.erase(oldest);
    return true;
}

void DeviceHub::apply(const DeviceEvent& event) {
    std::vector<std::function<void()>> wakes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        using Kind = DeviceEvent::Kind;
        std::vector<std::pair<std::string, bool>> lines; // (line, of a serviced product)
        unsigned type = event.deviceType;
        auto found = devices_.find(event.id);
        if (event.kind == Kind::Added || event.kind == Kind::Changed) {
            if (found == devices_.end()) {
                if (devices_.size() >= cap_ && !makeRoom(lines, event.time))
                    return; // every kept device is named: this one is left out
                found = devices_.emplace(event.id, Kept{}).first;
                found->second.unnamed = unnamed_.insert(unnamed_.end(), event.id);
            }
            FoundDevice& row = found->second.row;
            row.id = event.id;
            row.deviceType = event.deviceType;
            row.address = event.address;
            row.mode = event.mode;
        } else if (found == devices_.end()) {
            return; // named or removed after it left (or was dropped)
        } else {
            type = found->second.row.deviceType;
            if (event.kind == Kind::Named) {
                if (!found->second.row.name)
                    unnamed_.erase(found->second.unnamed);
                found->second.row.name = event.name;
            } else if (event.kind == Kind::Removed) {
                if (!found->second.row.name)
                    unnamed_.erase(found->second.unnamed);
                devices_.erase(found);
            }
        }
        lines.emplace_back(formatDeviceEvent(event, true), isServicedType(type));
        for (auto client = clients_.begin(); client != clients_.end();) {
            const auto queue = client->queue.lock();
            if (!queue) {
                client = clients_.erase(client);
                continue;
            }
            bool wake = false;
            for (const auto& [line, serviced] : lines)
                if ((serviced || client->all) && queue->push(line))
                    wake = true;
            if (wake)
                wakes.push_back(client->wake);
            ++client;
        }
    }
    for (const auto& wake : wakes)
        wake();
}

std::vector<FoundDevice> DeviceHub::devices(bool all) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<FoundDevice> rows;
    for (const auto& [id, kept] : devices_)
        if (all || isServicedType(kept.row.deviceType))
            rows.push_back(kept.row);
    return rows;
}

std::optional<FoundDevice> DeviceHub::device(std::uint64_t id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = devices_.find(id);
    if (found == devices_.end())
        return std::nullopt;
    return found->second.row;
}

std::shared_ptr<EventQueue> DeviceHub::subscribe(bool all, std::function<void()> wake) {
    const auto now = std::chrono::system_clock::now();
    std::shared_ptr<EventQueue> queue;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> lines;
        std::size_t bytes = 0;
        for (const auto& [id, kept] : devices_) {
            const FoundDevice& row = kept.row;
            if (!all && !isServicedType(row.deviceType))
                continue;
            lines.push_back(formatDeviceEvent(addedEvent(row, now), true));
            if (row.name) {
                DeviceEvent named;
                named.kind = DeviceEvent::Kind::Named;
                named.time = now;
                named.id = id;
                named.name = *row.name;
                lines.push_back(formatDeviceEvent(named, true));
            }
        }
        for (const auto& line : lines)
            bytes += line.size() + 1;
        queue = std::make_shared<EventQueue>(bytes + backlogBytes);
        for (const auto& line : lines)
            queue->push(line);
        clients_.push_back({queue, all, wake});
    }
    if (wake)
        wake();
    return queue;
}

std::size_t DeviceHub::clients() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::size_t count = 0;
    for (const auto& client : clients_)
        count += client.queue.expired() ? 0 : 1;
    return count;
}

std::uint64_t DeviceHub::dropped() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return dropped_;
}

} // namespace Vornctl::Serve
