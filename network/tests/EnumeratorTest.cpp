#include "Enumerator.h"
#include "Exception.h"

#include "../src/EnumeratorQuery.h"

#ifdef _WIN32
#include <ws2tcpip.h>
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#ifndef _WIN32
#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#endif

namespace {

using QueryResult = Enumerator::QueryResult;

std::vector<AdapterInfo> recordsOf(const Enumerator& enumerator) {
    std::vector<AdapterInfo> records;
    for (unsigned i = 0; i < enumerator.adapterCount(); ++i)
        records.push_back(enumerator.adapterAt(i));
    return records;
}

std::string describe(const std::vector<AdapterInfo>& records) {
    std::string text;
    for (const AdapterInfo& r : records)
        text += r.ipAddress + " " + r.macAddress + " " + r.subnetMask + " " + r.description + "\n";
    return text;
}

} // namespace

TEST(EnumeratorTest, FormatsTheFirstSixBytesAsLowercaseHex) {
    const unsigned char first[] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x77};
    const unsigned char second[] = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
    const unsigned char third[] = {0xFF, 0x80, 0x09, 0x10, 0xA0, 0x01};
    EXPECT_EQ(Enumerator::formatMac(first), "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(Enumerator::formatMac(second), "0a:0b:0c:0d:0e:0f");
    EXPECT_EQ(Enumerator::formatMac(third), "ff:80:09:10:a0:01");
}

TEST(EnumeratorTest, OneRecordPerAddressInTheSystemsOrder) {
    const std::vector<AdapterEntry> adapters = {
        {"Ethernet A",
         {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E},
         {{"10.1.2.3", "255.0.0.0"}, {"192.168.7.1", "255.255.255.0"}}},
        {"Disconnected", {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F}, {}},
        {"Tunnel", {0x01, 0x02}, {{"172.16.0.9", "255.255.0.0"}}},
        {"Long", {1, 2, 3, 4, 5, 6, 7, 8}, {{"169.254.1.1", "255.255.0.0"}}},
    };
    const Enumerator enumerator([&](std::vector<AdapterEntry>& out) {
        out = adapters;
        return QueryResult::ok;
    });
    const std::vector<AdapterInfo> expected = {
        {"10.1.2.3", "00:1a:2b:3c:4d:5e", "255.0.0.0", "Ethernet A"},
        {"192.168.7.1", "00:1a:2b:3c:4d:5e", "255.255.255.0", "Ethernet A"},
        {"0.0.0.0", "0a:0b:0c:0d:0e:0f", "0.0.0.0", "Disconnected"},
        {"172.16.0.9", "01:02:00:00:00:00", "255.255.0.0", "Tunnel"},
        {"169.254.1.1", "01:02:03:04:05:06", "255.255.0.0", "Long"},
    };
    EXPECT_EQ(describe(recordsOf(enumerator)), describe(expected));
}

