#include "NetworkChoice.h"

#include "Exception.h"

#include <algorithm>
#include <cstring>

namespace {

// Copies at most `Size - 1` characters; the field was cleared, so it stays
// terminated.
template <std::size_t Size> void copyField(char (&field)[Size], const std::string& text) {
    std::memcpy(field, text.data(), std::min(text.size(), Size - 1));
}

} // namespace

NetworkChoice NetworkChoice::from(const Network::AdapterInfo& adapter) {
    NetworkChoice choice{};
    copyField(choice.description, adapter.description);
    copyField(choice.ipAddress, adapter.ipAddress);
    copyField(choice.macAddress, adapter.macAddress);
    return choice;
}

NetworkChoices readNetworkChoices(Network::Enumerator::Query query) {
    NetworkChoices result;
    try {
        Network::Enumerator enumerator(std::move(query));
        const unsigned count = enumerator.adapterCount();
        for (unsigned i = 0; i < count; ++i)
            result.choices.push_back(NetworkChoice::from(enumerator.adapterAt(i)));
    } catch (const Exception& failure) {
        result.choices.clear();
        result.failure = failure.message();
    }
    return result;
}

std::optional<std::string> chosenAddress(const std::vector<NetworkChoice>& choices, int selected) {
    if (selected < 0 || static_cast<std::size_t>(selected) >= choices.size())
        return std::nullopt;
    return std::string(choices[static_cast<std::size_t>(selected)].ipAddress);
}
