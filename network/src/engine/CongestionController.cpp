#include "engine/CongestionController.h"

#include "Exception.h"
#include "transport/Platform.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <utility>
#include <vector>

namespace Vorn {

namespace {

std::uint64_t steadyNanoseconds() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

void giveUp(std::vector<AdmissionQueue::Entry>& entries, Vorn::ErrorCode why) {
    for (auto& entry : entries)
        if (entry.gaveUp)
            entry.gaveUp(why);
}

} // namespace

CongestionController::CongestionController(std::uint32_t pollLimit, Clock clock)
    : pollLimit_(pollLimit), clock_(clock ? std::move(clock) : Clock(steadyNanoseconds)),
      server_([this] { serve(); }) {}

CongestionController::~CongestionController() {
    shutdown();
}

CongestionController::Admission CongestionController::submit(const Ticket& ticket,
                                                             AdmissionQueue::Action action,
                                                             AdmissionQueue::GiveUp gaveUp) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_.load())
            return Admission::Stopped; // the action is dropped unrun
        if (!tryAdmit(ticket.lane, ticket.length)) {
            if (ticket.bounded &&
                (ticket.lane == Lane::User ? queue_.boundedUser() >= userBound
                                           : queue_.boundedBackground() >= backgroundBound))
                return Admission::Refused;
            const std::uint64_t earliest = queue_.earliestGiveUp();
            if (ticket.giveUpAt != 0 && (earliest == 0 || ticket.giveUpAt < earliest)) {
                // The queue's thread sleeps until the earliest give-up time it
                // knew of: this one comes sooner.
                serveWanted_ = true;
                wake_.notify_one();
            }
            queue_.push({ticket.frameId, ticket.length, ticket.lane, ticket.giveUpAt,
                         ticket.bounded, std::move(action), std::move(gaveUp)});
            return Admission::Queued;
        }
    }
    action(ticket.lane);
    return Admission::Admitted;
}

bool CongestionController::submit(std::uint64_t frameId, std::uint32_t length,
                                  std::function<void()> action) {
    return submit(Ticket{frameId, length, Lane::Answering, 0, false},
                  [action = std::move(action)](Lane) { action(); }) != Admission::Stopped;
}

CongestionController::Admission CongestionController::admitNow(std::uint32_t length, Lane lane) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!running_.load())
        return Admission::Stopped;
    return tryAdmit(lane, length) ? Admission::Admitted : Admission::Full;
}

bool CongestionController::waitForRoom(std::uint32_t length) {
    std::uint64_t polls = 0;
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (tryAdmit(Lane::Answering, length))
                return running_.load();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (++polls > pollLimit_)
            throw Vorn::CongestionWaitTimeoutException(
                "src/CongestionController", __LINE__,
                "A timeout occured when attempting to communicate on the network");
        if (!running_.load())
            return false;
    }
}

void CongestionController::acknowledge(std::uint32_t length, Lane lane) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!release(lane, length))
        return;
    if (congestionWindow_ < slowStartThreshold_)
        congestionWindow_ += segmentSize;
    else
        congestionWindow_ += avoidanceNumerator / congestionWindow_;
    wakeIfRoom();
}

void CongestionController::reportLoss(std::uint32_t length, Lane lane) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!release(lane, length))
        return;
    congestionWindow_ = std::max(congestionWindow_ / 2, segmentSize);
    slowStartThreshold_ = std::max(congestionWindow_, thresholdFloor);
    wakeIfRoom();
}

void CongestionController::returnUnsent(std::uint32_t length, Lane lane) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (release(lane, length))
        wakeIfRoom();
}

void CongestionController::promote(std::uint64_t frameId) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (queue_.promote(frameId, Lane::Answering) > 0)
        wakeIfRoom();
}

void CongestionController::dropFrame(std::uint64_t frameId) {
    std::vector<AdmissionQueue::Entry> dropped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        dropped = queue_.takeFrame(frameId);
        if (!dropped.empty())
            wakeIfRoom(); // a request that waited behind them may fit
    }
    giveUp(dropped, Vorn::ErrorCode::SendFailed);
}

void CongestionController::expireNow() {
    std::vector<AdmissionQueue::Entry> expired;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!running_.load())
            return;
        expired = queue_.takeExpired(clock_());
        if (!expired.empty())
            wakeIfRoom();
    }
    giveUp(expired, Vorn::ErrorCode::TimedOut);
}

void CongestionController::stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        running_.store(false);
    }
    wake_.notify_all();
}

void CongestionController::shutdown() {
    stop();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        serving_ = false;
    }
    wake_.notify_all();
    {
        std::lock_guard<std::mutex> lock(joinMutex_);
        if (server_.joinable())
            server_.join();
    }
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.clear();
}

