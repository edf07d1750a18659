#include "Enumerator.h"

#include "EnumeratorQuery.h"
#include "Exception.h"

#include <algorithm>
#include <cstring>
#include <memory>

#ifndef _WIN32
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace {

const char* const sourceUnit = "src/Enumerator";
const char* const sizeFailedText = "Failed to get network adapters size info";
const char* const listFailedText = "GetAdaptersInfo - Failed to get network adapters info";
const char* const noAddress = "0.0.0.0";

} // namespace

Enumerator::Enumerator() : Enumerator(&Enumerator::querySystem) {}

Enumerator::Enumerator(Query query) : query_(std::move(query)) {
    refresh();
}

void Enumerator::refresh() {
    std::lock_guard<std::mutex> lock(mutex_);
    adapters_.clear();
    std::vector<AdapterEntry> entries;
    switch (query_(entries)) {
    case QueryResult::ok:
        break;
    case QueryResult::sizeFailed:
        throw Network::FailedToEnumerateNetworkException(sourceUnit, __LINE__, sizeFailedText);
    case QueryResult::listFailed:
        throw Network::FailedToEnumerateNetworkException(sourceUnit, __LINE__, listFailedText);
    }
    adapters_ = buildRecords(entries);
}

unsigned Enumerator::adapterCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<unsigned>(adapters_.size());
}

AdapterInfo Enumerator::adapterAt(unsigned index) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return adapters_.at(index);
}

std::string Enumerator::formatMac(const unsigned char* bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(17);
    for (int i = 0; i < 6; ++i) {
        if (i != 0)
            text += ':';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0f];
    }
    return text;
}

std::vector<AdapterInfo> Enumerator::buildRecords(const std::vector<AdapterEntry>& adapters) {
    std::vector<AdapterInfo> records;
    for (const AdapterEntry& adapter : adapters) {
        unsigned char mac[6] = {};
        std::copy_n(adapter.hardwareAddress.begin(),
                    std::min<std::size_t>(adapter.hardwareAddress.size(), 6), mac);
        const std::string macText = formatMac(mac);
        if (adapter.addresses.empty()) {
            records.push_back({noAddress, macText, noAddress, adapter.description});
            continue;
        }
        for (const auto& [address, mask] : adapter.addresses)
            records.push_back({address, macText, mask, adapter.description});
    }
    return records;
}

#ifdef _WIN32

namespace EnumeratorQuery {

namespace {

// The text of a fixed-size, normally NUL-terminated field.
template <std::size_t N> std::string fieldText(const char (&field)[N]) {
    return std::string(field, strnlen(field, N));
}

} // namespace

Enumerator::QueryResult fromAdaptersInfo(GetAdaptersInfoFunction getAdaptersInfo,
                                         std::vector<AdapterEntry>& adapters) {
    ULONG size = 0;
    if (getAdaptersInfo(nullptr, &size) != ERROR_BUFFER_OVERFLOW)
        return Enumerator::QueryResult::sizeFailed;

    // Zero-filled storage of exactly `size` bytes (operator new aligns it for IP_ADAPTER_INFO).
    std::vector<unsigned char> buffer(size);
    auto* first = reinterpret_cast<IP_ADAPTER_INFO*>(buffer.data());
    if (getAdaptersInfo(first, &size) != 0)
        return Enumerator::QueryResult::listFailed;

    for (const IP_ADAPTER_INFO* adapter = first; adapter; adapter = adapter->Next) {
        AdapterEntry entry;
        entry.description = fieldText(adapter->Description);
        entry.hardwareAddress.assign(adapter->Address, adapter->Address + 6);
        for (const IP_ADDR_STRING* address = &adapter->IpAddressList; address;
             address = address->Next)
            entry.addresses.emplace_back(fieldText(address->IpAddress.String),
                                         fieldText(address->IpMask.String));
        adapters.push_back(std::move(entry));
    }
    return Enumerator::QueryResult::ok;
}

} // namespace EnumeratorQuery

Enumerator::QueryResult Enumerator::querySystem(std::vector<AdapterEntry>& adapters) {
    return EnumeratorQuery::fromAdaptersInfo(&GetAdaptersInfo, adapters);
}

#else

namespace EnumeratorQuery {

namespace {

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

#endif
