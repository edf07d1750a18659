// --interface by address or by name: the adapter chosen, an adapter waiting
// for its address, and the list an unknown one is answered with.

#include "AdapterChoice.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Vornctl::AdapterChoice;
using Vornctl::chooseAdapter;

// As the adapter list holds them: eth0 with two addresses, wlan0 without one
// (Windows lists it as 0.0.0.0), a Windows-style description with blanks.
const std::vector<Network::AdapterInfo> adapters = {
    {"127.0.0.1", "00:00:00:00:00:00", "255.0.0.0", "lo"},
    {"192.0.2.10", "00:1a:2b:3c:4d:5e", "255.255.255.0", "eth0"},
    {"198.51.100.7", "00:1a:2b:3c:4d:5e", "255.255.255.128", "eth0"},
    {"0.0.0.0", "0a:0b:0c:0d:0e:0f", "0.0.0.0", "wlan0"},
    {"203.0.113.4", "02:00:00:00:00:01", "255.255.255.0", "Intel(R) Ethernet Connection I219-LM"},
};

bool noneElse(const std::string&) {
    return false;
}

TEST(AdapterChoice, AnAddressOrANameChoosesItsRecord) {
    auto choice = chooseAdapter(adapters, "198.51.100.7", noneElse);
    ASSERT_EQ(choice.kind, AdapterChoice::Kind::found);
    EXPECT_EQ(choice.adapter.description, "eth0");
    EXPECT_EQ(choice.adapter.subnetMask, "255.255.255.128");

    choice = chooseAdapter(adapters, "eth0", noneElse); // its first address
    ASSERT_EQ(choice.kind, AdapterChoice::Kind::found);
    EXPECT_EQ(choice.adapter.ipAddress, "192.0.2.10");

    choice = chooseAdapter(adapters, "Intel(R) Ethernet Connection I219-LM", noneElse);
    ASSERT_EQ(choice.kind, AdapterChoice::Kind::found);
    EXPECT_EQ(choice.adapter.ipAddress, "203.0.113.4");
}

TEST(AdapterChoice, AKnownAdapterWithoutAnAddressIsWaitedFor) {
    // Listed without an address (Windows)...
    EXPECT_EQ(chooseAdapter(adapters, "wlan0", noneElse).kind, AdapterChoice::Kind::noAddress);
    // ...or not listed, but there (Linux lists only adapters with an address).
    std::vector<std::string> asked;
    const auto choice = chooseAdapter(adapters, "eth1", [&](const std::string& name) {
        asked.push_back(name);
        return name == "eth1";
    });
    EXPECT_EQ(choice.kind, AdapterChoice::Kind::noAddress);
    EXPECT_EQ(choice.adapter.description, "eth1");
    EXPECT_EQ(asked, std::vector<std::string>{"eth1"});
}

TEST(AdapterChoice, UnknownNamesAndAddressesAreNotChosen) {
    const auto everything = [](const std::string&) { return true; };
    for (const char* given : {"", "eth9", "ETH0", "eth", "192.0.2.11", "0.0.0.0", "192.0.2"})
        EXPECT_EQ(chooseAdapter(adapters, given, noneElse).kind, AdapterChoice::Kind::unknown)
            << given;
    // An address is never waited for, whatever the system says of names.
    EXPECT_EQ(chooseAdapter(adapters, "192.0.2.99", everything).kind, AdapterChoice::Kind::unknown);
    EXPECT_EQ(chooseAdapter(adapters, "0.0.0.0", everything).kind, AdapterChoice::Kind::unknown);
}

TEST(AdapterChoice, TheListNamesEveryAdapterWithItsAddress) {
    EXPECT_EQ(Vornctl::adapterList({adapters[0], adapters[1], adapters[3]}),
              "lo (127.0.0.1), eth0 (192.0.2.10), wlan0 (0.0.0.0)");
    EXPECT_EQ(Vornctl::adapterList({}), "none");
}

#ifndef _WIN32
TEST(AdapterChoice, LoopbackByNameOnThisSystem) {
    const auto choice = Vornctl::lookUpSystemAdapter("lo");
    ASSERT_EQ(choice.kind, AdapterChoice::Kind::found);
    EXPECT_EQ(choice.adapter.ipAddress, "127.0.0.1");
    EXPECT_TRUE(Vornctl::systemAdapterExists("lo"));
    EXPECT_FALSE(Vornctl::systemAdapterExists("no-such-adapter"));
    EXPECT_EQ(Vornctl::lookUpSystemAdapter("no-such-adapter").kind, AdapterChoice::Kind::unknown);
}
#endif

} // namespace
