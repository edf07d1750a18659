#include "VornService.h"

#include "Exception.h"
#include "ReplyChecks.h"
#include "transport/Platform.h"
#include "wire/Wire.h"

#include <chrono>
#include <type_traits>
#include <utility>

namespace {

// The two 16-bit words that open the body of every request the tool sends.
constexpr std::size_t bodyWord0 = Vorn::Header::size;
constexpr std::size_t bodyWord1 = Vorn::Header::size + 2;

void clearBodyWords(Vorn::Message& message) {
    Vorn::Wire::writeU16(message.data() + bodyWord0, 0);
    Vorn::Wire::writeU16(message.data() + bodyWord1, 0);
}

} // namespace

VornService::VornService(std::string address)
    : address_(std::move(address)), clocks_(Vorn::FrameList::Clocks::system()) {}

VornService::VornService(Network::Transport& link, Vorn::FrameList::Clocks clocks)
    : link_(&link), clocks_(std::move(clocks)) {}

void VornService::start() {
    if (engine_)
        return;
    try {
        const auto subscribe = [this](VornNetwork& engine) { subscribeRelays(engine); };
        if (link_)
            network_.emplace(networkType_, *link_, clocks_, subscribe);
        else
            network_.emplace(networkType_, address_, subscribe);
        {
            // Under the lock: the engine's threads may schedule a round already.
            std::lock_guard<std::mutex> lock(roundsMutex_);
            roundsThread_ = std::jthread([this](std::stop_token stop) { nameRoundsLoop(stop); });
            roundsStopped_ = roundsThread_.get_stop_token();
        }
    } catch (...) {
        // The engine may have failed after the relays were subscribed, or
        // come up while the names' thread could not: drop the tokens of its
        // events, then the engine itself, so that nothing of it keeps running.
        frameChangedToken_.reset();
        frameRemovedToken_.reset();
        frameAddedToken_.reset();
        network_.reset();
        engine_ = nullptr;
        throw;
    }
}

// Runs inside the engine's constructor, before its first datagram: from here
// on a device can appear, and a handler that asks the controller about it must
// find the engine (its frame list and transport are up; the heartbeat starts
// after this).
void VornService::subscribeRelays(VornNetwork& engine) {
    engine_ = &engine;
    frameAddedToken_ =
        engine.frameAdded.subscribe([this](std::uint64_t id) { relayDeviceAdded(id); });
    frameRemovedToken_ =
        engine.frameRemoved.subscribe([this](std::uint64_t id) { relayDeviceRemoved(id); });
    frameChangedToken_ =
        engine.frameChanged.subscribe([this](std::uint64_t id) { relayDeviceChanged(id); });
}

VornService::~VornService() {
    stopNameRounds();
    frameChangedToken_.reset();
    frameRemovedToken_.reset();
    frameAddedToken_.reset();
    network_.reset();
    // The names' thread was joined by stopNameRounds(); the other members
    // hold no thread and go in reverse order of declaration.
}

void VornService::relayDeviceAdded(std::uint64_t deviceId) {
    for (const auto& handler : deviceAddedHandlers)
        if (handler)
            handler(deviceId);
}

void VornService::relayDeviceRemoved(std::uint64_t deviceId) {
    forgetNameRounds(deviceId);
    for (const auto& handler : deviceRemovedHandlers)
        if (handler)
            handler(deviceId);
}

void VornService::relayDeviceChanged(std::uint64_t deviceId) {
    for (const auto& handler : deviceChangedHandlers)
        if (handler)
            handler(deviceId);
}

std::uint64_t VornService::devicesDropped() const {
    return engine_ ? engine_->frameList().framesDropped() : 0;
}

std::optional<Vorn::FrameInfo> VornService::findDevice(std::uint64_t deviceId) {
    if (!engine_)
        return std::nullopt;
    return engine_->frameList().findFrame(deviceId);
}

