#pragma once

#include <boost/asio/io_context.hpp>

#include <iosfwd>
#include <memory>

namespace Vornctl {

class ReloadSignal;

// Turns the system's reload request (SIGHUP on Linux; Windows has none) into
// ReloadSignal::request() on the thread running `io`, for as long as it
// exists. A step's failure is written to `err` as "Error: reload: ...".
class ReloadTrigger {
public:
    ReloadTrigger(boost::asio::io_context& io, ReloadSignal& signal, std::ostream& err);
    ~ReloadTrigger();
    ReloadTrigger(const ReloadTrigger&) = delete;
    ReloadTrigger& operator=(const ReloadTrigger&) = delete;

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace Vornctl
