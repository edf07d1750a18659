#include "AddressWatch.h"

namespace Vornctl::Serve {

AddressWatch::AddressWatch(std::string given, std::string bound, std::chrono::milliseconds interval,
                           LookUp lookUp, Changed changed)
    : given_(std::move(given)), bound_(std::move(bound)), interval_(interval),
      lookUp_(std::move(lookUp)), changed_(std::move(changed)), thread_([this] { run(); }) {}

AddressWatch::~AddressWatch() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

std::string AddressWatch::difference(const std::string& given, const std::string& bound,
                                     const AdapterChoice& now) {
    if (now.kind == AdapterChoice::Kind::found) {
        if (now.adapter.ipAddress == bound)
            return {};
        return "the address of " + given + " changed from " + bound + " to " +
               now.adapter.ipAddress;
    }
    if (now.kind == AdapterChoice::Kind::noAddress)
        return given + " lost its address " + bound;
    return given == bound ? "no adapter has the address " + bound + " any more"
                          : "the network adapter " + given + " is gone";
}

void AddressWatch::run() {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, interval_, [this] { return stopping_; })) {
        lock.unlock();
        const std::string why = difference(given_, bound_, lookUp_(given_));
        if (!why.empty()) {
            changed_(why);
            return;
        }
        lock.lock();
    }
}

} // namespace Vornctl::Serve
