#pragma once

#include "engine/Destination.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <list>
#include <optional>
#include <set>
#include <unordered_map>
#include <vector>

namespace Vorn {

// Which share of the congestion window a request may take and in what order
// waiting requests are served: a lane ahead of the ones after it.
//   User       what the user asked for (serial read and write); never waits
//              behind background traffic.
//   Answering  background requests to a device that answered its last request.
//   New        background requests to a device with no outcome yet.
//   Failing    background requests to a device whose last request timed out,
//              retransmissions included.
enum class Lane : std::uint8_t { User, Answering, New, Failing };
constexpr std::size_t laneCount = 4;

// The requests that wait for room in the congestion window, one FIFO per lane,
// with an index by frame id so that a frame that leaves takes its requests
// along, and a give-up time per request. Not thread-safe: its owner guards it.
class AdmissionQueue {
public:
    // Ends a request that leaves the queue unsent: TimedOut when it waited
    // past its give-up time, SendFailed when its frame left the network.
    using GiveUp = std::function<void(Vorn::ErrorCode)>;

    // Sends the request; told the lane its bytes were counted in (a request
    // can move up while it waits).
    using Action = std::function<void(Lane)>;

    struct Entry {
        std::uint64_t frameId = 0;
        std::uint32_t length = 0;
        Lane lane = Lane::Answering;
        std::uint64_t giveUpAt = 0; // steady nanoseconds; 0: never
        bool bounded = true;        // counts against the bound of its lane group
        Action action;
        GiveUp gaveUp;
        std::uint64_t arrival = 0; // set by push: the order of arrival
    };

    bool empty() const { return count_ == 0; }
    std::size_t size() const { return count_; }
    // Bounded entries waiting in the user lane, or in the background lanes.
    std::size_t boundedUser() const { return boundedUser_; }
    std::size_t boundedBackground() const { return boundedBackground_; }

    void push(Entry entry);

    // Looks at the head of each lane in lane order and takes the first one
    // that `fits` accepts; nothing when no head fits.
    template <class Fits> std::optional<Entry> popFitting(Fits fits) {
        for (auto& lane : lanes_)
            if (!lane.empty() && fits(lane.front().lane, lane.front().length))
                return take(lane, lane.begin());
        return std::nullopt;
    }
    // Whether popFitting would take an entry now.
    template <class Fits> bool anyFits(Fits fits) const {
        for (const auto& lane : lanes_)
            if (!lane.empty() && fits(lane.front().lane, lane.front().length))
                return true;
        return false;
    }

    // Takes every entry of `frameId`, in lane and arrival order.
    std::vector<Entry> takeFrame(std::uint64_t frameId);
    // Moves the background entries of `frameId` in lanes after `lane` to the
    // end of `lane`, in the order they arrived; returns how many moved.
    std::size_t promote(std::uint64_t frameId, Lane lane);
    // Takes every entry whose give-up time is at or before `now`.
    std::vector<Entry> takeExpired(std::uint64_t now);
    // The earliest give-up time of an entry; 0 when none has one.
    std::uint64_t earliestGiveUp() const {
        return giveUpTimes_.empty() ? 0 : *giveUpTimes_.begin();
    }
    // Empties the queue (the entries are destroyed, nothing runs).
    void clear();

private:
    using LaneList = std::list<Entry>;
    Entry take(LaneList& lane, LaneList::iterator at);
    // The entries of `frameId` in lane and arrival order.
    std::vector<LaneList::iterator> entriesOf(std::uint64_t frameId) const;

    std::array<LaneList, laneCount> lanes_;
    std::unordered_multimap<std::uint64_t, LaneList::iterator> byFrame_;
    std::multiset<std::uint64_t> giveUpTimes_; // one per entry that has one
    std::uint64_t arrivals_ = 0;
    std::size_t count_ = 0;
    std::size_t boundedUser_ = 0;
    std::size_t boundedBackground_ = 0;
};

} // namespace Vorn
