#include "CongestionController.h"

#include "Exception.h"

#include <algorithm>
#include <chrono>
#include <thread>
#include <utility>

CongestionController::CongestionController(std::uint32_t pollLimit) : pollLimit_(pollLimit) {}

CongestionController::~CongestionController() {
    shutdown();
}

bool CongestionController::submit(std::uint64_t frameId, std::uint32_t length,
                                  std::function<void()> action, std::function<void()> gaveUp) {
    // The frame id names the request to whoever reads a queued job; admission
    // does not use it.
    static_cast<void>(frameId);
    if (!running_.load())
        return false; // the action is dropped unrun
    if (tryAdmit(length)) {
        action();
        return true;
    }
    worker_.post([this, length, action = std::move(action), gaveUp = std::move(gaveUp)] {
        bool admitted = false;
        try {
            admitted = waitForRoom(length);
        } catch (const Vorn::CongestionWaitTimeoutException&) {
            // Nobody waits for this job: it ends unsent and the worker goes on.
            if (gaveUp)
                gaveUp();
            return;
        }
        if (admitted)
            action();
    });
    return true;
}

CongestionController::Admission CongestionController::admitNow(std::uint32_t length) {
    if (!running_.load())
        return Admission::Stopped;
    return tryAdmit(length) ? Admission::Admitted : Admission::Full;
}

bool CongestionController::waitForRoom(std::uint32_t length) {
    std::uint64_t polls = 0;
    for (;;) {
        if (tryAdmit(length))
            return running_.load();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (++polls > pollLimit_)
            throw Vorn::CongestionWaitTimeoutException(
                "src/CongestionController", __LINE__,
                "A timeout occured when attempting to communicate on the network");
        if (!running_.load())
            return false;
    }
}

void CongestionController::acknowledge(std::uint32_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (congestionWindow_ < slowStartThreshold_)
        congestionWindow_ += segmentSize;
    else
        congestionWindow_ += avoidanceNumerator / congestionWindow_;
    bytesInFlight_ = length > bytesInFlight_ ? 0 : bytesInFlight_ - length;
}

void CongestionController::reportLoss(std::uint32_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    congestionWindow_ = std::max(congestionWindow_ / 2, segmentSize);
    slowStartThreshold_ = std::max(congestionWindow_, thresholdFloor);
    bytesInFlight_ = length > bytesInFlight_ ? 0 : bytesInFlight_ - length;
}

void CongestionController::stop() {
    running_.store(false);
}

void CongestionController::shutdown() {
    stop();
    worker_.stop();
}

CongestionController::State CongestionController::state() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return State{bytesInFlight_, slowStartThreshold_, congestionWindow_};
}

bool CongestionController::tryAdmit(std::uint32_t length) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Summed in 64 bits: a huge length must not wrap around into the window.
    if (static_cast<std::uint64_t>(bytesInFlight_) + length > congestionWindow_)
        return false;
    bytesInFlight_ += length;
    return true;
}
