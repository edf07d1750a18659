// The adapter list on Windows: GetAdaptersInfo.

#include "transport/EnumeratorQuery_win32.h"

#include <cstring>
#include <string>

namespace Network {

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

} // namespace Network
