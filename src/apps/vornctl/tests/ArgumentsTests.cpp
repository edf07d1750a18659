#include "Arguments.h"
#include "Values.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Vornctl::Action;
using Vornctl::parseArguments;
using Vornctl::UsageError;

using Words = std::vector<std::string>;

TEST(VornctlArguments, DeviceIdIsStrict) {
    EXPECT_EQ(Vornctl::parseDeviceId("0001e240:000012ab"), 0x0001E240000012ABull);
    EXPECT_EQ(Vornctl::parseDeviceId("FFFFFFFF:00000000"), 0xFFFFFFFF00000000ull);
    EXPECT_EQ(Vornctl::parseDeviceId("00000000:00000001"), 1ull);
    for (const char* bad : {"", "1e240:12ab", "0001e240000012ab", "0001e240:000012a",
                            "0001e240:000012abc", "0001e240-000012ab", "0x01e240:000012ab",
                            "0001e24g:000012ab", " 001e240:000012ab", "0001e240:000012a "})
        EXPECT_FALSE(Vornctl::parseDeviceId(bad)) << '"' << bad << '"';
}

TEST(VornctlArguments, SerialIsAnUnsigned32BitDecimal) {
    EXPECT_EQ(Vornctl::parseSerial("0"), 0u);
    EXPECT_EQ(Vornctl::parseSerial("12345678"), 12345678u);
    EXPECT_EQ(Vornctl::parseSerial("01234"), 1234u);
    EXPECT_EQ(Vornctl::parseSerial("4294967295"), 4294967295u);
    for (const char* bad : {"", "4294967296", "9999999999", "00000000001", "-1", "+1", "12a",
                            "1234abc", " 12", "12 ", "0x10", "1.5"})
        EXPECT_FALSE(Vornctl::parseSerial(bad)) << '"' << bad << '"';
}

TEST(VornctlArguments, TrimDropsBlanksAtEitherEnd) {
    EXPECT_EQ(Vornctl::trim(" \t12 34\r\n"), "12 34");
    EXPECT_EQ(Vornctl::trim("12"), "12");
    EXPECT_EQ(Vornctl::trim(" \t\r\n"), "");
    EXPECT_EQ(Vornctl::trim(""), "");
}

TEST(VornctlArguments, WaitIsSecondsWithOptionalFraction) {
    EXPECT_EQ(Vornctl::parseWait("2"), 2000ms);
    EXPECT_EQ(Vornctl::parseWait("0"), 0ms);
    EXPECT_EQ(Vornctl::parseWait("0.5"), 500ms);
    EXPECT_EQ(Vornctl::parseWait("1.25"), 1250ms);
    EXPECT_EQ(Vornctl::parseWait("0.0015"), 2ms);
    EXPECT_EQ(Vornctl::parseWait("3600"), 3600000ms);
    for (const char* bad : {"", "-1", "3600.001", "3601", ".5", "5.", "1e3", "1,5", "2s", "inf"})
        EXPECT_FALSE(Vornctl::parseWait(bad)) << '"' << bad << '"';
}

TEST(VornctlArguments, CommandsAndTheirOptions) {
    auto list = parseArguments({"--interface", "192.168.1.5", "list"});
    EXPECT_EQ(list.action, Action::List);
    EXPECT_EQ(list.interfaceAddress, "192.168.1.5");
    EXPECT_FALSE(list.wait);
    EXPECT_EQ(Vornctl::waitFor(list), 2000ms);
    EXPECT_FALSE(list.all);
    EXPECT_FALSE(list.json);

    // Options may follow the command and take "=" values.
    list = parseArguments({"list", "--all", "--json", "--wait=0.5", "--interface=10.0.0.1"});
    EXPECT_EQ(list.interfaceAddress, "10.0.0.1");
    EXPECT_EQ(Vornctl::waitFor(list), 500ms);
    EXPECT_TRUE(list.all);
    EXPECT_TRUE(list.json);

    const auto get =
        parseArguments({"--interface", "10.0.0.1", "serial", "get", "0001e240:000012ab"});
    EXPECT_EQ(get.action, Action::SerialGet);
    EXPECT_EQ(get.deviceId, 0x0001E240000012ABull);
    EXPECT_EQ(Vornctl::waitFor(get), 3000ms);

    const auto set = parseArguments({"--interface", "10.0.0.1", "serial", "set",
                                     "0001e240:000012ab", "4294967295", "--yes", "--wait", "10"});
    EXPECT_EQ(set.action, Action::SerialSet);
    EXPECT_EQ(set.serial, 4294967295u);
    EXPECT_TRUE(set.yes);
    EXPECT_EQ(Vornctl::waitFor(set), 10000ms);

    const auto select = parseArguments({"--interface", "10.0.0.1", "select", "00000001:00000002"});
    EXPECT_EQ(select.action, Action::Select);
    EXPECT_EQ(select.deviceId, 0x0000000100000002ull);
    EXPECT_EQ(parseArguments({"--interface", "10.0.0.1", "deselect", "00000001:00000002"}).action,
              Action::Deselect);

    const auto watch = parseArguments({"--interface", "10.0.0.1", "watch", "--json", "--all"});
    EXPECT_EQ(watch.action, Action::Watch);
    EXPECT_TRUE(watch.json && watch.all);
    const auto program = parseArguments(
        {"--interface", "10.0.0.1", "serial", "program", "rack 3.csv", "--dry-run", "--json"});
    EXPECT_EQ(program.action, Action::SerialProgram);
    EXPECT_EQ(program.file, "rack 3.csv");
    EXPECT_TRUE(program.dryRun && program.json);
    EXPECT_EQ(Vornctl::waitFor(program), 3000ms);
    EXPECT_TRUE(parseArguments({"--interface", "10.0.0.1", "list", "--csv"}).csv);

    EXPECT_EQ(parseArguments({"interfaces"}).action, Action::Interfaces);
    EXPECT_TRUE(parseArguments({"interfaces", "--json"}).json);
    EXPECT_EQ(parseArguments({"--help"}).action, Action::Help);
    EXPECT_EQ(parseArguments({"list", "-h"}).action, Action::Help);
    EXPECT_EQ(parseArguments({"help"}).action, Action::Help);
}