CongestionController::State CongestionController::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return State{bytesInFlight_, slowStartThreshold_, congestionWindow_};
}

std::uint32_t CongestionController::bytesInFlight(Lane lane) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return inFlight_[static_cast<std::size_t>(lane)];
}

std::size_t CongestionController::waiting() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.size();
}

bool CongestionController::idle() const {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uint64_t due = queue_.earliestGiveUp();
    if (handing_)
        return false;
    return !running_.load() || (!serveWanted_ && (due == 0 || clock_() < due));
}

std::uint64_t CongestionController::releaseFaults() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return releaseFaults_;
}

std::uint64_t CongestionController::wakeUps() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return wakeUps_;
}

bool CongestionController::fits(Lane lane, std::uint32_t length) const {
    // Summed in 64 bits: a huge length must not wrap around into the window.
    const std::uint64_t window = congestionWindow_;
    if (lane == Lane::User)
        return std::uint64_t{inFlight_[0]} + length <= window;
    if (std::uint64_t{bytesInFlight_} + length > window)
        return false;
    return lane != Lane::Failing ||
           std::uint64_t{inFlight_[static_cast<std::size_t>(Lane::Failing)]} + length <= window / 4;
}

bool CongestionController::tryAdmit(Lane lane, std::uint32_t length) {
    if (!fits(lane, length))
        return false;
    inFlight_[static_cast<std::size_t>(lane)] += length;
    bytesInFlight_ += length;
    return true;
}

bool CongestionController::release(Lane lane, std::uint32_t length) {
    auto& laneBytes = inFlight_[static_cast<std::size_t>(lane)];
    if (length > laneBytes) {
        ++releaseFaults_;
#ifndef NDEBUG
        std::fprintf(stderr,
                     "CongestionController: %u bytes released in lane %u, which holds %u in "
                     "flight (released twice?); ignored\n",
                     length, static_cast<unsigned>(lane), laneBytes);
#endif
        return false;
    }
    laneBytes -= length;
    bytesInFlight_ -= length;
    return true;
}

void CongestionController::wakeIfRoom() {
    if (serveWanted_ ||
        !queue_.anyFits([&](Lane lane, std::uint32_t length) { return fits(lane, length); }))
        return;
    serveWanted_ = true;
    wake_.notify_one(); // the thread waits on mutex_, taken right after this returns
}

// The queue's thread: admits waiting requests as releases make room, in lane
// order, and ends the ones past their give-up time. Actions and give-ups run
// outside the lock.
void CongestionController::serve() {
    Network::nameThisThread("vorn-admission");
    std::vector<AdmissionQueue::Entry> admitted;
    std::vector<AdmissionQueue::Entry> expired;
    std::unique_lock<std::mutex> lock(mutex_);
    const auto woken = [&] { return serveWanted_ || !serving_; };
    // The clock's reading when a wait for a give-up time last ran out; 0: none.
    std::uint64_t timedOutAt = 0;
    while (serving_) {
        if (!running_.load()) {
            // Stopped: nothing is admitted or given up any more; wait for the end.
            wake_.wait(lock, [&] { return !serving_; });
            continue;
        }
        const std::uint64_t due = queue_.earliestGiveUp();
        const std::uint64_t now = due == 0 ? 0 : clock_();
        if (!woken() && (due == 0 || now < due)) {
            if (due == 0 || now == timedOutAt) {
                // Nothing to give up, or the clock stood still through a whole
                // wait: its owner drives it and ends the give-ups with expireNow().
                wake_.wait(lock, woken);
            } else if (!wake_.wait_for(lock, std::chrono::nanoseconds(due - now), woken)) {
                timedOutAt = now;
            }
            ++wakeUps_;
        }
        serveWanted_ = false;
        if (!serving_ || !running_.load())
            continue; // the loop's first test takes it from here
        while (auto entry = queue_.popFitting(
                   [&](Lane lane, std::uint32_t length) { return fits(lane, length); })) {
            inFlight_[static_cast<std::size_t>(entry->lane)] += entry->length;
            bytesInFlight_ += entry->length;
            admitted.push_back(std::move(*entry));
        }
        expired = queue_.takeExpired(clock_());
        if (!expired.empty())
            wakeIfRoom(); // a request that waited behind them may fit: the next round takes it
        if (admitted.empty() && expired.empty())
            continue;
        handing_ = true;
        lock.unlock();
        for (auto& entry : admitted)
            entry.action(entry.lane);
        giveUp(expired, Vorn::ErrorCode::TimedOut);
        admitted.clear();
        expired.clear();
        lock.lock();
        handing_ = false;
    }
}

} // namespace Vorn