template <class Layout>
bool VornService::sendRequest(std::uint64_t deviceId, Completion completion,
                              RequestClass requestClass) {
    if (!engine_)
        return false;
    std::optional<Vorn::Command<Layout>> command = engine_->commandFor<Layout>(deviceId);
    if (!command)
        return false; // the device has gone
    if constexpr (!std::is_same_v<Layout, Vorn::MSG_GetDeviceConfig>)
        clearBodyWords(*command);
    return engine_->send(deviceId, *command, nullptr, std::move(completion), requestClass);
}

bool VornService::requestDeviceName(std::uint64_t deviceId, NameCallback done, NameRounds rounds) {
    using namespace std::placeholders;
    if (sendRequest<Vorn::MSG_GetDeviceConfig>(
            deviceId,
            std::bind(&VornService::onDeviceConfigReply, this, done, rounds, _1, _2, _3, _4),
            RequestClass::Background))
        return true;
    // The queue of waiting requests is full (a flood of new ids): a device that
    // stays is asked in a later round, as after a failed one, not left out.
    return rounds == NameRounds::UntilNamed && scheduleNameRound(deviceId, done);
}

bool VornService::requestSerialNumber(std::uint64_t deviceId, SerialCallback done) {
    using namespace std::placeholders;
    return sendRequest<Vorn::MSG_GetBoardID>(
        deviceId, std::bind(&VornService::onBoardIdReply, this, std::move(done), _1, _2, _3, _4));
}

bool VornService::setSerialNumber(std::uint64_t deviceId, unsigned serial, WriteCallback done) {
    using namespace std::placeholders;
    return sendRequest<Vorn::MSG_GetBoardID>(deviceId,
                                             std::bind(&VornService::onBoardIdForWriteReply, this,
                                                       serial, std::move(done), _1, _2, _3, _4));
}

void VornService::selectDevice(std::uint64_t deviceId) {
    sendSelect(deviceId, true);
}

void VornService::deselectDevice(std::uint64_t deviceId) {
    sendSelect(deviceId, false);
}

void VornService::sendSelect(std::uint64_t deviceId, bool select) {
    if (!engine_)
        return;
    std::optional<Vorn::Command<Vorn::MSG_SelectMe>> command =
        engine_->commandFor<Vorn::MSG_SelectMe>(deviceId);
    Vorn::Destination to;
    if (!command || !engine_->frameList().findDestination(deviceId, to))
        return; // the device has gone; there is nobody to mark
    Vorn::Wire::writeU16(command->data() + Vorn::MSG_SelectMe::select, select ? 0xFFFF : 0);
    Vorn::Wire::writeU16(command->data() + bodyWord1, 0);
    engine_->sendUntracked(to, *command);
}

void VornService::onDeviceConfigReply(const NameCallback& done, NameRounds rounds,
                                      std::uint64_t deviceId, const char* reply, unsigned length,
                                      Vorn::ErrorCode error) {
    auto name = ReplyChecks::deviceName(reply, length, error);
    if (rounds == NameRounds::UntilNamed) {
        if (name)
            forgetNameRounds(deviceId);
        else
            scheduleNameRound(deviceId, done);
    }
    if (name)
        done(deviceId, true, std::move(*name));
    else
        done(deviceId, false, std::string());
}

bool VornService::scheduleNameRound(std::uint64_t deviceId, const NameCallback& done) {
    if (!engine_ || !engine_->frameList().findFrame(deviceId))
        return false; // gone: its removal has been relayed, or is about to be
    {
        std::lock_guard<std::mutex> lock(roundsMutex_);
        if (roundsStopped_.stop_requested())
            return false;
        if (!nameRetries_.failed(deviceId, clocks_.steadyNanoseconds())) {
            nameCallbacks_.erase(deviceId); // asked often enough: no more rounds
            return false;
        }
        nameCallbacks_.insert_or_assign(deviceId, done);
    }
    roundsWake_.notify_one();
    return true;
}

