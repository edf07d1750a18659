#include "ReloadTrigger.h"

#include <ostream>

namespace Vornctl {

// Windows sends a console program no reload request; the steps stay joined
// but nothing asks for them.
class ReloadTrigger::Impl {};

ReloadTrigger::ReloadTrigger(boost::asio::io_context&, ReloadSignal&, std::ostream&)
    : impl_(std::make_unique<Impl>()) {}

ReloadTrigger::~ReloadTrigger() = default;

} // namespace Vornctl