TEST(EnumeratorTest, RefreshReplacesTheListAndFailuresLeaveItEmpty) {
    std::deque<std::pair<QueryResult, std::vector<AdapterEntry>>> answers = {
        {QueryResult::ok, {{"first", {}, {{"10.0.0.1", "255.0.0.0"}, {"10.0.0.2", "255.0.0.0"}}}}},
        {QueryResult::ok, {{"second", {}, {{"10.0.0.3", "255.0.0.0"}}}}},
        {QueryResult::listFailed, {{"partial", {}, {{"10.0.0.4", "255.0.0.0"}}}}},
        {QueryResult::ok, {{"third", {}, {{"10.0.0.5", "255.0.0.0"}}}}},
        {QueryResult::sizeFailed, {}},
    };
    Enumerator enumerator([&](std::vector<AdapterEntry>& out) {
        EXPECT_TRUE(out.empty());
        auto [result, adapters] = answers.front();
        answers.pop_front();
        out = adapters;
        return result;
    });
    EXPECT_EQ(enumerator.adapterCount(), 2u);

    enumerator.refresh();
    ASSERT_EQ(enumerator.adapterCount(), 1u);
    EXPECT_EQ(enumerator.adapterAt(0).description, "second");

    try {
        enumerator.refresh();
        ADD_FAILURE() << "no exception";
    } catch (const Network::FailedToEnumerateNetworkException& error) {
        EXPECT_EQ(error.message(), "GetAdaptersInfo - Failed to get network adapters info");
        EXPECT_EQ(error.source(), "src/Enumerator");
        EXPECT_GT(error.line(), 0);
    }
    EXPECT_EQ(enumerator.adapterCount(), 0u);

    enumerator.refresh();
    ASSERT_EQ(enumerator.adapterCount(), 1u);
    EXPECT_EQ(enumerator.adapterAt(0).description, "third");

    try {
        enumerator.refresh();
        ADD_FAILURE() << "no exception";
    } catch (const Network::FailedToEnumerateNetworkException& error) {
        EXPECT_EQ(error.message(), "Failed to get network adapters size info");
        EXPECT_EQ(error.source(), "src/Enumerator");
    }
    EXPECT_EQ(enumerator.adapterCount(), 0u);
}

TEST(EnumeratorTest, ConstructionFailsWithTheQuery) {
    try {
        Enumerator enumerator([](std::vector<AdapterEntry>&) { return QueryResult::sizeFailed; });
        ADD_FAILURE() << "no exception";
    } catch (const Network::FailedToEnumerateNetworkException& error) {
        EXPECT_EQ(error.message(), "Failed to get network adapters size info");
    }
}

#ifdef _WIN32

namespace {

bool isDottedQuad(const std::string& text) {
    in_addr address;
    return inet_pton(AF_INET, text.c_str(), &address) == 1;
}

// A stand-in for GetAdaptersInfo: one scripted answer per call.
struct FakeAdaptersInfo {
    static inline std::vector<ULONG> results;
    static inline std::vector<std::pair<PIP_ADAPTER_INFO, ULONG>> calls;
    static inline bool bufferWasZeroed = false;
    static constexpr ULONG needed = 2 * sizeof(IP_ADAPTER_INFO) + sizeof(IP_ADDR_STRING);

    static ULONG WINAPI call(PIP_ADAPTER_INFO buffer, PULONG size) {
        calls.emplace_back(buffer, *size);
        const ULONG result = results.at(calls.size() - 1);
        if (!buffer) {
            *size = needed;
            return result;
        }
        if (result != 0)
            return result;
        auto* bytes = reinterpret_cast<unsigned char*>(buffer);
        bufferWasZeroed = std::all_of(bytes, bytes + *size, [](unsigned char b) { return b == 0; });
        auto* second = reinterpret_cast<IP_ADAPTER_INFO*>(bytes + sizeof(IP_ADAPTER_INFO));
        auto* extra = reinterpret_cast<IP_ADDR_STRING*>(bytes + 2 * sizeof(IP_ADAPTER_INFO));
        buffer->Next = second;
        std::strcpy(buffer->Description, "Veth One");
        buffer->AddressLength = 6;
        const unsigned char mac[] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
        std::memcpy(buffer->Address, mac, 6);
        std::strcpy(buffer->IpAddressList.IpAddress.String, "192.0.2.1");
        std::strcpy(buffer->IpAddressList.IpMask.String, "255.255.255.0");
        buffer->IpAddressList.Next = extra;
        std::strcpy(extra->IpAddress.String, "198.51.100.1");
        std::strcpy(extra->IpMask.String, "255.255.255.128");
        std::strcpy(second->Description, "No Address");
        second->AddressLength = 0;
        std::strcpy(second->IpAddressList.IpAddress.String, "0.0.0.0");
        std::strcpy(second->IpAddressList.IpMask.String, "0.0.0.0");
        return 0;
    }

    static QueryResult run(std::vector<ULONG> scripted, std::vector<AdapterEntry>& out) {
        results = std::move(scripted);
        calls.clear();
        bufferWasZeroed = false;
        return EnumeratorQuery::fromAdaptersInfo(&call, out);
    }
};

} // namespace

