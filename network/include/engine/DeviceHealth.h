#pragma once

#include <cstdint>
#include <mutex>
#include <unordered_map>

namespace Vorn {

// Whether each frame answers: the engine's view of which devices answer, so
// that requests to the ones that do are served first. A frame enters with its
// first outcome and leaves when it leaves the network.
//
// A frame counts as failing after `missesToFail` time-outs in a row. One late
// reply (a busy device, or a tool whose machine is busy) or one lost datagram
// leaves it where it was: its retransmission keeps its place instead of
// joining the requests to devices that do not answer. Thread-safe.
class DeviceHealth {
public:
    enum class State { New, Answering, Failing };
    static constexpr std::uint8_t missesToFail = 2;
    // As many frames as the frame list keeps present (FrameList::defaultFrameCap);
    // past it the table starts over.
    static constexpr std::size_t cap = 262144;

    State of(std::uint64_t frameId) const;
    // A reply arrived from the frame; true when it did not count as
    // answering before.
    bool answered(std::uint64_t frameId);
    // An attempt to the frame timed out.
    void failed(std::uint64_t frameId);
    void forget(std::uint64_t frameId);
    std::size_t size() const;

private:
    struct Record {
        bool answered = false;   // some request of the frame was answered
        std::uint8_t misses = 0; // time-outs since its last reply
        State state() const;
    };
    // The frame's record, entered when new (the table starts over past its cap).
    Record& recordOf(std::uint64_t frameId);

    std::unordered_map<std::uint64_t, Record> records_; // guarded by mutex_
    mutable std::mutex mutex_;
};

} // namespace Vorn
