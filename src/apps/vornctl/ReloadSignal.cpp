#include "ReloadSignal.h"

#include <algorithm>
#include <exception>

namespace Vornctl {

ReloadSignal::Membership::Membership(Membership&& other) noexcept
    : signal_(other.signal_), id_(other.id_) {
    other.signal_ = nullptr;
}

ReloadSignal::Membership& ReloadSignal::Membership::operator=(Membership&& other) noexcept {
    if (this != &other) {
        leave();
        signal_ = other.signal_;
        id_ = other.id_;
        other.signal_ = nullptr;
    }
    return *this;
}

ReloadSignal::Membership::~Membership() {
    leave();
}

void ReloadSignal::Membership::leave() {
    if (signal_)
        signal_->leave(id_);
    signal_ = nullptr;
}

ReloadSignal::Membership ReloadSignal::join(std::string name, Step step) {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uint64_t id = nextId_++;
    steps_.push_back({id, std::move(name), std::move(step)});
    return Membership(this, id);
}

void ReloadSignal::leave(std::uint64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    steps_.erase(std::remove_if(steps_.begin(), steps_.end(),
                                [id](const Entry& entry) { return entry.id == id; }),
                 steps_.end());
}

std::vector<std::string> ReloadSignal::request() {
    std::vector<std::string> failures;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Entry& entry : steps_) {
        try {
            entry.step();
        } catch (const std::exception& failure) {
            failures.push_back(entry.name + ": " + failure.what());
        } catch (...) {
            failures.push_back(entry.name + ": an unknown error");
        }
    }
    ++completed_;
    return failures;
}

std::uint64_t ReloadSignal::completed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return completed_;
}

} // namespace Vornctl
