#include "Commands.h"
#include "DeviceCommands.h"
#include "DeviceEventFeed.h"
#include "Output.h"
#include "Recorder.h"
#include "SerialProgrammer.h"
#include "StopSignal.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;

// The command line's tables, row by row: for every outcome a write can have,
// serial set's lines, error and exit status, and serial program's result.
TEST(VornctlOutput, EveryOutcomeOfAWriteHasItsLinesStatusAndProgramResult) {
    using Vornctl::ProgramResult;
    namespace Exit = Vornctl::Exit;
    struct Row {
        WriteOutcome outcome;
        const char* out;
        const char* err;
        int status;
        ProgramResult program;
    };
    const char* const changed = "Serial number successfully changed.\n";
    const std::vector<Row> table = {
        {WriteOutcome::Verified,
         "Serial number successfully changed.\nCurrent serial number: 600\n", "", Exit::success,
         ProgramResult::Verified},
        {WriteOutcome::Refused, "",
         "Error: Could not set serial number, a communication error occurred.\n", Exit::failed,
         ProgramResult::Refused},
        {WriteOutcome::NoAnswer, "",
         "Error: Could not set serial number, a communication error occurred.\n", Exit::failed,
         ProgramResult::NoAnswer},
        {WriteOutcome::Mismatch, "Current serial number: 600\n",
         "Error: the device reports serial number 600 after writing 700.\n", Exit::failed,
         ProgramResult::Mismatch},
        {WriteOutcome::Unverified, changed,
         "Error: Could not read serial number, a communication error occurred.\n", Exit::failed,
         ProgramResult::Unverified},
        {WriteOutcome::AlreadySet,
         "Current serial number: 500\nThe device holds this serial number already; nothing was "
         "written.\n",
         "", Exit::success, ProgramResult::AlreadySet},
        {WriteOutcome::Duplicate, "",
         "Error: serial number 700 is held by device 0000000a:0000000b (FOH); nothing was "
         "written. --allow-duplicate writes it anyway.\n",
         Exit::usage, ProgramResult::NoAnswer},
        {WriteOutcome::NotFound, "",
         "Error: Could not read serial number, a communication error occurred. Nothing was "
         "written.\n",
         Exit::failed, ProgramResult::NotFound},
        {WriteOutcome::Unreadable, "",
         "Error: Could not read serial number, a communication error occurred. Nothing was "
         "written.\n",
         Exit::failed, ProgramResult::NoAnswer},
        {WriteOutcome::JournalUnwritable, "", "Error: J: disk full; no further write was sent.\n",
         Exit::failed, ProgramResult::NoAnswer},
        {WriteOutcome::Unrecorded, "Current serial number: 600\n",
         "Error: the device reports serial number 600 after writing 700.\nError: J: disk full\n",
         Exit::failed, ProgramResult::Mismatch},
        {WriteOutcome::Failed, "", "Error: J: disk full\n", Exit::failed, ProgramResult::NoAnswer},
    };
    ASSERT_EQ(table.size(), static_cast<std::size_t>(writeOutcomeCount)) << "a row for each";
    for (const Row& row : table) {
        SCOPED_TRACE(writeOutcomeName(row.outcome));
        SerialWriteReport report;
        report.id = 1;
        report.target = 700;
        report.outcome = row.outcome;
        report.before = 500;
        report.readBack = 600;
        report.reply = WriteReply::Accepted;
        report.holder = ListedDevice{0x0000000A0000000Bull, "FOH"};
        report.unrecorded = Journal::WriteResult::Mismatch;
        report.error = "J: disk full";
        std::istringstream in;
        std::ostringstream out, err;
        Vornctl::Console console{in, out, err};
        EXPECT_EQ(Vornctl::reportSerialWrite(console, report), row.status);
        EXPECT_EQ(out.str(), row.out);
        EXPECT_EQ(err.str(), row.err);
        EXPECT_EQ(Vornctl::judgeWrite(report).result, row.program);
    }
}

TEST(VornctlOutput, Addresses) {
    EXPECT_EQ(Vornctl::formatAddress(0x7F000001u), "127.0.0.1");
    EXPECT_EQ(Vornctl::formatAddress(0xC0A80AFFu), "192.168.10.255");
}

