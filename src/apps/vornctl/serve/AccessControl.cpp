#include "AccessControl.h"

#include "AccessToken.h"

#include <algorithm>

namespace Vornctl::Serve {
namespace {

// The names of `people` that may come in at `now`, sorted.
std::vector<std::string> admittedNames(const std::unordered_map<std::string, Person>& people,
                                       Journal::SystemTime now) {
    std::vector<std::string> names;
    for (const auto& [hash, person] : people)
        if (!expired(person, now))
            names.push_back(person.name);
    std::sort(names.begin(), names.end());
    return names;
}

// The names of `before` not in `after` (both sorted).
std::vector<std::string> gone(const std::vector<std::string>& before,
                              const std::vector<std::string>& after) {
    std::vector<std::string> out;
    std::set_difference(before.begin(), before.end(), after.begin(), after.end(),
                        std::back_inserter(out));
    return out;
}

} // namespace

AccessControl::AccessControl(std::string ownerToken, GuessThrottle::Settings throttle)
    : ownerToken_(std::move(ownerToken)), throttle_(throttle) {}

void AccessControl::setOwnerToken(std::string token) {
    std::lock_guard<std::mutex> lock(mutex_);
    ownerToken_ = std::move(token);
}

std::vector<std::string> AccessControl::setPeople(std::vector<Person> people,
                                                  Journal::SystemTime now) {
    std::unordered_map<std::string, Person> table;
    for (Person& person : people)
        table[person.tokenSha256] = std::move(person);
    std::lock_guard<std::mutex> lock(mutex_);
    // A person whose token changed keeps the name but not the old link.
    std::vector<std::string> ended;
    for (const auto& [hash, person] : people_) {
        const auto now_ = table.find(hash);
        if ((now_ == table.end() || now_->second.name != person.name) &&
            std::binary_search(admitted_.begin(), admitted_.end(), person.name))
            ended.push_back(person.name);
    }
    people_ = std::move(table);
    std::vector<std::string> admitted = admittedNames(people_, now);
    for (const std::string& name : gone(admitted_, admitted))
        if (std::find(ended.begin(), ended.end(), name) == ended.end())
            ended.push_back(name);
    admitted_ = std::move(admitted);
    std::sort(ended.begin(), ended.end());
    return ended;
}

std::vector<std::string> AccessControl::expireNow(Journal::SystemTime now) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> admitted = admittedNames(people_, now);
    std::vector<std::string> ended = gone(admitted_, admitted);
    admitted_ = std::move(admitted);
    return ended;
}

AccessLookup AccessControl::identify(std::string_view token, Journal::SystemTime now) const {
    // Hashed outside the lock: a guesser's requests keep no one else waiting.
    const std::string hash = tokenSha256(token);
    std::lock_guard<std::mutex> lock(mutex_);
    if (sameToken(token, ownerToken_))
        return {Identity{std::string(ownerName), Role::Write, {}}, {}};
    const auto found = people_.find(hash);
    if (found == people_.end())
        return {};
    const Person& person = found->second;
    if (expired(person, now))
        return {std::nullopt, "the link of " + person.name + " expired on " +
                                  Journal::formatUtc(*person.expires)};
    return {Identity{person.name, person.role, hash}, {}};
}

std::chrono::milliseconds AccessControl::wrongToken(const std::string& address) {
    ++wrongTokens_;
    std::lock_guard<std::mutex> lock(mutex_);
    const auto delay = throttle_.failed(address, GuessThrottle::Clock::now());
    if (delay.count() > 0)
        ++delayedAnswers_;
    return delay;
}

void AccessControl::used(const Identity& who, const std::string& address, Journal::SystemTime now) {
    std::lock_guard<std::mutex> lock(mutex_);
    throttle_.succeeded(address);
    if (who.owner())
        return;
    LastUse& use = lastUses_[who.tokenSha256];
    // Recorded to the second: a page's many requests change nothing more.
    if (use.from != address || now - use.time >= std::chrono::seconds(1)) {
        use = LastUse{now, address};
        lastUsesChanged_ = true;
    }
}

std::optional<LastUses> AccessControl::takeLastUses() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!lastUsesChanged_)
        return std::nullopt;
    lastUsesChanged_ = false;
    // Only the people of the file: a revoked person's line goes with them.
    LastUses kept;
    for (const auto& [hash, use] : lastUses_)
        if (people_.count(hash))
            kept.emplace(hash, use);
    return kept;
}

void AccessControl::setLastUses(LastUses uses) {
    std::lock_guard<std::mutex> lock(mutex_);
    lastUses_ = std::move(uses);
}

AccessFigures AccessControl::figures() const {
    AccessFigures figures;
    figures.wrongTokens = wrongTokens_;
    figures.delayedAnswers = delayedAnswers_;
    std::lock_guard<std::mutex> lock(mutex_);
    figures.heldBackAddresses = throttle_.heldBack(GuessThrottle::Clock::now());
    figures.people = admitted_.size();
    return figures;
}

} // namespace Vornctl::Serve
