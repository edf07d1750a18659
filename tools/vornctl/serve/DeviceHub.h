#pragma once

#include "EventQueue.h"
#include "Output.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace Vornctl::Serve {

// The devices vornctl serve knows, kept from the controller's events, and the
// live-push clients they are relayed to. apply() runs on the relay thread;
// the readers (the API) and subscribe() on the HTTP server's thread.
class DeviceHub {
public:
    // Queue size a client may fall behind by, beyond the present devices it
    // is sent first.
    static constexpr std::size_t backlogBytes = 1 << 20;

    // Records the event and hands it to every client that shows the device.
    void apply(const WatchEvent& event);

    // The present devices, by ID; other products only with `all`.
    std::vector<DeviceRow> devices(bool all) const;
    std::optional<DeviceRow> device(std::uint64_t id) const;

    // A new client: its queue starts with an added (and a named) event per
    // present device, then receives every event as it comes. `wake` is called
    // (outside the hub's lock, on any thread) when the queue has something
    // after being empty, or has overflowed. The hub keeps only a weak
    // reference: the client ends by dropping the queue.
    std::shared_ptr<EventQueue> subscribe(bool all, std::function<void()> wake);
    std::size_t clients() const;

private:
    struct Client {
        std::weak_ptr<EventQueue> queue;
        bool all = false;
        std::function<void()> wake;
    };

    mutable std::mutex mutex_;
    std::map<std::uint64_t, DeviceRow> devices_; // guarded by mutex_
    std::vector<Client> clients_;                // guarded by mutex_
};

} // namespace Vornctl::Serve