TEST(VornctlArguments, UnusableCommandLinesAreUsageErrors) {
    const std::vector<Words> bad = {
        {},
        {"frobnicate"},
        {"list"},                    // no interface
        {"--interface", "10.0.0.1"}, // no command
        {"--interface"},             // no value
        {"--interface=", "list"},    // empty value
        {"--interface", "a", "--interface", "b", "list"},
        {"--interface", "10.0.0.1", "list", "extra"},
        {"--interface", "10.0.0.1", "list", "--yes"},
        {"--interface", "10.0.0.1", "list", "--wait", "-1"},
        {"--interface", "10.0.0.1", "list", "--wait", "2", "--wait", "3"},
        {"--interface", "10.0.0.1", "list", "--verbose"},
        {"--interface", "10.0.0.1", "list", "--all=1"},
        {"--interface", "10.0.0.1", "serial"},
        {"--interface", "10.0.0.1", "serial", "get"},
        {"--interface", "10.0.0.1", "serial", "put", "0001e240:000012ab"},
        {"--interface", "10.0.0.1", "serial", "get", "1e240:12ab"},
        {"--interface", "10.0.0.1", "serial", "get", "0001e240:000012ab", "5"},
        {"--interface", "10.0.0.1", "serial", "get", "0001e240:000012ab", "--json"},
        {"--interface", "10.0.0.1", "serial", "get", "0001e240:000012ab", "--yes"},
        {"--interface", "10.0.0.1", "serial", "set", "0001e240:000012ab"},
        {"--interface", "10.0.0.1", "serial", "set", "0001e240:000012ab", "4294967296"},
        {"--interface", "10.0.0.1", "serial", "set", "0001e240:000012ab", "-1"},
        {"--interface", "10.0.0.1", "serial", "set", "0001e240:000012ab", "12ab"},
        {"--interface", "10.0.0.1", "select"},
        {"--interface", "10.0.0.1", "select", "0001e240:000012ab", "extra"},
        {"--interface", "10.0.0.1", "interfaces"},
        {"--interface", "10.0.0.1", "watch", "--wait", "5"}, // runs until interrupted
        {"--interface", "10.0.0.1", "watch", "extra"},
        {"--interface", "10.0.0.1", "watch", "--csv"},
        {"--interface", "10.0.0.1", "list", "--csv", "--json"},
        {"--interface", "10.0.0.1", "list", "--dry-run"},
        {"--interface", "10.0.0.1", "serial", "program"},
        {"--interface", "10.0.0.1", "serial", "program", ""},
        {"--interface", "10.0.0.1", "serial", "program", "a.csv", "b.csv"},
        {"--interface", "10.0.0.1", "serial", "program", "a.csv", "--yes"},
        {"--interface", "10.0.0.1", "serial", "get", "0001e240:000012ab", "--dry-run"},
        {"serial", "program", "a.csv"}, // no interface
        {"interfaces", "--all"},
        {"interfaces", "extra"},
    };
    for (const Words& words : bad) {
        std::string line;
        for (const auto& word : words)
            line += word + " ";
        EXPECT_THROW(parseArguments(words), UsageError) << line;
    }
}

