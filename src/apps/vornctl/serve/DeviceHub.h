#pragma once

#include "EventQueue.h"
#include "Output.h"

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

namespace Vornctl::Serve {

// The devices vornctl serve knows, kept from the controller's events, and the
// live-push clients they are relayed to. apply() runs on the relay thread;
// the readers (the API) and subscribe() on the HTTP server's thread.
//
// At most `cap` devices are kept, so that a sender of ever new device IDs
// cannot grow the hub, each client's first batch (about 200 bytes a device)
// or the page: past it a new device takes the place of the longest kept
// device without a name (its removal is pushed), and is left out when every
// kept device is named. Named devices are never dropped. Each drop is counted.
class DeviceHub {
public:
    // Queue size a client may fall behind by, beyond the present devices it
    // is sent first.
    static constexpr std::size_t backlogBytes = 1 << 20;
    // As many as the engine keeps present (Vorn::FrameList::defaultFrameCap,
    // held to it where the controller makes its hub): the hub never leaves out
    // a device the engine keeps.
    static constexpr std::size_t defaultCap = 262144;

    explicit DeviceHub(std::size_t cap = defaultCap) : cap_(cap) {}

    // Records the event and hands it to every client that shows the device.
    void apply(const DeviceEvent& event);

    // The present devices, by ID; other products only with `all`.
    std::vector<FoundDevice> devices(bool all) const;
    std::optional<FoundDevice> device(std::uint64_t id) const;

    // A new client: its queue starts with an added (and a named) event per
    // present device, then receives every event as it comes. `wake` is called
    // (outside the hub's lock, on any thread) when the queue has something
    // after being empty, or has overflowed. The hub keeps only a weak
    // reference: the client ends by dropping the queue.
    std::shared_ptr<EventQueue> subscribe(bool all, std::function<void()> wake);
    std::size_t clients() const;
    // New devices that found the hub full (dropped, or left out) so far.
    std::uint64_t dropped() const;

private:
    struct Kept {
        FoundDevice row;
        std::list<std::uint64_t>::iterator unnamed; // in unnamed_ while !row.name
    };
    // Makes room for one more device; false when every kept device is named.
    // Called with mutex_ held; the removal lines go to `lines`.
    bool makeRoom(std::vector<std::pair<std::string, bool>>& lines,
                  std::chrono::system_clock::time_point now);

    struct Client {
        std::weak_ptr<EventQueue> queue;
        bool all = false;
        std::function<void()> wake;
    };

    const std::size_t cap_;
    mutable std::mutex mutex_;
    std::map<std::uint64_t, Kept> devices_; // guarded by mutex_
    // The kept devices without a name, longest kept first; guarded by mutex_.
    std::list<std::uint64_t> unnamed_;
    std::uint64_t dropped_ = 0;   // guarded by mutex_
    std::vector<Client> clients_; // guarded by mutex_
};

} // namespace Vornctl::Serve