TEST(EnumeratorTest, AdaptersInfoTwoCallForm) {
    std::vector<AdapterEntry> adapters;
    EXPECT_EQ(FakeAdaptersInfo::run({ERROR_NO_DATA}, adapters), QueryResult::sizeFailed);
    EXPECT_EQ(FakeAdaptersInfo::calls.size(), 1u);
    EXPECT_EQ(FakeAdaptersInfo::run({NO_ERROR}, adapters), QueryResult::sizeFailed);
    // The adapter set grew between the calls.
    EXPECT_EQ(FakeAdaptersInfo::run({ERROR_BUFFER_OVERFLOW, ERROR_BUFFER_OVERFLOW}, adapters),
              QueryResult::listFailed);
    EXPECT_TRUE(adapters.empty());

    ASSERT_EQ(FakeAdaptersInfo::run({ERROR_BUFFER_OVERFLOW, NO_ERROR}, adapters), QueryResult::ok);
    ASSERT_EQ(FakeAdaptersInfo::calls.size(), 2u);
    EXPECT_EQ(FakeAdaptersInfo::calls[0].first, nullptr);
    EXPECT_NE(FakeAdaptersInfo::calls[1].first, nullptr);
    EXPECT_EQ(FakeAdaptersInfo::calls[1].second, FakeAdaptersInfo::needed);
    EXPECT_TRUE(FakeAdaptersInfo::bufferWasZeroed);

    const std::vector<AdapterInfo> expected = {
        {"192.0.2.1", "00:1a:2b:3c:4d:5e", "255.255.255.0", "Veth One"},
        {"198.51.100.1", "00:1a:2b:3c:4d:5e", "255.255.255.128", "Veth One"},
        {"0.0.0.0", "00:00:00:00:00:00", "0.0.0.0", "No Address"},
    };
    EXPECT_EQ(describe(Enumerator::buildRecords(adapters)), describe(expected));
}

TEST(EnumeratorTest, SystemListHasWellFormedRecords) {
    // Under Wine the list holds the machine's (or the namespace's) interfaces
    // but never loopback; with none, the system reports no data at all.
    std::vector<AdapterInfo> records;
    try {
        records = recordsOf(Enumerator());
    } catch (const Network::FailedToEnumerateNetworkException& error) {
        EXPECT_EQ(error.message(), "Failed to get network adapters size info");
        GTEST_SKIP() << "no adapter here (only loopback)";
    }
    ASSERT_FALSE(records.empty());
    for (const AdapterInfo& record : records) {
        EXPECT_EQ(record.macAddress.size(), 17u) << record.macAddress;
        EXPECT_TRUE(isDottedQuad(record.ipAddress)) << record.ipAddress;
        EXPECT_TRUE(isDottedQuad(record.subnetMask)) << record.subnetMask;
    }
}

#else

namespace {

// A hand-made getifaddrs list; the entries point into the object itself.
class FakeInterfaces {
public:
    void packet(const char* name, std::vector<unsigned char> hardware) {
        sockaddr_ll link{};
        link.sll_family = AF_PACKET;
        link.sll_halen = static_cast<unsigned char>(hardware.size());
        std::copy_n(hardware.begin(), std::min(hardware.size(), sizeof link.sll_addr),
                    link.sll_addr);
        links_.push_back(link);
        add(name, reinterpret_cast<sockaddr*>(&links_.back()), nullptr);
    }
    void ipv4(const char* name, const char* address, const char* mask) {
        add(name, inet(address), mask ? inet(mask) : nullptr);
    }
    void ipv6(const char* name) {
        sockaddr_in6 in6{};
        in6.sin6_family = AF_INET6;
        in6s_.push_back(in6);
        add(name, reinterpret_cast<sockaddr*>(&in6s_.back()), nullptr);
    }
    void noAddress(const char* name) { add(name, nullptr, nullptr); }

