#pragma once

#include "wire/FrameInfo.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <limits>
#include <list>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

namespace Vorn {

// The frames present on the network, keyed by frame id, as their presence
// messages and other traffic describe them. A frame lives while at most 10 s of
// wall clock have passed since it was last heard. Callable from any thread.
//
// A sender that announces ever new frame ids (a fault, or a stranger on the
// segment) would otherwise grow the table, and everything that follows it, with
// its rate. Two limits, both far above a real segment, bound it: at most
// `unansweredCap` frames that never answered a request and `cap` frames in all
// are present. Past either a new frame takes the place of the longest present
// frame that never answered, and is refused when every present frame has
// answered one. A device that answers is therefore never the one that goes, and
// a segment below the limits is always seen whole.
class PresenceTable {
public:
    explicit PresenceTable(std::size_t cap = std::numeric_limits<std::size_t>::max(),
                           std::size_t unansweredCap = std::numeric_limits<std::size_t>::max())
        : cap_(cap), unansweredCap_(unansweredCap) {}

    // What a presence message did to the table.
    enum class Change {
        None,        // a known frame, nothing to announce
        Added,       // a frame not present before
        Changed,     // its change mark moved while in mode 0
        ModeFlipped, // between mode 0 and a non-zero mode: announced as removal and return
        Refused,     // new, but the table is full of frames that answered: not entered
    };

    // How a message other than a presence message passed the receive checks;
    // whether it is accepted depends on the mode of the frame that sent it.
    struct SenderCheck {
        bool wellFormed = false; // its declared length fits the datagram
        bool fromDevice = false; // its sender's type counts as a device's
        bool acceptedIn(std::uint32_t mode) const {
            return wellFormed && (mode != 0 || fromDevice);
        }
    };

    // Enters or updates the frame `info.id` from a presence message carrying
    // `changeMark`. A frame that makes room for it is handed to `evicted` with
    // the table's lock held (as the sweep's removals are); it must not call out.
    Change track(const FrameInfo& info, std::int32_t changeMark,
                 const std::function<void(std::uint64_t evicted)>& evicted = {});
    // The frame answered a request: it is never evicted while present.
    void answered(std::uint64_t id);
    // Frames evicted or refused for want of room, since construction.
    std::uint64_t dropped() const;
    bool contains(std::uint64_t id) const;
    std::size_t size() const;
    // For any other message from frame `id`: a present frame is refreshed at
    // `now` if the message is acceptable in its mode; false when it is present
    // and the message is not (the message is then dropped).
    bool refresh(std::uint64_t id, std::int64_t now, SenderCheck check);

    std::optional<FrameInfo> find(std::uint64_t id) const;

    // Removes the frames not heard for more than 10 s before `now` and hands
    // their ids (possibly none) to `whileLocked` with the table's lock still
    // held, so that what it posts is ordered before the announcement of a
    // frame's return on a later presence message; it must not call out.
    void sweep(std::int64_t now,
               const std::function<void(std::vector<std::uint64_t>&& removed)>& whileLocked);

private:
    struct Entry {
        FrameInfo info;
        std::int32_t changeMark = 0;
        bool answered = false;
        std::list<std::uint64_t>::iterator waiting; // in waiting_ while !answered
    };
    void forget(std::unordered_map<std::uint64_t, Entry>::iterator entry);

    const std::size_t cap_;
    const std::size_t unansweredCap_;
    std::unordered_map<std::uint64_t, Entry> frames_; // guarded by framesMutex_
    // The frames that have not answered yet, longest present first; guarded by framesMutex_.
    std::list<std::uint64_t> waiting_;
    // Counted under framesMutex_, read without it: the window asks for it with
    // every device it lists, and must not contend with the receive path for it.
    std::atomic<std::uint64_t> dropped_{0};
    mutable std::mutex framesMutex_;
};

} // namespace Vorn