TEST(VornctlArguments, BadSerialNumberUsesTheToolsText) {
    try {
        parseArguments({"--interface", "10.0.0.1", "serial", "set", "0001e240:000012ab", "12x"});
        FAIL() << "no error";
    } catch (const UsageError& failure) {
        EXPECT_NE(std::string(failure.what())
                      .find("Invalid serial number format, please enter a valid serial number "
                            "containing only digits."),
                  std::string::npos);
    }
}

// The words of a usage line with its placeholders filled in; `optional` keeps
// the bracketed options (the first of alternatives), otherwise they are left out.
// An empty file that exists, for the usage lines' FILE.
std::string exampleFile() {
    static const std::string path = [] {
        const auto file = std::filesystem::temp_directory_path() / "vornctl-example.conf";
        std::ofstream{file};
        return file.string();
    }();
    return path;
}

Words exampleOf(const std::string& line, bool optional) {
    Words words;
    std::istringstream in(line);
    std::string word;
    bool bracket = false;
    bool alternative = false;
    while (in >> word) {
        const bool opens = word.front() == '[';
        const bool closes = word.back() == ']';
        if (opens) {
            bracket = true;
            alternative = false;
            word.erase(0, 1);
        }
        if (closes)
            word.pop_back();
        const bool keep = !bracket || (optional && !alternative);
        if (word == "|")
            alternative = true;
        else if (keep && word == "ADDRESS")
            words.push_back("10.0.0.1");
        else if (keep && word == "SECONDS")
            words.push_back("0.5");
        else if (keep && word == "ID")
            words.push_back("0001e240:000012ab");
        else if (keep && word == "NUMBER")
            words.push_back("42");
        else if (keep && word == "FILE") // read at once by --config
            words.push_back(exampleFile());
        else if (keep && word == "DAYS")
            words.push_back("7");
        else if (keep && word == "TIME")
            words.push_back("2026-12-07T14:05");
        else if (keep)
            words.push_back(word);
        if (closes)
            bracket = false;
    }
    return words;
}

TEST(VornctlArguments, EveryUsageLineOfTheHelpParses) {
    // The help's usage lines and the parser come from one table; a line the
    // parser refuses would be a fault of that table.
    std::istringstream help(Vornctl::usage());
    std::vector<std::string> commands;
    for (std::string line; std::getline(help, line) && line != "Commands:";) {
        if (line.rfind("  vornctl ", 0) == 0)
            commands.push_back(line.substr(10));
        else if (!commands.empty() && line.rfind("      ", 0) == 0)
            commands.back() += line; // a continuation line
    }
    EXPECT_EQ(commands.size(), 19u);
    for (const auto& command : commands)
        for (const bool optional : {false, true})
            EXPECT_NO_THROW(parseArguments(exampleOf(command, optional)))
                << command << (optional ? " (all)" : "");
}

TEST(VornctlArguments, ServeTakesWhereToListenTheTokenFileAndHostNames) {
    const auto options =
        parseArguments({"--interface", "10.0.0.1", "serve", "--listen=0.0.0.0:9000", "--allow-host",
                        "rack-pc", "--token-file", "token.txt", "--allow-host", "10.0.0.1"});
    EXPECT_EQ(options.action, Action::Serve);
    EXPECT_EQ(options.listen, "0.0.0.0:9000");
    EXPECT_EQ(options.tokenFile, "token.txt");
    EXPECT_EQ(options.allowHosts, (std::vector<std::string>{"rack-pc", "10.0.0.1"}));
    EXPECT_TRUE(parseArguments({"serve", "--interface", "10.0.0.1"}).listen.empty());
    EXPECT_THROW(parseArguments({"serve"}), UsageError);
    EXPECT_THROW(
        parseArguments({"--interface", "10.0.0.1", "serve", "--listen", "a:1", "--listen", "b:2"}),
        UsageError);
    EXPECT_THROW(parseArguments({"--interface", "10.0.0.1", "list", "--listen", "a:1"}),
                 UsageError);
}

