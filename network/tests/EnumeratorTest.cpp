#include "transport/Enumerator.h"
#include "Exception.h"

#include "AdapterRecords.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

using AdapterRecords::describe;
using AdapterRecords::recordsOf;
using QueryResult = Network::Enumerator::QueryResult;

TEST(EnumeratorTest, FormatsTheFirstSixBytesAsLowercaseHex) {
    const unsigned char first[] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x77};
    const unsigned char second[] = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
    const unsigned char third[] = {0xFF, 0x80, 0x09, 0x10, 0xA0, 0x01};
    EXPECT_EQ(Network::Enumerator::formatMac(first), "00:1a:2b:3c:4d:5e");
    EXPECT_EQ(Network::Enumerator::formatMac(second), "0a:0b:0c:0d:0e:0f");
    EXPECT_EQ(Network::Enumerator::formatMac(third), "ff:80:09:10:a0:01");
}

TEST(EnumeratorTest, OneRecordPerAddressInTheSystemsOrder) {
    const std::vector<Network::AdapterEntry> adapters = {
        {"Ethernet A",
         {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E},
         {{"10.1.2.3", "255.0.0.0"}, {"192.168.7.1", "255.255.255.0"}}},
        {"Disconnected", {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F}, {}},
        {"Tunnel", {0x01, 0x02}, {{"172.16.0.9", "255.255.0.0"}}},
        {"Long", {1, 2, 3, 4, 5, 6, 7, 8}, {{"169.254.1.1", "255.255.0.0"}}},
    };
    const Network::Enumerator enumerator([&](std::vector<Network::AdapterEntry>& out) {
        out = adapters;
        return QueryResult::ok;
    });
    const std::vector<Network::AdapterInfo> expected = {
        {"10.1.2.3", "00:1a:2b:3c:4d:5e", "255.0.0.0", "Ethernet A"},
        {"192.168.7.1", "00:1a:2b:3c:4d:5e", "255.255.255.0", "Ethernet A"},
        {"0.0.0.0", "0a:0b:0c:0d:0e:0f", "0.0.0.0", "Disconnected"},
        {"172.16.0.9", "01:02:00:00:00:00", "255.255.0.0", "Tunnel"},
        {"169.254.1.1", "01:02:03:04:05:06", "255.255.0.0", "Long"},
    };
    EXPECT_EQ(describe(recordsOf(enumerator)), describe(expected));
}

TEST(EnumeratorTest, RefreshReplacesTheListAndFailuresLeaveItEmpty) {
    std::deque<std::pair<QueryResult, std::vector<Network::AdapterEntry>>> answers = {
        {QueryResult::ok, {{"first", {}, {{"10.0.0.1", "255.0.0.0"}, {"10.0.0.2", "255.0.0.0"}}}}},
        {QueryResult::ok, {{"second", {}, {{"10.0.0.3", "255.0.0.0"}}}}},
        {QueryResult::listFailed, {{"partial", {}, {{"10.0.0.4", "255.0.0.0"}}}}},
        {QueryResult::ok, {{"third", {}, {{"10.0.0.5", "255.0.0.0"}}}}},
        {QueryResult::sizeFailed, {}},
    };
    Network::Enumerator enumerator([&](std::vector<Network::AdapterEntry>& out) {
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
        Network::Enumerator enumerator(
            [](std::vector<Network::AdapterEntry>&) { return QueryResult::sizeFailed; });
        ADD_FAILURE() << "no exception";
    } catch (const Network::FailedToEnumerateNetworkException& error) {
        EXPECT_EQ(error.message(), "Failed to get network adapters size info");
    }
}