TEST(VornctlOutput, DeviceTableAlignsColumns) {
    std::vector<FoundDevice> rows = {
        {0x0001E240000012ABull, std::string("Stage left"), 12, 0xC0A80105u, 0},
        {0x0000000100000002ull, std::nullopt, 10, 0x0A000001u, 3},
        {0x0000000100000003ull, std::string("tab\there"), 99, 0x0A000002u, 0},
    };
    EXPECT_EQ(Vornctl::formatDeviceTable(rows),
              "ID                 Name        Product  Address      Mode\n"
              "-----------------  ----------  -------  -----------  ----\n"
              "0001e240:000012ab  Stage left  Ondal 4  192.168.1.5  0\n"
              "00000001:00000002  Unknown     Ondal 2  10.0.0.1     3\n"
              "00000001:00000003  tab?here    Unknown  10.0.0.2     0\n");
    // UTF-8 names are as wide as their characters.
    EXPECT_EQ(Vornctl::formatTable({"A", "B"}, {{"\xc3\xa9t\xc3\xa9", "x"}, {"abcd", "y"}}),
              "A     B\n"
              "----  -\n"
              "\xc3\xa9t\xc3\xa9   x\n"
              "abcd  y\n");
}

TEST(VornctlOutput, DeviceJson) {
    EXPECT_EQ(Vornctl::formatDeviceJson({}), "[]\n");
    std::vector<FoundDevice> rows = {
        {0x0001E240000012ABull, std::string("Say \"hi\"\\"), 12, 0xC0A80105u, 0},
        {0x0000000100000002ull, std::nullopt, 7, 0x0A000001u, 3},
    };
    EXPECT_EQ(Vornctl::formatDeviceJson(rows),
              "[\n"
              "  {\"id\": \"0001e240:000012ab\", \"name\": \"Say \\\"hi\\\"\\\\\", \"product\": "
              "\"Ondal 4\", \"type\": 12, \"address\": \"192.168.1.5\", \"mode\": 0},\n"
              "  {\"id\": \"00000001:00000002\", \"name\": null, \"product\": \"Corvet\", "
              "\"type\": 7, \"address\": \"10.0.0.1\", \"mode\": 3}\n"
              "]\n");
}

TEST(VornctlOutput, JsonStringsAreAlwaysValid) {
    EXPECT_EQ(Vornctl::jsonString("plain"), "\"plain\"");
    EXPECT_EQ(Vornctl::jsonString(std::string("a\0b\x01\n\x7f", 6)),
              "\"a\\u0000b\\u0001\\n\\u007f\"");
    // Valid UTF-8 passes through; anything else is read as Latin-1.
    EXPECT_EQ(Vornctl::jsonString("caf\xc3\xa9"), "\"caf\xc3\xa9\"");
    EXPECT_EQ(Vornctl::jsonString("caf\xe9"), "\"caf\\u00e9\"");
    EXPECT_EQ(Vornctl::jsonString("\xc0\xaf"), "\"\\u00c0\\u00af\"");            // overlong
    EXPECT_EQ(Vornctl::jsonString("\xed\xa0\x80"), "\"\\u00ed\\u00a0\\u0080\""); // surrogate
    EXPECT_EQ(Vornctl::jsonString("\xe2\x82"), "\"\\u00e2\\u0082\"");            // cut short
}

TEST(VornctlOutput, DeviceTextOfAnyBytesIsValidJsonThatKeepsEveryByte) {
    // Quotes, backslashes, control characters, DEL, UTF-8 text; then bytes that
    // are not UTF-8 (a lone Latin-1 e-acute, a cut-short sequence, an overlong
    // slash, a surrogate), which are read as Latin-1.
    const std::string utf8Name =
        std::string("\"q\" \\ \x01\x1f\t\n\x7f ", 12) + "\xc3\xa9\xe2\x82\xac";
    const std::string otherName = "caf\xe9 \xe2\x82 \xc0\xaf \xed\xa0\x80";
    const std::string otherRead = "caf\xc3\xa9 \xc3\xa2\xc2\x82 \xc3\x80\xc2\xaf "
                                  "\xc3\xad\xc2\xa0\xc2\x80";
    std::vector<FoundDevice> rows = {{1, utf8Name, 10, 0x0A000001u, 0},
                                     {2, otherName, 11, 0x0A000002u, 0}};
    // nlohmann's parser refuses what is not UTF-8 and every bare control character.
    const auto devices = nlohmann::json::parse(Vornctl::formatDeviceJson(rows));
    ASSERT_EQ(devices.size(), 2u);
    EXPECT_EQ(devices[0]["name"], utf8Name);
    EXPECT_EQ(devices[1]["name"], otherRead);

    for (const auto& [name, read] : {std::pair{utf8Name, utf8Name}, {otherName, otherRead}}) {
        DeviceEvent named;
        named.kind = DeviceEvent::Kind::Named;
        named.name = name;
        const std::string line = Vornctl::formatDeviceEvent(named, true);
        EXPECT_EQ(line.find('\n'), std::string::npos) << "one event, one line";
        EXPECT_EQ(nlohmann::json::parse(line)["name"], read);

        Vornctl::ProgramRow row;
        row.name = name;
        row.detail = name;
        const auto report = nlohmann::json::parse(Vornctl::formatProgramJson({row}));
        EXPECT_EQ(report[0]["name"], read);
        EXPECT_EQ(report[0]["detail"], read);

        Network::AdapterInfo adapter;
        adapter.description = name;
        EXPECT_EQ(nlohmann::json::parse(Vornctl::formatInterfaceJson({adapter}))[0]["description"],
                  read);
    }
    // Only ASCII and UTF-8 text as it was given leave the program.
    const std::string line = Vornctl::formatDeviceJson(rows);
    for (const char c : line)
        EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 && c != '\n') << line;
    EXPECT_EQ(line.find('\x7f'), std::string::npos);
}

