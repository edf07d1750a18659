#include "DeviceHub.h"

#include "Texts.h"

namespace Vornctl::Serve {
namespace {

WatchEvent addedEvent(const DeviceRow& row, std::chrono::system_clock::time_point now) {
    WatchEvent event;
    event.kind = WatchEvent::Kind::Added;
    event.time = now;
    event.id = row.id;
    event.deviceType = row.deviceType;
    event.address = row.address;
    event.mode = row.mode;
    return event;
}

} // namespace

void DeviceHub::apply(const WatchEvent& event) {
    std::vector<std::function<void()>> wakes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        using Kind = WatchEvent::Kind;
        unsigned type = event.deviceType;
        const auto found = devices_.find(event.id);
        if (event.kind == Kind::Added || event.kind == Kind::Changed) {
            DeviceRow& row = devices_[event.id];
            row.id = event.id;
            row.deviceType = event.deviceType;
            row.address = event.address;
            row.mode = event.mode;
        } else if (found == devices_.end()) {
            return; // named or removed after it left
        } else {
            type = found->second.deviceType;
            if (event.kind == Kind::Named)
                found->second.name = event.name;
            else if (event.kind == Kind::Removed)
                devices_.erase(found);
        }
        const std::string line = formatWatchEvent(event, true);
        const bool serviced = isServicedType(type);
        for (auto client = clients_.begin(); client != clients_.end();) {
            const auto queue = client->queue.lock();
            if (!queue) {
                client = clients_.erase(client);
                continue;
            }
            if ((serviced || client->all) && queue->push(line))
                wakes.push_back(client->wake);
            ++client;
        }
    }
    for (const auto& wake : wakes)
        wake();
}

std::vector<DeviceRow> DeviceHub::devices(bool all) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<DeviceRow> rows;
    for (const auto& [id, row] : devices_)
        if (all || isServicedType(row.deviceType))
            rows.push_back(row);
    return rows;
}

std::optional<DeviceRow> DeviceHub::device(std::uint64_t id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto found = devices_.find(id);
    if (found == devices_.end())
        return std::nullopt;
    return found->second;
}

std::shared_ptr<EventQueue> DeviceHub::subscribe(bool all, std::function<void()> wake) {
    const auto now = std::chrono::system_clock::now();
    std::shared_ptr<EventQueue> queue;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> lines;
        std::size_t bytes = 0;
        for (const auto& [id, row] : devices_) {
            if (!all && !isServicedType(row.deviceType))
                continue;
            lines.push_back(formatWatchEvent(addedEvent(row, now), true));
            if (row.name) {
                WatchEvent named;
                named.kind = WatchEvent::Kind::Named;
                named.time = now;
                named.id = id;
                named.name = *row.name;
                lines.push_back(formatWatchEvent(named, true));
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

} // namespace Vornctl::Serve
