#pragma once

#include <chrono>
#include <cstdint>

namespace Vorn {

// What the engine has done since it started, for monitoring: counters that
// only grow, and the congestion window's bytes now.
struct EngineFigures {
    std::uint64_t answered = 0;          // requests that got their reply
    std::uint64_t timedOut = 0;          // requests that ran out of attempts (or of time waiting)
    std::uint64_t failed = 0;            // requests never sent, or whose device left meanwhile
    std::uint64_t retransmissions = 0;   // attempts after a request's first
    std::uint32_t bytesInFlight = 0;     // the congestion window's bytes awaiting a reply
    std::uint64_t framesDropped = 0;     // new frames that found the frame table full
    std::uint64_t presencesDeferred = 0; // presences of new frames left for later (event backlog)
    std::chrono::system_clock::time_point startTime;
};

} // namespace Vorn
