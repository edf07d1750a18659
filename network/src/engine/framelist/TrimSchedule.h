#pragma once

#include <cstddef>

namespace Vorn {

// When the process's allocator is asked to give free memory back to the
// system (Network::releaseFreeMemory): after a flood of new frame ids, once the
// frames present have fallen to a quarter of a flood-sized peak and stayed so
// for `firstTrim` sweeps, when the frame events' handlers have freed what they
// held for the frames that left (the window's rows, serve's devices), and once
// more at `lastTrim`, for what the requests to those frames held until they
// ended. A segment under 8192 devices never triggers it.
//
// Called by the presence thread only.
class TrimSchedule {
public:
    // Frames present at a peak that counts as a flood.
    static constexpr std::size_t floodSize = 8192;
    // Sweeps (about a second each) the table has stayed small.
    static constexpr int firstTrim = 5;
    static constexpr int lastTrim = 30;

    // The frames present after a sweep; true: trim now.
    bool afterSweep(std::size_t present) {
        if (present > peak_)
            peak_ = present;
        if (peak_ < floodSize || present * 4 > peak_) {
            quiet_ = 0;
            return false;
        }
        ++quiet_;
        if (quiet_ == lastTrim) {
            peak_ = present;
            quiet_ = 0;
            return true;
        }
        return quiet_ == firstTrim;
    }

private:
    std::size_t peak_ = 0; // the most frames present since the last trim
    int quiet_ = 0;        // sweeps in a row at a quarter of the peak or less
};

} // namespace Vorn