TEST(VornctlOutput, InterfaceTableAndJson) {
    const std::vector<Network::AdapterInfo> adapters = {
        {"192.168.1.20", "00:1a:2b:3c:4d:5e", "255.255.255.0", "Intel(R) Ethernet"},
        {"0.0.0.0", "0a:0b:0c:0d:0e:0f", "0.0.0.0", "Spare"},
    };
    EXPECT_EQ(Vornctl::formatInterfaceTable(adapters),
              "Description        IP Address    MAC Address        Subnet Mask\n"
              "-----------------  ------------  -----------------  -------------\n"
              "Intel(R) Ethernet  192.168.1.20  00:1a:2b:3c:4d:5e  255.255.255.0\n"
              "Spare              0.0.0.0       0a:0b:0c:0d:0e:0f  0.0.0.0\n");
    EXPECT_EQ(Vornctl::formatInterfaceJson({adapters[1]}),
              "[\n  {\"description\": \"Spare\", \"address\": \"0.0.0.0\", \"mac\": "
              "\"0a:0b:0c:0d:0e:0f\", \"mask\": \"0.0.0.0\"}\n]\n");
    EXPECT_EQ(Vornctl::formatInterfaceJson({}), "[]\n");
}

TEST(VornctlOutput, DeviceCsvQuotesWhatASpreadsheetWouldMisread) {
    std::vector<FoundDevice> rows = {
        {0x0001E240000012ABull, std::string("Stage, \"left\""), 12, 0xC0A80105u, 0},
        {0x0000000100000002ull, std::nullopt, 10, 0x0A000001u, 3},
        {0x0000000100000003ull, std::string("=1+2"), 99, 0x0A000002u, 0},
        {0x0000000100000004ull, std::string(" padded"), 11, 0x0A000003u, 1},
    };
    EXPECT_EQ(Vornctl::formatDeviceCsv(rows),
              "id,name,product,type,address,mode\n"
              "0001e240:000012ab,\"Stage, \"\"left\"\"\",Ondal 4,12,192.168.1.5,0\n"
              "00000001:00000002,,Ondal 2,10,10.0.0.1,3\n"
              "00000001:00000003,'=1+2,Unknown,99,10.0.0.2,0\n"
              "00000001:00000004,\" padded\",Ondal 2,11,10.0.0.3,1\n");
    EXPECT_EQ(Vornctl::formatDeviceCsv({}), "id,name,product,type,address,mode\n");
    EXPECT_EQ(Vornctl::csvField("two\nlines"), "\"two\nlines\"");
    EXPECT_EQ(Vornctl::csvField("-5;x"), "\"'-5;x\"");
}

TEST(VornctlOutput, ProgramReport) {
    Vornctl::ProgramRow verified;
    verified.line = 2;
    verified.id = 0x0000010000000001ull;
    verified.name = "Rack \"A\"";
    verified.before = 100001;
    verified.target = 4294967295u;
    verified.after = 4294967295u;
    verified.result = Vornctl::ProgramResult::Verified;
    verified.detail = "written and read back";
    Vornctl::ProgramRow missing;
    missing.line = 3;
    missing.id = 0x0000010000000002ull;
    missing.target = 7;
    missing.result = Vornctl::ProgramResult::NotFound;
    missing.detail = "did not appear on the network";
    EXPECT_EQ(Vornctl::formatProgramTable({verified, missing}),
              "Line  ID                 Name      Old     New         Result     Detail\n"
              "----  -----------------  --------  ------  ----------  ---------  "
              "-----------------------------\n"
              "2     00000100:00000001  Rack \"A\"  100001  4294967295  verified   written and "
              "read back\n"
              "3     00000100:00000002  Unknown   -       7           not-found  did not "
              "appear on the network\n");
    EXPECT_EQ(Vornctl::formatProgramJson({verified, missing}),
              "[\n"
              "  {\"line\": 2, \"id\": \"00000100:00000001\", \"name\": \"Rack \\\"A\\\"\", "
              "\"old\": 100001, \"new\": 4294967295, \"readBack\": 4294967295, \"result\": "
              "\"verified\", \"detail\": \"written and read back\"},\n"
              "  {\"line\": 3, \"id\": \"00000100:00000002\", \"name\": null, \"old\": null, "
              "\"new\": 7, \"readBack\": null, \"result\": \"not-found\", \"detail\": \"did "
              "not appear on the network\"}\n"
              "]\n");
    EXPECT_TRUE(Vornctl::succeeded(Vornctl::ProgramResult::AlreadySet));
    EXPECT_FALSE(Vornctl::succeeded(Vornctl::ProgramResult::Unverified));
}

