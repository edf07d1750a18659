#include "ReloadTrigger.h"

#include "ReloadSignal.h"

#include <boost/asio/signal_set.hpp>

#include <csignal>
#include <ostream>

namespace Vornctl {

class ReloadTrigger::Impl {
public:
    Impl(boost::asio::io_context& io, ReloadSignal& signal, std::ostream& err)
        : signals_(io, SIGHUP), signal_(signal), err_(err) {
        wait();
    }

private:
    void wait() {
        signals_.async_wait([this](const boost::system::error_code& error, int) {
            if (error)
                return; // cancelled: the trigger is going
            for (const std::string& failure : signal_.request())
                err_ << "Error: reload: " << failure << std::endl;
            wait();
        });
    }

    boost::asio::signal_set signals_;
    ReloadSignal& signal_;
    std::ostream& err_;
};

ReloadTrigger::ReloadTrigger(boost::asio::io_context& io, ReloadSignal& signal, std::ostream& err)
    : impl_(std::make_unique<Impl>(io, signal, err)) {}

ReloadTrigger::~ReloadTrigger() = default;

} // namespace Vornctl
