#pragma once

#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace Network {

// One IPv4 address of one network adapter.
struct AdapterInfo {
    std::string ipAddress;  // dotted decimal, as the system reports it
    std::string macAddress; // six bytes, lowercase hex, ":" separated
    std::string subnetMask; // dotted decimal
    std::string description;
};

// One adapter as the system reports it, before it becomes records.
struct AdapterEntry {
    std::string description;
    std::vector<unsigned char> hardwareAddress; // any length; the first six bytes are shown
    // (address, mask) texts in the system's order; none means "no address" (listed as 0.0.0.0).
    std::vector<std::pair<std::string, std::string>> addresses;
};

// Snapshot of the workstation's IPv4 addresses, one record per address, in the
// system's order of adapters and of addresses within each adapter.
class Enumerator {
public:
    // How a query for the adapter list ended. The two failures are the two
    // steps of the system query: learning the size of the list (also: there is
    // no IPv4 adapter at all) and fetching it.
    enum class QueryResult { ok, sizeFailed, listFailed };
    // Fills `adapters` (handed over empty) in the system's order.
    using Query = std::function<QueryResult(std::vector<AdapterEntry>& adapters)>;

    // Throws Network::FailedToEnumerateNetworkException.
    Enumerator();
    // Same, with the adapters taken from `query` instead of the system.
    explicit Enumerator(Query query);

    // Rebuilds the list; after a failure it is empty.
    // Throws Network::FailedToEnumerateNetworkException.
    void refresh();
    unsigned adapterCount() const;
    AdapterInfo adapterAt(unsigned index) const;

    // First six bytes of a hardware address as "00:1a:2b:3c:4d:5e".
    static std::string formatMac(const unsigned char* bytes);

    // The system's adapter list (GetAdaptersInfo on Windows, getifaddrs elsewhere).
    static QueryResult querySystem(std::vector<AdapterEntry>& adapters);

    // One record per address, adapters and addresses in the given order.
    static std::vector<AdapterInfo> buildRecords(const std::vector<AdapterEntry>& adapters);

private:
    Query query_;                       // set once at construction
    std::vector<AdapterInfo> adapters_; // guarded by mutex_
    mutable std::mutex mutex_;
};

} // namespace Network
