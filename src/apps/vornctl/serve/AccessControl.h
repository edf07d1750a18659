#pragma once

#include "AccessFile.h"
#include "GuessThrottle.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// Who may come into a vornctl serve, as whom, and how fast a stranger may
// guess: serve's own token (its holder is the owner, role write) and the
// people of the access file. Any thread.
namespace Vornctl::Serve {

// Who a request comes from.
struct Identity {
    std::string name; // ownerName for serve's own token
    Role role = Role::Write;
    std::string tokenSha256; // empty for the owner
    bool owner() const { return tokenSha256.empty(); }
};

// What a token is: someone, or refused (`refusal` says why when it is a
// person's link that no longer works; empty: an unknown token).
struct AccessLookup {
    std::optional<Identity> who;
    std::string refusal;
};

// What /metrics shows of the guard.
struct AccessFigures {
    std::uint64_t wrongTokens = 0;    // requests with a token nobody holds
    std::uint64_t delayedAnswers = 0; // of those, answered late
    std::size_t heldBackAddresses = 0;
    std::size_t people = 0;
};

class AccessControl {
public:
    explicit AccessControl(std::string ownerToken,
                           GuessThrottle::Settings throttle = GuessThrottle::Settings());

    void setOwnerToken(std::string token);
    // The access file's people from now on. Returns the names of those let in
    // before and not now (removed, their token changed, or expired), each
    // once.
    std::vector<std::string> setPeople(std::vector<Person> people, Journal::SystemTime now);
    // The names of the people whose link expired since the last call, each once.
    std::vector<std::string> expireNow(Journal::SystemTime now);

    AccessLookup identify(std::string_view token, Journal::SystemTime now) const;

    // A wrong token from `address`: how long to hold its answer back (counted).
    std::chrono::milliseconds wrongToken(const std::string& address);
    // A right one: `who` used their link from `address` now.
    void used(const Identity& who, const std::string& address, Journal::SystemTime now);

    // The last uses since the last call (with those read at the start); none
    // when nothing changed.
    std::optional<LastUses> takeLastUses();
    void setLastUses(LastUses uses);

    AccessFigures figures() const;

private:
    mutable std::mutex mutex_;
    std::string ownerToken_;                         // guarded by mutex_
    std::unordered_map<std::string, Person> people_; // guarded by mutex_; by tokenSha256
    std::vector<std::string> admitted_;              // guarded by mutex_; names let in
    GuessThrottle throttle_;                         // guarded by mutex_
    LastUses lastUses_;                              // guarded by mutex_
    bool lastUsesChanged_ = false;                   // guarded by mutex_
    std::atomic<std::uint64_t> wrongTokens_{0};
    std::atomic<std::uint64_t> delayedAnswers_{0};
};

} // namespace Vornctl::Serve
