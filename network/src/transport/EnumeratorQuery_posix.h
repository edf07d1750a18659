#pragma once

// The Linux half of Enumerator::querySystem, taking the result of getifaddrs
// as a parameter so that it can be driven with made-up data.

#include "transport/Enumerator.h"

#include <vector>

#include <ifaddrs.h>

namespace Network {

namespace EnumeratorQuery {

// Groups a getifaddrs list by interface name, in order of first appearance:
// hardware address from the AF_PACKET entry, every AF_INET address with its
// mask. Interfaces without an IPv4 address are left out; none at all is
// sizeFailed, as the system reports no adapter list then.
Enumerator::QueryResult fromInterfaceAddresses(const ifaddrs* first,
                                               std::vector<AdapterEntry>& adapters);

} // namespace EnumeratorQuery

} // namespace Network
