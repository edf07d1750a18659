// The adapter list on Linux: getifaddrs.

#include "transport/EnumeratorQuery_posix.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace Network {

namespace EnumeratorQuery {

namespace {

// How a missing address or mask reads in the records.
const char* const noAddress = "0.0.0.0";

std::string ipv4Text(const sockaddr* address) {
    if (!address || address->sa_family != AF_INET)
        return noAddress;
    sockaddr_in in;
    std::memcpy(&in, address, sizeof in);
    char text[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &in.sin_addr, text, sizeof text))
        return noAddress;
    return text;
}

} // namespace

Enumerator::QueryResult fromInterfaceAddresses(const ifaddrs* first,
                                               std::vector<AdapterEntry>& adapters) {
    std::vector<AdapterEntry> all; // every named interface, in order of first appearance
    for (const ifaddrs* entry = first; entry; entry = entry->ifa_next) {
        if (!entry->ifa_name)
            continue;
        auto found = std::find_if(all.begin(), all.end(), [&](const AdapterEntry& adapter) {
            return adapter.description == entry->ifa_name;
        });
        if (found == all.end()) {
            all.push_back({entry->ifa_name, {}, {}});
            found = all.end() - 1;
        }
        const sockaddr* address = entry->ifa_addr;
        if (!address)
            continue;
        if (address->sa_family == AF_PACKET) {
            sockaddr_ll link;
            std::memcpy(&link, address, sizeof link);
            const std::size_t length = std::min<std::size_t>(link.sll_halen, sizeof link.sll_addr);
            found->hardwareAddress.assign(link.sll_addr, link.sll_addr + length);
        } else if (address->sa_family == AF_INET) {
            found->addresses.emplace_back(ipv4Text(address), ipv4Text(entry->ifa_netmask));
        }
    }
    for (AdapterEntry& adapter : all)
        if (!adapter.addresses.empty())
            adapters.push_back(std::move(adapter));
    return adapters.empty() ? Enumerator::QueryResult::sizeFailed : Enumerator::QueryResult::ok;
}

} // namespace EnumeratorQuery

Enumerator::QueryResult Enumerator::querySystem(std::vector<AdapterEntry>& adapters) {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return QueryResult::sizeFailed;
    const std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owner(list, &freeifaddrs);
    return EnumeratorQuery::fromInterfaceAddresses(list, adapters);
}

} // namespace Network