    const ifaddrs* first() {
        for (std::size_t i = 0; i < entries_.size(); ++i)
            entries_[i].ifa_next = i + 1 < entries_.size() ? &entries_[i + 1] : nullptr;
        return entries_.empty() ? nullptr : &entries_.front();
    }

private:
    sockaddr* inet(const char* text) {
        sockaddr_in in{};
        in.sin_family = AF_INET;
        inet_pton(AF_INET, text, &in.sin_addr);
        ins_.push_back(in);
        return reinterpret_cast<sockaddr*>(&ins_.back());
    }
    void add(const char* name, sockaddr* address, sockaddr* mask) {
        ifaddrs entry{};
        entry.ifa_name = const_cast<char*>(name);
        entry.ifa_addr = address;
        entry.ifa_netmask = mask;
        entries_.push_back(entry);
    }

    // Deques keep the addresses of their elements while growing at the end.
    std::deque<sockaddr_ll> links_;
    std::deque<sockaddr_in> ins_;
    std::deque<sockaddr_in6> in6s_;
    std::deque<ifaddrs> entries_;
};

} // namespace

TEST(EnumeratorTest, InterfaceAddressesGroupedByInterface) {
    FakeInterfaces interfaces;
    interfaces.packet("lo", {0, 0, 0, 0, 0, 0});
    interfaces.packet("eth0", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E});
    interfaces.packet("wlan0", {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F});
    interfaces.packet("tun0", {});
    interfaces.ipv4("lo", "127.0.0.1", "255.0.0.0");
    interfaces.ipv4("eth0", "192.0.2.10", "255.255.255.0");
    interfaces.noAddress("eth0");
    interfaces.ipv4("tun0", "10.8.0.1", nullptr);
    interfaces.ipv4("eth0", "198.51.100.7", "255.255.255.128");
    interfaces.ipv6("eth0");
    interfaces.ipv6("wlan0"); // IPv6 only: not an IPv4 adapter

    std::vector<AdapterEntry> adapters;
    ASSERT_EQ(EnumeratorQuery::fromInterfaceAddresses(interfaces.first(), adapters),
              QueryResult::ok);
    const std::vector<AdapterInfo> expected = {
        {"127.0.0.1", "00:00:00:00:00:00", "255.0.0.0", "lo"},
        {"192.0.2.10", "00:1a:2b:3c:4d:5e", "255.255.255.0", "eth0"},
        {"198.51.100.7", "00:1a:2b:3c:4d:5e", "255.255.255.128", "eth0"},
        {"10.8.0.1", "00:00:00:00:00:00", "0.0.0.0", "tun0"},
    };
    EXPECT_EQ(describe(Enumerator::buildRecords(adapters)), describe(expected));
}

TEST(EnumeratorTest, NoIpv4AddressAtAllIsTheSizeFailure) {
    std::vector<AdapterEntry> adapters;
    EXPECT_EQ(EnumeratorQuery::fromInterfaceAddresses(nullptr, adapters), QueryResult::sizeFailed);

    FakeInterfaces interfaces;
    interfaces.packet("eth0", {1, 2, 3, 4, 5, 6});
    interfaces.ipv6("eth0");
    EXPECT_EQ(EnumeratorQuery::fromInterfaceAddresses(interfaces.first(), adapters),
              QueryResult::sizeFailed);
    EXPECT_TRUE(adapters.empty());
}

TEST(EnumeratorTest, SystemListIncludesLoopback) {
    Enumerator enumerator;
    const auto records = recordsOf(enumerator);
    const auto loopback = std::find_if(records.begin(), records.end(), [](const AdapterInfo& r) {
        return r.ipAddress == "127.0.0.1";
    });
    ASSERT_NE(loopback, records.end()) << describe(records);
    EXPECT_EQ(loopback->subnetMask, "255.0.0.0");
    EXPECT_EQ(loopback->macAddress, "00:00:00:00:00:00");
    EXPECT_EQ(loopback->description, "lo");
}

#endif
