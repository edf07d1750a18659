#pragma once

// The Windows half of Enumerator::querySystem, taking the system call as a
// parameter so that it can be driven with made-up data.

#include "transport/Enumerator.h"

#include <vector>

#include <winsock2.h>
// after winsock2.h, which brings the Windows types it uses
#include <iphlpapi.h>

namespace Network {

namespace EnumeratorQuery {

using GetAdaptersInfoFunction = ULONG(WINAPI*)(PIP_ADAPTER_INFO, PULONG);

// The two-call form: the first call (no buffer) must report ERROR_BUFFER_OVERFLOW
// with the size, the second must fill a buffer of that size and report 0.
Enumerator::QueryResult fromAdaptersInfo(GetAdaptersInfoFunction getAdaptersInfo,
                                         std::vector<AdapterEntry>& adapters);

} // namespace EnumeratorQuery

} // namespace Network
