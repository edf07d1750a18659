#pragma once

// The system-specific halves of Enumerator::querySystem, taking the system call
// (or its result) as a parameter so that they can be driven with made-up data.

#include "Enumerator.h"

#include <vector>

#ifdef _WIN32
#include <winsock2.h>
// after winsock2.h, which brings the Windows types it uses
#include <iphlpapi.h>

namespace EnumeratorQuery {

using GetAdaptersInfoFunction = ULONG(WINAPI*)(PIP_ADAPTER_INFO, PULONG);

// The two-call form: the first call (no buffer) must report ERROR_BUFFER_OVERFLOW
// with the size, the second must fill a buffer of that size and report 0.
Enumerator::QueryResult fromAdaptersInfo(GetAdaptersInfoFunction getAdaptersInfo,
                                         std::vector<AdapterEntry>& adapters);

} // namespace EnumeratorQuery

#else
#include <ifaddrs.h>

namespace EnumeratorQuery {

// Groups a getifaddrs list by interface name, in order of first appearance:
// hardware address from the AF_PACKET entry, every AF_INET address with its
// mask. Interfaces without an IPv4 address are left out; none at all is
// sizeFailed, as the system reports no adapter list then.
Enumerator::QueryResult fromInterfaceAddresses(const ifaddrs* first,
                                               std::vector<AdapterEntry>& adapters);

} // namespace EnumeratorQuery

#endif
