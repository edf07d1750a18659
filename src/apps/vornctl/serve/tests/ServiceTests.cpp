// What serve needs to run as a service: the token file kept across runs, the
// people's links in the access file, the watch on its adapter's address.

#include "AccessCommands.h"
#include "AccessControl.h"
#include "AccessFile.h"
#include "AccessWatch.h"
#include "AddressWatch.h"
#include "Arguments.h"
#include "Commands.h"
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

// vornctl access as a person at the box uses it: the link printed once, only its hash kept.
TEST(AccessFile, PeopleAreAddedListedAndRevokedAndNoTokenIsKept) {
    const TestSupport::TemporaryFolder folder;
    const std::string file = (folder / "box" / "access.json").string();
    auto access = [&](std::vector<std::string> words, std::string* out = nullptr,
                      std::string* err = nullptr) {
        words.insert(words.end(), {"--access-file", file});
        if (words[1] == "add")
            words.insert(words.end(), {"--listen", "192.0.2.5:8443"});
        std::istringstream in;
        std::ostringstream printed, errors;
        Vornctl::Console console{in, printed, errors};
        const int status =
            Vornctl::Serve::runAccessCommand(Vornctl::parseArguments(words), console);
        if (out)
            *out = printed.str();
        if (err)
            *err = errors.str();
        return status;
    };
    std::string printed, errors;
    ASSERT_EQ(access({"access", "add", "kim"}, &printed, &errors), 0) << errors;
    const std::string prefix = "https://192.0.2.5:8443/?token=";
    ASSERT_EQ(printed.rfind(prefix, 0), 0u) << printed;
    const std::string kim = printed.substr(prefix.size(), 48);
    EXPECT_GT(std::count(printed.begin(), printed.end(), '\n'), 10); // the QR code follows
    ASSERT_EQ(access({"access", "add", "max", "--read-only", "--expires", "2"}, &printed), 0);
    const std::string max = printed.substr(prefix.size(), 48);
    EXPECT_NE(kim, max);

    std::string error;
    auto people = Vornctl::Serve::readAccessFile(file, error);
    ASSERT_TRUE(people) << error;
    ASSERT_EQ(people->size(), 2u);
    EXPECT_EQ((*people)[0].tokenSha256, Vornctl::Serve::tokenSha256(kim));
    EXPECT_EQ((*people)[1].role, Vornctl::Serve::Role::ReadOnly);
    ASSERT_TRUE((*people)[1].expires);
    EXPECT_EQ(*(*people)[1].expires - (*people)[1].created, 48h);
    const std::string text = fileText(file);
    EXPECT_EQ(text.find(kim), std::string::npos);
    EXPECT_EQ(text.find(max), std::string::npos);
#ifndef _WIN32
    struct stat status {};
    ASSERT_EQ(::stat(file.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0600u);
#endif

    // One link per name; "owner" is serve's own token's; an unknown name is named.
    EXPECT_EQ(access({"access", "add", "kim"}, nullptr, &errors), 2);
    EXPECT_NE(errors.find("kim has a link already"), std::string::npos) << errors;
    EXPECT_EQ(access({"access", "add", "owner"}), 2);
    EXPECT_EQ(access({"access", "add", "a b"}), 2);
    EXPECT_EQ(access({"access", "revoke", "nobody"}, nullptr, &errors), 2);
    EXPECT_NE(errors.find("nobody named \"nobody\""), std::string::npos) << errors;

    ASSERT_EQ(access({"access", "list"}, &printed), 0);
    EXPECT_NE(printed.find("kim   write      "), std::string::npos) << printed;
    EXPECT_NE(printed.find("max   read-only  "), std::string::npos) << printed;
    EXPECT_EQ(access({"access", "revoke", "kim"}), 0);
    ASSERT_EQ(access({"access", "list"}, &printed), 0);
    EXPECT_EQ(printed.find("kim"), std::string::npos) << printed;
    EXPECT_NE(printed.find("max"), std::string::npos) << printed;
}

#ifndef _WIN32
TEST(AccessFile, AFileOthersMayReadIsRefusedAndAChangeIsTakenWhileServing) {
    const TestSupport::TemporaryFolder folder;
    const std::filesystem::path file = folder / "access.json";
    const auto now = std::chrono::system_clock::now();
    using Vornctl::Serve::Person;
    using Vornctl::Serve::Role;
    std::vector<Person> people = {
        Person{"kim", Role::Write, now, std::nullopt, Vornctl::Serve::tokenSha256("k")},
        Person{"max", Role::Write, now, std::nullopt, Vornctl::Serve::tokenSha256("m")}};
    Vornctl::Serve::writeAccessFile(file, people);
    Vornctl::Serve::AccessControl access("owner-token-owner-token-owner-token");
    std::string error;
    ASSERT_TRUE(Vornctl::Serve::AccessWatch::load(file, access, error)) << error;
    EXPECT_EQ(access.identify("k", now).who->name, "kim");

    TestSupport::Recorder<std::string> ended, reported;
    Vornctl::Serve::AccessWatch watch(
        file, access, 20ms,
        [&](const std::string& name, const std::string& why) { ended.push(name + " " + why); },
        [&](const std::string& problem) { reported.push(problem); });
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    ASSERT_TRUE(reported.waitForCount(1, 5s));
    EXPECT_NE(reported.values()[0].find("may be read by others (mode 0644)"), std::string::npos)
        << reported.values()[0];
    EXPECT_TRUE(access.identify("k", now).who); // the people stay as they were
    EXPECT_FALSE(Vornctl::Serve::readAccessFile(file, error));
    EXPECT_FALSE(Vornctl::Serve::AccessWatch::load(file, access, error));

    people.erase(people.begin());
    people[0].expires = std::chrono::system_clock::now() + 300ms;
    Vornctl::Serve::writeAccessFile(file, people); // 0600 again, kim gone
    ASSERT_TRUE(ended.waitForCount(2, 5s));
    EXPECT_EQ(ended.values(), (std::vector<std::string>{"kim revoked", "max expired"}));
    EXPECT_FALSE(access.identify("k", now).who);
    EXPECT_EQ(reported.values().size(), 1u);
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