TEST(VornctlArguments, TheFleetsOptionsGoWithServeAndTheFleetsCommands) {
    const auto serve =
        parseArguments({"--interface", "10.0.0.1", "serve", "--report", "mqtts://broker:8883",
                        "--report-ca", "ca.pem", "--report-user", "bench-3",
                        "--report-password-file", "pw", "--box", "bench-3", "--site", "Stage A"});
    EXPECT_EQ(serve.report, "mqtts://broker:8883");
    EXPECT_EQ(serve.reportCa, "ca.pem");
    EXPECT_EQ(serve.reportUser, "bench-3");
    EXPECT_EQ(serve.reportPasswordFile, "pw");
    EXPECT_EQ(serve.box, "bench-3");
    EXPECT_EQ(serve.site, "Stage A");
    const auto archive = parseArguments({"fleet", "--broker", "mqtts://a:8883", "--broker",
                                         "mqtts://b:8883", "--archive", "fleet.db"});
    EXPECT_EQ(archive.action, Action::Fleet);
    EXPECT_EQ(archive.brokers, (std::vector<std::string>{"mqtts://a:8883", "mqtts://b:8883"}));
    EXPECT_TRUE(isFleetAction(archive.action));
    EXPECT_FALSE(isFleetAction(serve.action));
    const auto journal = parseArguments({"fleet", "journal", "--archive", "fleet.db", "--serial",
                                         "20261207", "--device", "00000100:00000001"});
    EXPECT_EQ(journal.action, Action::FleetJournal);
    EXPECT_EQ(journal.serialFilter, 20261207u);
    EXPECT_EQ(journal.journalDevice, 0x0000010000000001u);
    const auto forget = parseArguments({"fleet", "forget", "bench-3", "--broker", "mqtts://a"});
    EXPECT_EQ(forget.action, Action::FleetForget);
    EXPECT_EQ(forget.box, "bench-3");
    EXPECT_THROW(parseArguments({"fleet", "boxes", "--broker", "mqtts://a"}), UsageError);
    EXPECT_THROW(parseArguments({"--interface", "10.0.0.1", "list", "--report", "mqtts://a"}),
                 UsageError);
    EXPECT_THROW(parseArguments({"fleet", "devices", "--serial", "x"}), UsageError);
    EXPECT_THROW(parseArguments({"fleet", "--archive", "a", "--archive", "b"}), UsageError);
}

TEST(VornctlArguments, UsageErrorsSayWhatIsWrong) {
    auto message = [](const Words& words) {
        try {
            parseArguments(words);
        } catch (const UsageError& failure) {
            return std::string(failure.what());
        }
        return std::string("no error");
    };
    const Words net = {"--interface", "10.0.0.1"};
    auto with = [&](Words more) {
        Words words = net;
        words.insert(words.end(), more.begin(), more.end());
        return words;
    };
    EXPECT_EQ(message({}), "no command given");
    EXPECT_EQ(message({"frobnicate"}), "unknown command \"frobnicate\"");
    EXPECT_EQ(message({"list"}), "list needs --interface ADDRESS (see vornctl interfaces)");
    EXPECT_EQ(message({"--interface"}), "--interface needs a value");
    EXPECT_EQ(message(with({"list", "--verbose=2"})), "unknown option --verbose");
    EXPECT_EQ(message(with({"list", "--all=1"})), "--all takes no value");
    EXPECT_EQ(message(with({"list", "--wait", "1", "--wait", "2"})), "--wait given more than once");
    EXPECT_EQ(message(with({"list", "--yes"})), "--yes applies to serial set only");
    EXPECT_EQ(message(with({"serial", "get", "0001e240:000012ab", "--json"})),
              "--json applies to interfaces, list, watch, serial program, inventory, journal, "
              "fleet boxes, fleet devices and fleet journal only");
    EXPECT_EQ(message(with({"interfaces"})), "interfaces takes only --json");
    EXPECT_EQ(message(with({"watch", "--wait", "5"})),
              "watch takes no --wait: it runs until interrupted");
    EXPECT_EQ(message(with({"watch", "--yes"})), "--yes applies to serial set only");
    EXPECT_EQ(message(with({"list", "--csv", "--json"})), "--json and --csv exclude each other");
    EXPECT_EQ(message(with({"serial"})), "missing arguments: usage is vornctl --interface ADDRESS "
                                         "serial get ID | serial set ID NUMBER | serial program "
                                         "FILE");
    EXPECT_EQ(message(with({"serial", "put"})),
              "unknown serial command \"put\": use get, set or program");
    EXPECT_EQ(message(with({"select"})),
              "missing arguments: usage is vornctl --interface ADDRESS select ID [--wait SECONDS] "
              "[--all]");
    EXPECT_EQ(message(with({"list", "extra"})),
              "unexpected argument \"extra\": usage is vornctl --interface ADDRESS list [--wait "
              "SECONDS] [--all] [--json | --csv]");
}

TEST(VornctlArguments, VersionAndHelpAreTakenAnywhere) {
    EXPECT_EQ(parseArguments({"--version"}).action, Action::Version);
    EXPECT_EQ(parseArguments({"list", "--version"}).action, Action::Version);
    EXPECT_EQ(parseArguments({"--interface", "10.0.0.1", "serial", "-h"}).action, Action::Help);
    // Options stand before or after the command.
    const auto early = parseArguments({"--wait", "1", "--all", "--interface=10.0.0.1", "list"});
    EXPECT_EQ(early.action, Action::List);
    EXPECT_EQ(early.wait, 1000ms);
    EXPECT_TRUE(early.all);
}

} // namespace
