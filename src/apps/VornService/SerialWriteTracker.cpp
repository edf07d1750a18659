#include "SerialWriteTracker.h"

std::optional<SerialWriteTracker::Outcome>
SerialWriteTracker::serialRead(std::uint64_t id, std::optional<std::uint32_t> serial) {
    if (serial)
        read_[id] = *serial;
    else
        read_.erase(id);
    // Only a read after the write completed is its read-back.
    if (!pending_ || pending_->id != id || !pending_->acknowledged)
        return std::nullopt;
    Outcome outcome{
        std::move(pending_->entry), id,
        Journal::classifyWrite(*pending_->acknowledged, pending_->before, serial, pending_->target),
        *pending_->acknowledged, serial};
    pending_.reset();
    return outcome;
}

std::optional<std::uint32_t> SerialWriteTracker::lastRead(std::uint64_t id) const {
    const auto found = read_.find(id);
    return found == read_.end() ? std::nullopt : std::optional<std::uint32_t>(found->second);
}

void SerialWriteTracker::forget(std::uint64_t id) {
    read_.erase(id);
}

void SerialWriteTracker::writeStarted(std::string entry, std::uint64_t id, std::uint32_t target) {
    pending_ = Pending{std::move(entry), id, lastRead(id), target, std::nullopt};
}

void SerialWriteTracker::writeDone(std::uint64_t id, bool acknowledged) {
    if (pending_ && pending_->id == id)
        pending_->acknowledged = acknowledged;
}
