#include "StartUp.h"

#include "ErrorReport.h"
#include "Exception.h"
#include "Texts.h"

namespace StartUp {

Result startController(const std::optional<std::string>& address,
                       const std::function<void(VornService&)>& registerHandlers) {
    if (!address)
        return {nullptr, Text::invalidInterface};
    try {
        auto controller = std::make_unique<VornService>(*address);
        registerHandlers(*controller);
        controller->start();
        return {std::move(controller), std::nullopt};
    } catch (const Network::AddressInUseException&) {
        return {nullptr, Text::addressInUse};
    } catch (...) {
        // Any other failure, also one of the standard library's (no thread
        // for the engine): its own text.
        return {nullptr, ErrorReport::describeCurrentException()};
    }
}

} // namespace StartUp
