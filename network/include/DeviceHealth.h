#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_map>

// Whether each frame answered its last request: the engine's view of which
// devices answer, so that requests to the ones that do are served first. A
// frame enters with its first outcome and leaves when it leaves the network.
// Thread-safe.
class DeviceHealth {
public:
    enum class State { New, Answering, Failing };
    // Far more frames than a segment holds; past it the table starts over.
    static constexpr std::size_t cap = 65536;

    State of(std::uint64_t frameId) const;
    // A reply arrived from the frame; true when it did not count as
    // answering before.
    bool answered(std::uint64_t frameId);
    // An attempt to the frame timed out.
    void failed(std::uint64_t frameId);
    void forget(std::uint64_t frameId);
    std::size_t size() const;

private:
    // The state before.
    State set(std::uint64_t frameId, bool answering);

    std::unordered_map<std::uint64_t, bool> answering_; // guarded by mutex_
    mutable std::mutex mutex_;
};
