// vornctl journal and inventory: their command lines, which entries are shown
// and how, and the inventory's outputs.

#include "Arguments.h"
#include "Inventory.h"
#include "JournalView.h"

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Journal::JournalEntry;
using Vornctl::Action;
using Vornctl::parseArguments;
using Vornctl::UsageError;

JournalEntry entry(const std::string& id, std::chrono::milliseconds time,
                   std::optional<Journal::WriteResult> result) {
    JournalEntry e;
    e.intent.time = Journal::SystemTime{} + time;
    e.intent.entry = "e-" + id;
    e.intent.operatorName = "Kim";
    e.intent.host = "bench";
    e.intent.tool = "vornctl 1.0.0";
    e.intent.interfaceAddress = "127.0.0.1";
    e.intent.device = {id, "Amp, \"left\"", "Ondal 4", "127.0.0.2"};
    e.intent.old = 5;
    e.intent.target = 6;
    if (result) {
        Journal::SerialOutcome outcome;
        outcome.time = e.intent.time + 250ms;
        outcome.entry = e.intent.entry;
        outcome.result = *result;
        outcome.acknowledged = *result == Journal::WriteResult::Verified;
        outcome.readBack = 6;
        e.outcome = outcome;
    }
    return e;
}

TEST(VornctlJournal, CommandLines) {
    auto options = parseArguments({"journal"});
    EXPECT_EQ(options.action, Action::Journal);
    EXPECT_FALSE(options.journalDevice);
    options = parseArguments({"--journal", "/tmp/j.jsonl", "journal", "--device",
                              "00000100:00000001", "--since", "2026-12-07T14:00Z", "--csv"});
    EXPECT_EQ(options.journal, "/tmp/j.jsonl");
    EXPECT_EQ(options.journalDevice, 0x0000010000000001ull);
    EXPECT_EQ(options.since, Journal::parseUtc("2026-12-07T14:00:00.000Z"));
    EXPECT_TRUE(options.csv);
    options = parseArguments({"--interface", "127.0.0.1", "--operator", "Kim", "serial", "set",
                              "00000100:00000001", "5"});
    EXPECT_EQ(options.operatorName, "Kim");
    options = parseArguments({"--interface", "127.0.0.1", "inventory", "--all", "--json"});
    EXPECT_EQ(options.action, Action::Inventory);
    EXPECT_TRUE(options.all && options.json);

    using Words = std::vector<std::string>;
    for (const Words& bad :
         {Words{"journal", "--since", "yesterday"}, Words{"journal", "--device", "1"},
          Words{"journal", "--interface", "127.0.0.1"}, Words{"journal", "--json", "--csv"},
          Words{"journal", "extra"}, Words{"inventory"}, // needs --interface
          Words{"--interface", "127.0.0.1", "list", "--since", "2026-12-07"},
          Words{"--journal", "", "journal"}, Words{"--operator", "", "journal"}})
        EXPECT_THROW(parseArguments(bad), UsageError) << bad.front() << " " << bad.back();
}

TEST(VornctlJournal, FiltersByDeviceAndTime) {
    const std::vector<JournalEntry> all = {entry("00000100:00000001", 1000ms, std::nullopt),
                                           entry("00000100:00000002", 2000ms, std::nullopt),
                                           entry("00000100:00000001", 3000ms, std::nullopt)};
    auto chosen = Vornctl::selectEntries(all, {0x0000010000000001ull, std::nullopt});
    ASSERT_EQ(chosen.size(), 2u);
    EXPECT_EQ(chosen[1].intent.time, Journal::SystemTime{} + 3000ms);
    chosen = Vornctl::selectEntries(all, {std::nullopt, Journal::SystemTime{} + 2000ms});
    ASSERT_EQ(chosen.size(), 2u); // from the moment on, inclusive
    EXPECT_EQ(chosen[0].intent.device.id, "00000100:00000002");
    EXPECT_TRUE(Vornctl::selectEntries(all, {0x0000010000000002ull, Journal::SystemTime{} + 2001ms})
                    .empty());
    EXPECT_EQ(Vornctl::selectEntries(all, {}).size(), 3u);
}

