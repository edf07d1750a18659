#include "StartUp.h"

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
    } catch (const Exception& failure) {
        return {nullptr, failure.message()};
    }
}

} // namespace StartUp
