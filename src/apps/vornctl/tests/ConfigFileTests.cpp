// vornctl serve --config: the file's options, their lines in errors, and the
// command line winning over the file.

#include "Arguments.h"
#include "TemporaryFolder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

namespace {

using Vornctl::Action;
using Vornctl::parseArguments;
using Vornctl::UsageError;

class ConfigFileTest : public ::testing::Test {
protected:
    std::string write(const std::string& text) {
        const auto path = (folder_ / "serve.conf").string();
        std::ofstream(path, std::ios::binary) << text;
        return path;
    }
    // The usage error of the command line, or "no error".
    static std::string failure(const std::vector<std::string>& words) {
        try {
            parseArguments(words);
        } catch (const UsageError& error) {
            return error.what();
        }
        return "no error";
    }

    TestSupport::TemporaryFolder folder_;
};

TEST_F(ConfigFileTest, EveryOptionOfServeComesFromTheFile) {
    const auto path = write("# the service box\n"
                            "interface = vorn0\n"
                            "\n"
                            "listen = 0.0.0.0:8443   # every address\n"
                            "token-file = \"/var/lib/vornctl/token\"\n"
                            "allow-host = rack-3.local\n"
                            "journal = /var/lib/vornctl/journal.jsonl\n"
                            "allow-host = 192.0.2.1\n"
                            "operator = \"Front of house\"\n");
    const auto options = parseArguments({"serve", "--config", path});
    EXPECT_EQ(options.action, Action::Serve);
    EXPECT_EQ(options.interfaceAddress, "vorn0");
    EXPECT_EQ(options.listen, "0.0.0.0:8443");
    EXPECT_EQ(options.tokenFile, "/var/lib/vornctl/token");
    EXPECT_EQ(options.allowHosts, (std::vector<std::string>{"rack-3.local", "192.0.2.1"}));
    EXPECT_EQ(options.journal, "/var/lib/vornctl/journal.jsonl");
    EXPECT_EQ(options.operatorName, "Front of house");
    EXPECT_EQ(options.configFile, path);
}

TEST_F(ConfigFileTest, TheFleetsOptionsComeFromTheFile) {
    const auto box = parseArguments(
        {"serve", "--interface", "vorn0", "--config",
         write("report = mqtts://broker:8883\nreport-user = bench-3\nbox = bench-3\n"
               "site = \"Hall 2, bench 3\"\nreport-password-file = /etc/vornctl/pw\n")});
    EXPECT_EQ(box.report, "mqtts://broker:8883");
    EXPECT_EQ(box.reportUser, "bench-3");
    EXPECT_EQ(box.reportPasswordFile, "/etc/vornctl/pw");
    EXPECT_EQ(box.site, "Hall 2, bench 3");
    const auto archive = parseArguments(
        {"fleet", "--config",
         write("broker = mqtts://a:8883\nbroker = mqtts://b:8883\narchive = /var/lib/fleet.db\n")});
    EXPECT_EQ(archive.action, Action::Fleet);
    EXPECT_EQ(archive.brokers, (std::vector<std::string>{"mqtts://a:8883", "mqtts://b:8883"}));
    EXPECT_EQ(archive.archive, "/var/lib/fleet.db");
}

TEST_F(ConfigFileTest, TheCommandLineWins) {
    const auto path = write("interface = vorn0\nlisten = 0.0.0.0:8443\nallow-host = a\n"
                            "allow-host = b\n");
    const auto options = parseArguments({"--interface", "127.0.0.1", "serve", "--config=" + path,
                                         "--allow-host", "c", "--listen=127.0.0.1:9000"});
    EXPECT_EQ(options.interfaceAddress, "127.0.0.1");
    EXPECT_EQ(options.listen, "127.0.0.1:9000");
    EXPECT_EQ(options.allowHosts, std::vector<std::string>{"c"});
    // What the command line leaves open still comes from the file.
    EXPECT_EQ(parseArguments({"serve", "--config", path, "--allow-host", "c"}).listen,
              "0.0.0.0:8443");
}

TEST_F(ConfigFileTest, AnEmptyFileLeavesTheInterfaceToTheCommandLine) {
    const auto path = write("# interface = eth0\n# listen = 0.0.0.0:8443\n");
    EXPECT_EQ(failure({"serve", "--config", path}),
              "serve needs --interface ADDRESS (see vornctl interfaces)");
    EXPECT_EQ(parseArguments({"serve", "--config", path, "--interface", "lo"}).interfaceAddress,
              "lo");
}

TEST_F(ConfigFileTest, ErrorsNameTheFileTheLineAndTheReason) {
    const auto at = [&](const std::string& text) {
        return failure({"serve", "--config", write(text)});
    };
    const std::string path = (folder_ / "serve.conf").string();
    EXPECT_EQ(at("interface = vorn0\n\n# fine\nintrface = vorn1\n"),
              path + ":4: unknown name \"intrface\"");
    EXPECT_EQ(at("interface = vorn0\nwait = 3\n"), path + ":2: unknown name \"wait\"");
    EXPECT_EQ(at("interface = vorn0\nconfig = other.conf\n"), path + ":2: unknown name \"config\"");
    EXPECT_EQ(at("interface = vorn0\nhelp = true\n"), path + ":2: unknown name \"help\"");
    EXPECT_EQ(at("interface = vorn0\nlisten =\n"),
              path + ":2: --listen needs HOST:PORT, as in 127.0.0.1:8017");
    EXPECT_EQ(at("listen = a:1\ninterface = vorn0\n\nlisten = b:2\n"),
              path + ":4: --listen given more than once");
    EXPECT_EQ(at("interface = vorn0\nallow-host = a\nallow-host = b\ntoken-file =\n"),
              path + ":4: --token-file needs a file name");
    EXPECT_EQ(at("[serve]\ninterface = vorn0\n"),
              path + ":1: sections are not used; write name = value");
    EXPECT_EQ(at("interface\n"), path + ":1: expected interface = one value");
    EXPECT_EQ(at("interface = [\"a\", \"b\"]\n"), path + ":1: expected interface = one value");
    EXPECT_EQ(failure({"serve", "--config", (folder_ / "missing.conf").string()}),
              "cannot read the configuration file " + (folder_ / "missing.conf").string());
    write("listen = 127.0.0.1:9000\n");
    EXPECT_EQ(failure({"--interface", "lo", "list", "--config", path}),
              "--config applies to serve, access add, access list, access revoke and fleet only");
    // access reads serve's file for the names it takes and passes the others over.
    write("interface = vorn0\nlisten = 192.0.2.5:8443\nallow-host = rack\ntoken-file = /t\n");
    const auto access = Vornctl::parseArguments({"access", "add", "kim", "--config", path});
    EXPECT_EQ(access.action, Vornctl::Action::AccessAdd);
    EXPECT_EQ(access.person, "kim");
    EXPECT_EQ(access.listen, "192.0.2.5:8443");
    EXPECT_EQ(access.tokenFile, "/t");
    EXPECT_TRUE(access.interfaceAddress.empty() && access.allowHosts.empty());
}

} // namespace
