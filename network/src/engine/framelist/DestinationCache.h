#pragma once

#include "engine/Destination.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace Vorn {

// How each frame ever heard is reached. A frame's destination outlives the
// frame, so that a request to a frame that was swept out can still be
// addressed; past `cap` destinations the sweep forgets those of frames no
// longer present, the longest absent first. Callable from any thread.
class DestinationCache {
public:
    explicit DestinationCache(std::size_t cap) : cap_(cap) {}

    // The frame announced itself: present, at this destination.
    void record(const Destination& destination);
    // Another message from the frame: it is reached at `address` from now on
    // (nothing for a frame never announced).
    void moveTo(std::uint64_t frameId, std::uint32_t address);
    // False (and `out` untouched) for a frame never announced or forgotten.
    bool find(std::uint64_t frameId, Destination& out) const;

    // One sweep: the frames in `removed` have just left; then, while over the
    // cap, the longest absent are forgotten (never a present frame's).
    void retire(const std::vector<std::uint64_t>& removed);
    // The frame left between sweeps (evicted for room): absent as of the next
    // sweep, which keeps the cap.
    void leave(std::uint64_t frameId);

private:
    struct Entry {
        Destination destination;
        std::uint64_t absentSince = 0; // number of the sweep that removed the frame; 0: present
    };

    // Guarded by destinationsMutex_, which the frame list takes after the
    // presence table's lock where both are held.
    std::unordered_map<std::uint64_t, Entry> destinations_;
    std::uint64_t sweepCount_ = 0; // guarded by destinationsMutex_
    mutable std::mutex destinationsMutex_;
    const std::size_t cap_;
};

} // namespace Vorn