TEST(VornctlOutput, WatchLines) {
    using Kind = DeviceEvent::Kind;
    DeviceEvent added;
    added.kind = Kind::Added;
    // 2026-12-07 14:05:09.042 UTC
    added.time = std::chrono::system_clock::time_point(1796652309042ms);
    added.id = 0x0000010000000001ull;
    added.deviceType = 12;
    added.address = 0x7F000002u;
    added.mode = 2;
    EXPECT_EQ(Vornctl::formatDeviceEvent(added, false),
              "2026-12-07T14:05:09.042Z  added        00000100:00000001  Ondal 4 (type 12)  "
              "127.0.0.2  mode 2");
    EXPECT_EQ(Vornctl::formatDeviceEvent(added, true),
              "{\"time\": \"2026-12-07T14:05:09.042Z\", \"event\": \"added\", \"id\": "
              "\"00000100:00000001\", \"product\": \"Ondal 4\", \"type\": 12, \"address\": "
              "\"127.0.0.2\", \"mode\": 2}");
    DeviceEvent named = added;
    named.kind = Kind::Named;
    named.name = "Line\nbreak";
    EXPECT_EQ(Vornctl::formatDeviceEvent(named, false),
              "2026-12-07T14:05:09.042Z  named        00000100:00000001  \"Line?break\"");
    EXPECT_EQ(Vornctl::formatDeviceEvent(named, true),
              "{\"time\": \"2026-12-07T14:05:09.042Z\", \"event\": \"named\", \"id\": "
              "\"00000100:00000001\", \"name\": \"Line\\nbreak\"}");
    DeviceEvent removed = added;
    removed.kind = Kind::Removed;
    EXPECT_EQ(Vornctl::formatDeviceEvent(removed, true),
              "{\"time\": \"2026-12-07T14:05:09.042Z\", \"event\": \"removed\", \"id\": "
              "\"00000100:00000001\"}");
    removed.kind = Kind::NameUnread;
    EXPECT_EQ(Vornctl::formatDeviceEvent(removed, false),
              "2026-12-07T14:05:09.042Z  name-unread  00000100:00000001  the device did not "
              "answer the name request");
    EXPECT_EQ(Vornctl::formatTimestamp(std::chrono::system_clock::time_point(1796601599999ms)),
              "2026-12-06T23:59:59.999Z");
}

// How vornctl watch ends on Ctrl-C: the stop signal stops the feed its
// printing thread waits on.
TEST(VornctlOutput, StopSignalWakesTheWatchWaitingOnItsFeed) {
    DeviceEventFeed feed;
    Vornctl::StopSignal stop;
    stop.listen([&feed] { feed.stop(); });
    TestSupport::Recorder<bool> readAll;
    std::vector<std::uint64_t> read; // the reader's until it is joined
    std::thread reader([&] {
        while (const auto event = feed.next()) {
            read.push_back(event->id);
            if (read.size() == 3)
                readAll.push(true);
        }
    });
    for (std::uint64_t id = 1; id <= 3; ++id) {
        DeviceEvent event;
        event.id = id;
        feed.push(event);
    }
    const bool allRead = readAll.waitForFirst(10s).value_or(false);
    // The reader now waits for a fourth event: only the stop can end it (a
    // stop that does not wake it hangs the join).
    stop.request();
    reader.join();
    EXPECT_TRUE(allRead);
    EXPECT_EQ(read, (std::vector<std::uint64_t>{1, 2, 3}));

    // Nothing passes a stopped feed; a listener set afterwards runs at once.
    feed.push(DeviceEvent{});
    EXPECT_FALSE(feed.next());
    bool ranAtOnce = false;
    stop.listen([&ranAtOnce] { ranAtOnce = true; });
    EXPECT_TRUE(ranAtOnce);
}

} // namespace
