#pragma once

#include "FrameInfo.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

namespace Vorn {

// The frames present on the network, keyed by frame id, as their presence
// messages and other traffic describe them. A frame lives while at most 10 s of
// wall clock have passed since it was last heard. Callable from any thread.
class PresenceTable {
public:
    // What a presence message did to the table.
    enum class Change {
        None,        // a known frame, nothing to announce
        Added,       // a frame not present before
        Changed,     // its change mark moved while in mode 0
        ModeFlipped, // between mode 0 and a non-zero mode: announced as removal and return
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
    // `changeMark`.
    Change track(const FrameInfo& info, std::int32_t changeMark);
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
    };

    std::unordered_map<std::uint64_t, Entry> frames_; // guarded by framesMutex_
    mutable std::mutex framesMutex_;
};

} // namespace Vorn
