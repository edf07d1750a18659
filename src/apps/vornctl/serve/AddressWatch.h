#pragma once

#include "AdapterChoice.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace Vornctl::Serve {

// Looks up the adapter that --interface named every `interval` on a thread of
// its own, and calls `changed` once, with a sentence for the person at the box,
// when it no longer has the address serve is bound to (a new DHCP lease, the
// cable moved to another network). The destructor stops and joins the thread.
class AddressWatch {
public:
    using LookUp = std::function<AdapterChoice(const std::string& given)>;
    using Changed = std::function<void(const std::string& why)>;

    AddressWatch(std::string given, std::string bound, std::chrono::milliseconds interval,
                 LookUp lookUp, Changed changed);
    ~AddressWatch();
    AddressWatch(const AddressWatch&) = delete;
    AddressWatch& operator=(const AddressWatch&) = delete;

    // Why the address is not `bound` any more; empty while it is.
    static std::string difference(const std::string& given, const std::string& bound,
                                  const AdapterChoice& now);

private:
    void run();

    const std::string given_;
    const std::string bound_;
    const std::chrono::milliseconds interval_;
    const LookUp lookUp_;
    const Changed changed_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false; // guarded by mutex_
    std::thread thread_;
};

} // namespace Vornctl::Serve