TEST(VornctlJournal, TableJsonAndCsv) {
    std::vector<JournalEntry> entries = {
        entry("00000100:00000001", 1000ms, Journal::WriteResult::Verified),
        entry("00000100:00000002", 2000ms, std::nullopt)};
    entries[1].intent.client = "192.168.1.30"; // a write of serve: the person and their address
    EXPECT_EQ(Vornctl::formatJournalTable(entries),
              "Time                      ID                 Name         Old  New  Result       "
              "Operator               Host\n"
              "------------------------  -----------------  -----------  ---  ---  -----------  "
              "---------------------  -----\n"
              "1970-01-01T00:00:01.000Z  00000100:00000001  Amp, \"left\"  5    6    verified     "
              "Kim                    bench\n"
              "1970-01-01T00:00:02.000Z  00000100:00000002  Amp, \"left\"  5    6    interrupted  "
              "Kim from 192.168.1.30  bench\n");
    EXPECT_EQ(
        Vornctl::formatJournalJson(entries),
        "[\n"
        R"(  {"entry": "e-00000100:00000001", "time": "1970-01-01T00:00:01.000Z", "operator": "Kim", )"
        R"("host": "bench", "tool": "vornctl 1.0.0", "interface": "127.0.0.1", "id": "00000100:00000001", )"
        R"("name": "Amp, \"left\"", "product": "Ondal 4", "address": "127.0.0.2", "old": 5, "new": 6, )"
        R"("result": "verified", "acknowledged": true, "readBack": 6, )"
        R"("outcomeTime": "1970-01-01T00:00:01.250Z", "client": null},)"
        "\n"
        R"(  {"entry": "e-00000100:00000002", "time": "1970-01-01T00:00:02.000Z", "operator": "Kim", )"
        R"("host": "bench", "tool": "vornctl 1.0.0", "interface": "127.0.0.1", "id": "00000100:00000002", )"
        R"("name": "Amp, \"left\"", "product": "Ondal 4", "address": "127.0.0.2", "old": 5, "new": 6, )"
        R"("result": "interrupted", "acknowledged": null, "readBack": null, "outcomeTime": null, )"
        R"("client": "192.168.1.30"})"
        "\n]\n");
    EXPECT_EQ(Vornctl::formatJournalJson({}), "[]\n");
    EXPECT_EQ(Vornctl::formatJournalCsv({entries[1]}),
              "entry,time,operator,host,tool,interface,id,name,product,address,old,new,result,"
              "acknowledged,readBack,outcomeTime,client\n"
              "e-00000100:00000002,1970-01-01T00:00:02.000Z,Kim,bench,vornctl 1.0.0,127.0.0.1,"
              "00000100:00000002,\"Amp, \"\"left\"\"\",Ondal 4,127.0.0.2,5,6,interrupted,,,,"
              "192.168.1.30\n");
}

TEST(VornctlInventory, TableJsonAndCsv) {
    std::vector<Vornctl::InventoryRow> rows(2);
    rows[0].device = {0x0000010000000001ull, "=SUM(A1)", 12, 0x7F000002u, 0};
    rows[0].serial = 4294967295u;
    rows[1].device = {0x0000010000000002ull, std::nullopt, 10, 0x7F000003u, 0};
    EXPECT_EQ(Vornctl::formatInventoryTable(rows),
              "ID                 Name      Product  Address    Serial\n"
              "-----------------  --------  -------  ---------  ----------\n"
              "00000100:00000001  =SUM(A1)  Ondal 4  127.0.0.2  4294967295\n"
              "00000100:00000002  Unknown   Ondal 2  127.0.0.3  -\n");
    EXPECT_EQ(
        Vornctl::formatInventoryJson(rows),
        "[\n"
        R"x(  {"id": "00000100:00000001", "name": "=SUM(A1)", "product": "Ondal 4", "type": 12, )x"
        R"("address": "127.0.0.2", "serial": 4294967295},)"
        "\n"
        R"(  {"id": "00000100:00000002", "name": null, "product": "Ondal 2", "type": 10, )"
        R"("address": "127.0.0.3", "serial": null})"
        "\n]\n");
    EXPECT_EQ(Vornctl::formatInventoryCsv(rows),
              "id,name,product,type,address,serial\n"
              "00000100:00000001,'=SUM(A1),Ondal 4,12,127.0.0.2,4294967295\n"
              "00000100:00000002,,Ondal 2,10,127.0.0.3,\n");
}

} // namespace
