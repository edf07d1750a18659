// What serve needs to run as a service: the token file kept across runs, the
// watch on its adapter's address.

#include "AddressWatch.h"
#include "Recorder.h"
#include "TemporaryFolder.h"
#include "TokenFile.h"
#include "WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

using namespace std::chrono_literals;
using Vornctl::AdapterChoice;
using Vornctl::Serve::AddressWatch;
using Vornctl::Serve::loadTokenFile;

std::string fileText(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(TokenFile, AMissingFileIsCreatedWithANewTokenAndThenReused) {
    const TestSupport::TemporaryFolder folder;
    const std::string path = (folder / "token").string();
    std::string error;
    const auto created = loadTokenFile(path, error);
    ASSERT_TRUE(created) << error;
    EXPECT_EQ(created->size(), 48u);
    EXPECT_EQ(fileText(path), *created + "\n");
#ifndef _WIN32
    struct stat status {};
    ASSERT_EQ(::stat(path.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
#endif
    // Nothing is left beside it.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder.path()),
                            std::filesystem::directory_iterator()),
              1);
    const auto again = loadTokenFile(path, error);
    ASSERT_TRUE(again) << error;
    EXPECT_EQ(*again, *created);
}

TEST(TokenFile, StartsAtOnceAgreeOnOneToken) {
    const TestSupport::TemporaryFolder folder;
    const std::string path = (folder / "token").string();
    std::vector<std::string> tokens(6);
    std::vector<std::thread> starts;
    for (auto& token : tokens)
        starts.emplace_back([&] {
            std::string error;
            token = loadTokenFile(path, error).value_or(error);
        });
    for (auto& start : starts)
        start.join();
    for (const auto& token : tokens)
        EXPECT_EQ(token, tokens.front());
    EXPECT_EQ(fileText(path), tokens.front() + "\n");
}

#ifndef _WIN32
TEST(TokenFile, AFileOthersMayReadIsRefused) {
    const TestSupport::TemporaryFolder folder;
    const std::string path = (folder / "token").string();
    std::ofstream(path) << "abcdefghijklmnopqrstuvwxyz0123456789\n";
    for (const unsigned mode : {0644u, 0640u, 0604u, 0620u}) {
        ASSERT_EQ(::chmod(path.c_str(), mode), 0);
        std::string error;
        EXPECT_FALSE(loadTokenFile(path, error)) << mode;
        char text[8];
        std::snprintf(text, sizeof text, "%04o", mode);
        EXPECT_EQ(error, "the token file " + path + " may be read by others (mode " + text +
                             "); allow its owner only (chmod 600 " + path + ")");
    }
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    std::string error;
    EXPECT_EQ(loadTokenFile(path, error), "abcdefghijklmnopqrstuvwxyz0123456789");
    ASSERT_EQ(::chmod(path.c_str(), 0400), 0);
    EXPECT_EQ(loadTokenFile(path, error), "abcdefghijklmnopqrstuvwxyz0123456789");
}
#endif

TEST(TokenFile, AFolderThatIsNotThereIsNamed) {
    const TestSupport::TemporaryFolder folder;
    const std::string path = (folder / "missing" / "token").string();
    std::string error;
    EXPECT_FALSE(loadTokenFile(path, error));
    EXPECT_EQ(error.rfind("cannot create the token file " + path + ": ", 0), 0u) << error;
}

AdapterChoice found(const std::string& address) {
    AdapterChoice choice;
    choice.kind = AdapterChoice::Kind::found;
    choice.adapter.ipAddress = address;
    return choice;
}

TEST(AddressWatch, SaysWhatBecameOfTheAddress) {
    AdapterChoice none;
    AdapterChoice waiting;
    waiting.kind = AdapterChoice::Kind::noAddress;
    EXPECT_EQ(AddressWatch::difference("eth0", "192.0.2.1", found("192.0.2.1")), "");
    EXPECT_EQ(AddressWatch::difference("eth0", "192.0.2.1", found("192.0.2.9")),
              "the address of eth0 changed from 192.0.2.1 to 192.0.2.9");
    EXPECT_EQ(AddressWatch::difference("eth0", "192.0.2.1", waiting),
              "eth0 lost its address 192.0.2.1");
    EXPECT_EQ(AddressWatch::difference("eth0", "192.0.2.1", none),
              "the network adapter eth0 is gone");
    EXPECT_EQ(AddressWatch::difference("192.0.2.1", "192.0.2.1", none),
              "no adapter has the address 192.0.2.1 any more");
}

TEST(AddressWatch, ReportsAChangeOnceAndStopsLooking) {
    std::atomic<int> lookUps{0};
    std::atomic<bool> moved{false};
    TestSupport::Recorder<std::string> changes;
    {
        AddressWatch watch(
            "eth0", "192.0.2.1", 5ms,
            [&](const std::string& given) {
                EXPECT_EQ(given, "eth0");
                ++lookUps;
                return found(moved ? "192.0.2.9" : "192.0.2.1");
            },
            [&](const std::string& why) { changes.push(why); });
        ASSERT_TRUE(TestSupport::waitUntil([&] { return lookUps >= 3; }));
        EXPECT_EQ(changes.size(), 0u);
        moved = true;
        ASSERT_TRUE(changes.waitForCount(1));
        const int seen = lookUps;
        std::this_thread::sleep_for(30ms); // it looks no more once it has reported
        EXPECT_EQ(lookUps, seen);
    }
    EXPECT_EQ(changes.values(),
              std::vector<std::string>{"the address of eth0 changed from 192.0.2.1 to 192.0.2.9"});
}

TEST(AddressWatch, EndsAtOnceWhenDestroyed) {
    const auto start = std::chrono::steady_clock::now();
    {
        AddressWatch watch(
            "eth0", "192.0.2.1", 1h, [](const std::string&) { return found("x"); },
            [](const std::string&) {});
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

} // namespace
