#include "Exception.h"
#include "transport/Enumerator.h"

#include "AdapterRecords.h"
#include "transport/EnumeratorQuery_posix.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/socket.h>

using AdapterRecords::describe;
using AdapterRecords::recordsOf;
using QueryResult = Network::Enumerator::QueryResult;

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

    std::vector<Network::AdapterEntry> adapters;
    ASSERT_EQ(Network::EnumeratorQuery::fromInterfaceAddresses(interfaces.first(), adapters),
              QueryResult::ok);
    const std::vector<Network::AdapterInfo> expected = {
        {"127.0.0.1", "00:00:00:00:00:00", "255.0.0.0", "lo"},
        {"192.0.2.10", "00:1a:2b:3c:4d:5e", "255.255.255.0", "eth0"},
        {"198.51.100.7", "00:1a:2b:3c:4d:5e", "255.255.255.128", "eth0"},
        {"10.8.0.1", "00:00:00:00:00:00", "0.0.0.0", "tun0"},
    };
    EXPECT_EQ(describe(Network::Enumerator::buildRecords(adapters)), describe(expected));
}

TEST(EnumeratorTest, NoIpv4AddressAtAllIsTheSizeFailure) {
    std::vector<Network::AdapterEntry> adapters;
    EXPECT_EQ(Network::EnumeratorQuery::fromInterfaceAddresses(nullptr, adapters),
              QueryResult::sizeFailed);

    FakeInterfaces interfaces;
    interfaces.packet("eth0", {1, 2, 3, 4, 5, 6});
    interfaces.ipv6("eth0");
    EXPECT_EQ(Network::EnumeratorQuery::fromInterfaceAddresses(interfaces.first(), adapters),
              QueryResult::sizeFailed);
    EXPECT_TRUE(adapters.empty());
}

TEST(EnumeratorTest, SystemListIncludesLoopback) {
    Network::Enumerator enumerator;
    const auto records = recordsOf(enumerator);
    const auto loopback =
        std::find_if(records.begin(), records.end(),
                     [](const Network::AdapterInfo& r) { return r.ipAddress == "127.0.0.1"; });
    ASSERT_NE(loopback, records.end()) << describe(records);
    EXPECT_EQ(loopback->subnetMask, "255.0.0.0");
    EXPECT_EQ(loopback->macAddress, "00:00:00:00:00:00");
    EXPECT_EQ(loopback->description, "lo");
}
