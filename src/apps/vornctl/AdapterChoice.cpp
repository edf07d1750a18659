#include "AdapterChoice.h"

#include "Exception.h"

namespace Vornctl {
namespace {

const char* const noAddress = "0.0.0.0";

bool dottedQuad(const std::string& text) {
    int parts = 0, digits = 0;
    for (char c : text) {
        if (c == '.') {
            if (digits == 0)
                return false;
            ++parts;
            digits = 0;
        } else if (c >= '0' && c <= '9') {
            ++digits;
        } else {
            return false;
        }
    }
    return parts == 3 && digits > 0;
}

} // namespace

AdapterChoice chooseAdapter(const std::vector<Network::AdapterInfo>& adapters,
                            const std::string& given, const AdapterExists& exists) {
    AdapterChoice choice;
    if (given.empty() || given == noAddress)
        return choice;
    const bool byAddress = dottedQuad(given);
    bool named = false;
    for (const Network::AdapterInfo& adapter : adapters) {
        const bool match = byAddress ? adapter.ipAddress == given : adapter.description == given;
        if (!match)
            continue;
        if (adapter.ipAddress != noAddress) {
            choice.kind = AdapterChoice::Kind::found;
            choice.adapter = adapter;
            return choice;
        }
        named = true;
    }
    if (!byAddress && (named || (exists && exists(given)))) {
        choice.kind = AdapterChoice::Kind::noAddress;
        choice.adapter.description = given;
        choice.adapter.ipAddress = noAddress;
    }
    return choice;
}

AdapterChoice lookUpSystemAdapter(const std::string& given) {
    std::vector<Network::AdapterInfo> adapters;
    try {
        Network::Enumerator enumerator;
        for (unsigned i = 0; i < enumerator.adapterCount(); ++i)
            adapters.push_back(enumerator.adapterAt(i));
    } catch (const Exception&) {
        // No adapter with an IPv4 address at all (yet): a name may still be known.
    }
    return chooseAdapter(adapters, given, &systemAdapterExists);
}

std::string adapterList(const std::vector<Network::AdapterInfo>& adapters) {
    std::string out;
    for (const Network::AdapterInfo& adapter : adapters)
        out += (out.empty() ? "" : ", ") + adapter.description + " (" + adapter.ipAddress + ")";
    return out.empty() ? "none" : out;
}

} // namespace Vornctl