void VornService::forgetNameRounds(std::uint64_t deviceId) {
    std::lock_guard<std::mutex> lock(roundsMutex_);
    nameRetries_.forget(deviceId);
    nameCallbacks_.erase(deviceId);
}

void VornService::retryNamesNow() {
    std::vector<std::pair<std::uint64_t, NameCallback>> due;
    {
        std::lock_guard<std::mutex> lock(roundsMutex_);
        for (std::uint64_t id : nameRetries_.takeDue(clocks_.steadyNanoseconds())) {
            auto found = nameCallbacks_.find(id);
            if (found != nameCallbacks_.end())
                due.emplace_back(id, found->second);
        }
    }
    for (auto& [id, done] : due)
        if (!requestDeviceName(id, done, NameRounds::UntilNamed))
            scheduleNameRound(id, done); // refused (the queue is full): the next round
}

std::size_t VornService::namesToRetry() {
    std::lock_guard<std::mutex> lock(roundsMutex_);
    return nameRetries_.size();
}

// Sleeps until the next round is due (a failure that schedules a sooner one
// wakes it) and asks the devices whose round it is.
void VornService::nameRoundsLoop(std::stop_token stop) {
    Network::nameThisThread("vorn-names");
    std::unique_lock<std::mutex> lock(roundsMutex_);
    while (!stop.stop_requested()) {
        const auto next = nameRetries_.nextDue();
        const auto rescheduled = [&] { return nameRetries_.nextDue() != next; };
        if (!next) {
            roundsWake_.wait(lock, [&] { return stop.stop_requested() || rescheduled(); });
            continue;
        }
        const std::uint64_t now = clocks_.steadyNanoseconds();
        if (*next > now) {
            roundsWake_.wait_for(lock, std::chrono::nanoseconds(*next - now),
                                 [&] { return stop.stop_requested() || rescheduled(); });
            continue;
        }
        lock.unlock();
        retryNamesNow();
        lock.lock();
    }
}

void VornService::stopNameRounds() {
    // The stop is seen by the waits' predicates (not through a stop callback:
    // see SerialWriteFlow's Wake); a round scheduled after it is dropped.
    roundsThread_.request_stop();
    { std::lock_guard<std::mutex> lock(roundsMutex_); }
    roundsWake_.notify_all();
    if (roundsThread_.joinable())
        roundsThread_.join();
}

void VornService::onBoardIdReply(const SerialCallback& done, std::uint64_t deviceId,
                                 const char* reply, unsigned length, Vorn::ErrorCode error) {
    const auto serial = ReplyChecks::boardId(reply, length, error);
    done(deviceId, serial.has_value(), serial.value_or(0));
}

void VornService::onBoardIdForWriteReply(unsigned serial, const WriteCallback& done,
                                         std::uint64_t deviceId, const char* reply, unsigned length,
                                         Vorn::ErrorCode error) {
    using namespace std::placeholders;
    if (!ReplyChecks::boardId(reply, length, error)) {
        // No write went out: nothing answered it.
        done(deviceId, WriteReply::Unanswered);
        return;
    }
    // None: the device left between the read and the write; nothing answers it.
    std::optional<Vorn::Command<Vorn::MSG_SetBoardID>> command =
        engine_->commandFor<Vorn::MSG_SetBoardID>(deviceId);
    bool accepted = false;
    if (command) {
        ReplyChecks::writeBoardRecord(*command, reply, serial);
        // The write's completion gets its own copy of `done`: when the engine
        // refuses the write, that copy is dropped and this one reports it.
        accepted =
            engine_->send(deviceId, *command, nullptr,
                          std::bind(&VornService::onSetBoardIdReply, this, done, _1, _2, _3, _4));
    }
    if (!accepted)
        done(deviceId, WriteReply::Unanswered);
}

void VornService::onSetBoardIdReply(const WriteCallback& done, std::uint64_t deviceId,
                                    const char* reply, unsigned length, Vorn::ErrorCode error) {
    done(deviceId, ReplyChecks::writeReply(reply, length, error));
}
