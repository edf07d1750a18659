#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>

namespace Vornctl::Serve {

// Slows down whoever guesses tokens: each wrong token from one address in a
// row holds that address's answers back longer (the first few not at all, then
// 0.25 s, 0.5 s, 1 s ... up to 16 s), so that a mistyped link costs nothing and a
// guesser gets a few tries a minute. Other addresses are never held back. The
// table of addresses is bounded: past `maxAddresses` the one quiet for longest
// is forgotten. Not thread-safe (AccessControl guards it); time is passed in.
class GuessThrottle {
public:
    using Clock = std::chrono::steady_clock;
    struct Settings {
        unsigned freeFailures = 3;
        std::chrono::milliseconds firstDelay{250};
        std::chrono::milliseconds maxDelay{16000};
        std::chrono::minutes forgetAfter{15}; // quiet for so long: starts over
        std::size_t maxAddresses = 4096;
    };

    GuessThrottle() = default;
    explicit GuessThrottle(Settings settings) : settings_(settings) {}

    // A wrong token from `address`: how long its answer is held back.
    std::chrono::milliseconds failed(const std::string& address, Clock::time_point now);
    // A right one: the address starts over.
    void succeeded(const std::string& address);
    // Addresses held back now (their next wrong token waits).
    std::size_t heldBack(Clock::time_point now) const;
    std::size_t size() const { return table_.size(); }

private:
    struct Entry {
        unsigned failures = 0;
        Clock::time_point last;
    };
    void makeRoom(Clock::time_point now);

    Settings settings_;
    std::unordered_map<std::string, Entry> table_;
};

} // namespace Vornctl::Serve
