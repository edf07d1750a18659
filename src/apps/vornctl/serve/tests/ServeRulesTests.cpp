// The parts of vornctl serve that need no network: routes, the request guard,
// tokens, the JSON body of a write, the live-push queues and the device hub.

#include "AccessToken.h"
#include "ApiJson.h"
#include "ApiRoute.h"
#include "ContentEncoding.h"
#include "DeviceHub.h"
#include "GuessThrottle.h"
#include "PageAssets.h"
#include "RequestGuard.h"
#include "Serve.h"
#include "ServeController.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <set>

namespace {

using namespace Vornctl::Serve;

bool pageFile(std::string_view name) {
    return name == "index.html" || name == "app.js";
}

Route route(std::string_view method, std::string_view target) {
    return routeRequest(method, target, &pageFile);
}

TEST(ServeRoutes, EveryResourceByMethodAndPath) {
    using Kind = Route::Kind;
    EXPECT_EQ(route("GET", "/").kind, Kind::Page);
    EXPECT_EQ(route("GET", "/").asset, "index.html");
    EXPECT_EQ(route("GET", "/app.js").kind, Kind::Asset);
    EXPECT_EQ(route("GET", "/api/devices").kind, Kind::Devices);
    EXPECT_TRUE(route("GET", "/api/devices?all=1").all);
    EXPECT_FALSE(route("GET", "/api/devices?all=0").all);
    EXPECT_EQ(route("GET", "/api/devices.csv").kind, Kind::DevicesCsv);
    EXPECT_EQ(route("GET", "/api/events").kind, Kind::Events);
    EXPECT_EQ(route("GET", "/api/interface").kind, Kind::Interface);
    EXPECT_EQ(route("POST", "/api/interface").status, 405);
    const Route read = route("GET", "/api/devices/00000100:0000000A/serial");
    EXPECT_EQ(read.kind, Kind::SerialRead);
    EXPECT_EQ(read.device, 0x000001000000000Aull);
    EXPECT_EQ(route("PUT", "/api/devices/00000100%3a0000000a/serial").device,
              0x000001000000000Aull);
    EXPECT_EQ(route("PUT", "/api/devices/00000100:0000000a/serial").kind, Kind::SerialWrite);
    EXPECT_EQ(route("POST", "/api/devices/00000100:0000000a/select").kind, Kind::Select);
    EXPECT_EQ(route("DELETE", "/api/devices/00000100:0000000a/select").kind, Kind::Deselect);
    const Route journal = route("GET", "/api/devices/00000100:0000000B/journal?all=1");
    EXPECT_EQ(journal.kind, Kind::Journal);
    EXPECT_EQ(journal.device, 0x000001000000000Bull);
    EXPECT_TRUE(journal.all);
    const Route program = route("POST", "/api/program?dry_run=1");
    EXPECT_EQ(program.kind, Kind::Program);
    EXPECT_TRUE(program.dryRun);
    EXPECT_EQ(route("GET", "/api/link.svg").kind, Kind::LinkQr);
    EXPECT_TRUE(route("GET", "/api/link.svg").api()); // behind the token, as the link holds it
    EXPECT_EQ(route("POST", "/api/link.svg").status, 405);
    EXPECT_EQ(route("GET", "/api/certificate").kind, Kind::Certificate);
    EXPECT_EQ(route("PUT", "/api/certificate").status, 405);
}

TEST(ServeRoutes, RefusalsNameTheirStatus) {
    const Route wrongMethod = route("DELETE", "/api/devices");
    EXPECT_EQ(wrongMethod.status, 405);
    EXPECT_EQ(wrongMethod.allow, "GET");
    EXPECT_EQ(route("PATCH", "/api/devices/00000100:0000000a/serial").allow, "GET, PUT");
    const Route journalWrite = route("PUT", "/api/devices/00000100:0000000a/journal");
    EXPECT_EQ(journalWrite.status, 405);
    EXPECT_EQ(journalWrite.allow, "GET");
    EXPECT_EQ(route("GET", "/api/devices/00000100:0000000/journal").status, 400);
    EXPECT_EQ(route("POST", "/").status, 405);
    for (const char* target :
         {"/api/devices/0100:0a/serial", "/api/devices/00000100-0000000a/serial",
          "/api/devices/00000100:0000000g/serial", "/api/devices/00000100%3:0000000a/serial"})
        EXPECT_EQ(route("GET", target).status, 400) << target;
    for (const char* target :
         {"/api/nothing", "/api/devices/00000100:0000000a/name", "/api/devices/00000100:0000000a",
          "/api/devices/00000100:0000000a/journal/1", "/secret.txt", "/../app.js", "/api/"})
        EXPECT_EQ(route("GET", target).status, 404) << target;
    EXPECT_EQ(route("GET", "*").status, 400);
    EXPECT_EQ(route("GET", "http://example.com/").status, 400);
}

TEST(ServeRoutes, QueryValuesAreDecoded) {
    EXPECT_EQ(queryValue("/?token=a%2Bb&x=1", "token"), std::optional<std::string>("a+b"));
    EXPECT_EQ(queryValue("/?x=1&token=abc#frag", "token"), std::optional<std::string>("abc"));
    EXPECT_EQ(queryValue("/?tokens=abc", "token"), std::nullopt);
    EXPECT_EQ(queryValue("/?token=%zz", "token"), std::nullopt);
    EXPECT_EQ(percentDecode("a%00b"), std::nullopt);
    EXPECT_EQ(percentDecode("abc%4"), std::nullopt);
}

class ServeGuard : public ::testing::Test {
protected:
    ServeGuard() {
        config.hosts = allowedHosts("127.0.0.1", 8017, {"rack-pc", "service.example:9000"});
        config.token = token;
        config.cookie = tokenCookieName(8017);
    }

    GuardVerdict check(std::string_view method, std::string_view target,
                       std::optional<std::string_view> host = "127.0.0.1:8017",
                       std::optional<std::string_view> origin = std::nullopt,
                       bool withCookie = true, bool upgrade = false) {
        RequestHead head;
        head.method = method;
        head.target = target;
        head.host = host;
        head.origin = origin;
        if (withCookie)
            head.cookie = cookie;
        head.upgrade = upgrade;
        return check(head);
    }
    GuardVerdict check(const RequestHead& head) { return checkRequest(config, head); }

    const std::string token = std::string(48, 'a');
    const std::string cookie = "theme=dark; vorn_token_8017=" + token + "; other=1";
    GuardConfig config;
};

TEST_F(ServeGuard, OnlyTheListenAddressLocalhostAndAllowedNamesAreServed) {
    using Kind = GuardVerdict::Kind;
    for (const char* host : {"127.0.0.1:8017", "localhost:8017", "LOCALHOST:8017", "rack-pc:8017",
                             "service.example:9000"})
        EXPECT_EQ(check("GET", "/api/devices", host).kind, Kind::Pass) << host;
    for (const char* host : {"127.0.0.1", "127.0.0.1:8018", "evil.example:8017", "rack-pc",
                             "service.example:8017", "", "127.0.0.1:8017.evil"}) {
        const auto verdict = check("GET", "/api/devices", host);
        EXPECT_EQ(verdict.status, 403) << host;
    }
    EXPECT_EQ(check("GET", "/api/devices", std::nullopt).status, 403);
}

TEST_F(ServeGuard, StateChangesAndLivePushFromAnotherOriginAreRefused) {
    using Kind = GuardVerdict::Kind;
    const char* write = "/api/devices/00000100:0000000a/serial";
    for (const char* method : {"PUT", "POST", "DELETE"}) {
        EXPECT_EQ(check(method, write).kind, Kind::Pass) << "no Origin";
        EXPECT_EQ(check(method, write, "127.0.0.1:8017", "http://127.0.0.1:8017").kind, Kind::Pass);
        for (const char* origin : {"http://evil.example", "null", "https://127.0.0.1:8017",
                                   "http://localhost:8017", "http://127.0.0.1:8018"})
            EXPECT_EQ(check(method, write, "127.0.0.1:8017", origin).status, 403)
                << method << " " << origin;
    }
    EXPECT_EQ(
        check("GET", "/api/events", "127.0.0.1:8017", "http://evil.example", true, true).status,
        403);
    EXPECT_EQ(
        check("GET", "/api/events", "localhost:8017", "http://localhost:8017", true, true).kind,
        Kind::Pass);
    // A read is no state change: a page elsewhere cannot read the answer anyway (no CORS).
    EXPECT_EQ(check("GET", "/api/devices", "127.0.0.1:8017", "http://evil.example").kind,
              Kind::Pass);
}

TEST_F(ServeGuard, TheTokenComesByHeaderOrCookieAndOnlyThePageLinkCarriesIt) {
    using Kind = GuardVerdict::Kind;
    RequestHead head;
    head.method = "GET";
    head.target = "/api/devices";
    head.host = "127.0.0.1:8017";
    EXPECT_EQ(check(head).status, 401);
    const std::string bearer = "Bearer " + token;
    head.authorization = bearer;
    EXPECT_EQ(check(head).kind, Kind::Pass);
    const std::string lower = "bearer  " + token;
    head.authorization = lower;
    EXPECT_EQ(check(head).kind, Kind::Pass);
    const std::string wrong = "Bearer " + std::string(48, 'b');
    head.authorization = wrong;
    EXPECT_EQ(check(head).status, 401);
    const std::string basic = "Basic " + token;
    head.authorization = basic;
    EXPECT_EQ(check(head).status, 401);

    const std::string query = "/api/devices?token=" + token;
    EXPECT_EQ(check("GET", query, "127.0.0.1:8017", std::nullopt, false).status, 401);
    const std::string link = "/?token=" + token;
    EXPECT_EQ(check("GET", link, "127.0.0.1:8017", std::nullopt, false).kind, Kind::TokenAccepted);
    EXPECT_EQ(check("GET", "/?token=" + std::string(47, 'a'), "127.0.0.1:8017", std::nullopt, false)
                  .status,
              401);
    EXPECT_EQ(check("GET", link, "evil.example:8017", std::nullopt, false).status, 403);
    const auto page = check("GET", "/", "127.0.0.1:8017", std::nullopt, false);
    EXPECT_EQ(page.status, 401);
    EXPECT_NE(page.message.find("Open the link"), std::string::npos);
    EXPECT_EQ(check("GET", "/", "127.0.0.1:8017", std::nullopt, true).kind, Kind::Pass);
    EXPECT_EQ(tokenCookie("vorn_token_8017", "abc"),
              "vorn_token_8017=abc; Path=/; HttpOnly; SameSite=Strict");
}

// Two serves on one host: the browser sends both cookies to each (cookies do
// not tell ports apart); each takes its own and ignores the other's.
TEST_F(ServeGuard, TheCookieNamedAfterAnotherPortIsNotThisServersToken) {
    EXPECT_EQ(tokenCookieName(8017), "vorn_token_8017");
    EXPECT_EQ(tokenCookieName(9000), "vorn_token_9000");
    RequestHead head;
    head.method = "GET";
    head.target = "/api/devices";
    head.host = "127.0.0.1:8017";
    const std::string other = "vorn_token_9000=" + token;
    head.cookie = other;
    EXPECT_EQ(check(head).status, 401);
    const std::string both =
        "vorn_token_9000=" + std::string(48, 'b') + "; vorn_token_8017=" + token;
    head.cookie = both;
    EXPECT_EQ(check(head).kind, GuardVerdict::Kind::Pass);
    const std::string unnamed = "vorn_token=" + token;
    head.cookie = unnamed;
    EXPECT_EQ(check(head).status, 401);
}

TEST(ServeEncoding, GzipOnlyWhenTheClientTakesIt) {
    EXPECT_FALSE(acceptsGzip(std::nullopt));
    for (const char* yes : {"gzip", "GZip", "x-gzip", "deflate, gzip;q=0.5", "deflate,gzip",
                            "gzip; q=1.0", "gzip;q=0.001", "br, *", "gzip, deflate, br, zstd"})
        EXPECT_TRUE(acceptsGzip(std::string_view(yes))) << yes;
    for (const char* no :
         {"", "identity", "deflate, br", "gzip;q=0", "gzip;q=0.000", "*;q=0", "gzip;q=0, *",
          "gzipx", "gzip;q=2", "gzip;q=0.1234", "gzip;q=", "br, *;q=0.0"})
        EXPECT_FALSE(acceptsGzip(std::string_view(no))) << no;
}

// Each file of the page is embedded as it is and compressed: a gzip member
// (no name, no time) whose trailer gives the plain body's size.
TEST(ServeEncoding, EveryFileOfThePageIsEmbeddedCompressedToo) {
    for (const char* name : {"index.html", "app.js", "style.css", "icon.svg"}) {
        const PageAsset* asset = findPageAsset(name);
        ASSERT_TRUE(asset) << name;
        const std::string_view gzip = asset->gzipBody;
        ASSERT_GT(gzip.size(), 18u) << name;
        EXPECT_EQ(gzip.substr(0, 3), std::string_view("\x1f\x8b\x08", 3)) << name;
        EXPECT_EQ(gzip[3], 0) << name << ": no file name";
        EXPECT_EQ(gzip.substr(4, 4), std::string_view("\0\0\0\0", 4)) << name << ": no time";
        std::uint32_t size = 0;
        for (int i = 3; i >= 0; --i)
            size = size << 8 | static_cast<unsigned char>(gzip[gzip.size() - 4 + i]);
        EXPECT_EQ(size, asset->body.size()) << name;
        EXPECT_LT(gzip.size(), asset->body.size()) << name;
    }
    EXPECT_FALSE(findPageAsset("favicon.ico"));
}

TEST(ServeListen, HostAndPort) {
    std::string host;
    unsigned short port = 0;
    EXPECT_TRUE(parseListen("0.0.0.0:9000", host, port));
    EXPECT_EQ(host, "0.0.0.0");
    EXPECT_EQ(port, 9000);
    EXPECT_TRUE(parseListen("[::1]:0", host, port));
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 0);
    for (const char* bad : {"127.0.0.1", "127.0.0.1:", ":8017", "127.0.0.1:65536", "127.0.0.1:80a",
                            "127.0.0.1:123456"})
        EXPECT_FALSE(parseListen(bad, host, port)) << bad;
}

TEST(ServeTokens, NewTokensAreLongRandomAndCompareExactly) {
    const std::string first = newAccessToken();
    EXPECT_EQ(first.size(), 48u);
    EXPECT_EQ(first.find_first_not_of("0123456789abcdef"), std::string::npos);
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i)
        seen.insert(newAccessToken());
    EXPECT_EQ(seen.size(), 100u);
    EXPECT_TRUE(sameToken(first, first));
    EXPECT_FALSE(sameToken(first.substr(0, 47), first));
    EXPECT_FALSE(sameToken(first + "0", first));
    EXPECT_FALSE(sameToken("", ""));
    std::string flipped = first;
    flipped[20] = flipped[20] == 'a' ? 'b' : 'a';
    EXPECT_FALSE(sameToken(flipped, first));
}

TEST(ServeTokens, TokenFileFirstLineIsChecked) {
    const std::string path = ::testing::TempDir() + "serve-token.txt";
    auto write = [&](const std::string& text) { std::ofstream(path, std::ios::binary) << text; };
    std::string error;
    write("  " + std::string(40, 'Z') + "\r\nsecond line\n");
    EXPECT_EQ(readAccessToken(path, error), std::optional<std::string>(std::string(40, 'Z')));
    write(std::string(31, 'x') + "\n");
    EXPECT_EQ(readAccessToken(path, error), std::nullopt);
    EXPECT_NE(error.find("shorter than 32"), std::string::npos) << error;
    write(std::string(32, 'x') + ";\n");
    EXPECT_EQ(readAccessToken(path, error), std::nullopt);
    std::remove(path.c_str());
    EXPECT_EQ(readAccessToken(path, error), std::nullopt);
    EXPECT_NE(error.find("cannot read"), std::string::npos) << error;
}

TEST(ServeJson, SerialWriteBodyMustHoldTwoEqualNumbersInRange) {
    std::string error;
    EXPECT_EQ(parseSerialWrite(R"({"serial": 20261207, "repeat": 20261207})", error),
              std::optional<std::uint32_t>(20261207));
    EXPECT_EQ(parseSerialWrite(R"({"repeat": 0, "serial": 0, "extra": true})", error),
              std::optional<std::uint32_t>(0));
    EXPECT_EQ(parseSerialWrite(R"({"serial": 4294967295, "repeat": 4294967295})", error),
              std::optional<std::uint32_t>(4294967295u));
    const std::pair<const char*, const char*> refused[] = {
        {R"({"serial": 1, "repeat": 2})", "differ"},
        {R"({"serial": 4294967296, "repeat": 4294967296})", "0 to 4294967295"},
        {R"({"serial": -1, "repeat": -1})", "0 to 4294967295"},
        {R"({"serial": 1.5, "repeat": 1.5})", "0 to 4294967295"},
        {R"({"serial": 1e3, "repeat": 1e3})", "0 to 4294967295"},
        {R"({"serial": "1", "repeat": "1"})", "0 to 4294967295"},
        {R"({"serial": 1})", "lacks \"repeat\""},
        {R"([1, 1])", "JSON object"},
        {R"({"serial": 1, "repeat": 1)", "JSON object"},
        {"", "JSON object"},
    };
    for (const auto& [body, why] : refused) {
        error.clear();
        EXPECT_EQ(parseSerialWrite(body, error), std::nullopt) << body;
        EXPECT_NE(error.find(why), std::string::npos) << body << ": " << error;
    }
}

TEST(ServeJson, ErrorsAndReportsAreJsonObjects) {
    EXPECT_EQ(errorJson("bad \"thing\"\n"), R"({"error":"bad \"thing\"\n"})");
    WriteReport report;
    report.id = 0x0000010000000001ull;
    report.before = 5;
    report.target = 6;
    report.result = "refused";
    report.detail = "kept";
    EXPECT_EQ(writeJson(report), R"({"detail":"kept","id":"00000100:00000001","new":6,"old":5,)"
                                 R"("readBack":null,"result":"refused"})");
}

// Serve's table, row by row: for every outcome a write can have, the HTTP
// status and the code in "result" that the page decides by.
TEST(ServeJson, EveryOutcomeOfAWriteHasItsStatusAndCode) {
    const std::vector<std::pair<WriteOutcome, int>> table = {
        {WriteOutcome::Verified, 200},   {WriteOutcome::Refused, 409},
        {WriteOutcome::NoAnswer, 504},   {WriteOutcome::Mismatch, 502},
        {WriteOutcome::Unverified, 504}, {WriteOutcome::AlreadySet, 200},
        {WriteOutcome::Duplicate, 409},  {WriteOutcome::NotFound, 404},
        {WriteOutcome::Unreadable, 504}, {WriteOutcome::JournalUnwritable, 500},
        {WriteOutcome::Unrecorded, 500}, {WriteOutcome::Failed, 500},
    };
    ASSERT_EQ(table.size(), static_cast<std::size_t>(writeOutcomeCount)) << "a row for each";
    for (const auto& [outcome, status] : table) {
        SCOPED_TRACE(writeOutcomeName(outcome));
        SerialWriteReport report;
        report.id = 1;
        report.target = 700;
        report.outcome = outcome;
        report.before = 500;
        report.readBack = 600;
        report.holder = ListedDevice{0x0000000A0000000Bull, "FOH"};
        report.unrecorded = Journal::WriteResult::Verified;
        report.error = "J: disk full";
        report.silent = {3};
        const WriteAnswer answer = writeAnswer(report);
        EXPECT_EQ(answer.status, status);
        const auto body =
            nlohmann::json::parse(answer.report ? writeJson(*answer.report, answer.warnings)
                                                : refusalJson(answer.refusal));
        EXPECT_EQ(body["result"], writeOutcomeName(outcome)) << body;
        EXPECT_EQ(body["warnings"].size(), 1u) << body;
        // Two refusals share 409: the code tells them apart, and only the
        // duplicate names a holder.
        EXPECT_EQ(body.contains("holder"), outcome == WriteOutcome::Duplicate) << body;
        EXPECT_EQ(answer.report.has_value(), !body.contains("error")) << body;
    }
}

TEST(ServeJson, TheDeviceListSaysHowManyDevicesWereDropped) {
    Network::AdapterInfo adapter;
    adapter.ipAddress = "127.0.0.1";
    const auto body = nlohmann::json::parse(devicesJson(adapter, {}, 12345));
    EXPECT_EQ(body["dropped"], 12345);
    EXPECT_EQ(body["devices"], nlohmann::json::array());
    EXPECT_EQ(body["interface"]["address"], "127.0.0.1");
}

TEST(ServeEventQueue, ASlowClientOverflowsInsteadOfGrowing) {
    EventQueue queue(32);
    EXPECT_TRUE(queue.push("0123456789"));  // first: wake the writer
    EXPECT_FALSE(queue.push("0123456789")); // already awake
    EXPECT_EQ(queue.take(), "0123456789\n0123456789\n");
    EXPECT_TRUE(queue.push("0123456789"));
    EXPECT_FALSE(queue.push("0123456789"));
    EXPECT_FALSE(queue.overflowed());
    EXPECT_TRUE(queue.push("0123456789")); // 33 bytes: over; wake to drop the client
    EXPECT_TRUE(queue.overflowed());
    EXPECT_EQ(queue.take(), "");
    EXPECT_FALSE(queue.push("x"));
}

DeviceEvent event(DeviceEvent::Kind kind, std::uint64_t id, unsigned type = 0,
                  std::string name = {}) {
    DeviceEvent made;
    made.kind = kind;
    made.id = id;
    made.deviceType = type;
    made.address = 0x7F000002;
    made.name = std::move(name);
    return made;
}

TEST(ServeDeviceHub, ClientsStartWithThePresentDevicesAndSeeOnlyTheirProducts) {
    using Kind = DeviceEvent::Kind;
    DeviceHub hub;
    hub.apply(event(Kind::Added, 1, 12));
    hub.apply(event(Kind::Named, 1, 0, "<b>Stage</b>"));
    hub.apply(event(Kind::Added, 2, 7));
    hub.apply(event(Kind::Named, 99, 0, "never added"));
    ASSERT_EQ(hub.devices(false).size(), 1u);
    EXPECT_EQ(hub.devices(false)[0].name, std::optional<std::string>("<b>Stage</b>"));
    EXPECT_EQ(hub.devices(true).size(), 2u);
    EXPECT_FALSE(hub.device(99));

    int wakes = 0;
    const auto serviced = hub.subscribe(false, [&] { ++wakes; });
    const auto every = hub.subscribe(true, [] {});
    EXPECT_EQ(wakes, 1);
    const std::string first = serviced->take();
    EXPECT_NE(first.find(R"("event": "added", "id": "00000000:00000001")"), std::string::npos)
        << first;
    EXPECT_NE(first.find(R"("name": "<b>Stage</b>")"), std::string::npos) << first;
    EXPECT_EQ(first.find("00000000:00000002"), std::string::npos) << first;
    EXPECT_NE(every->take().find("00000000:00000002"), std::string::npos);

    hub.apply(event(Kind::Removed, 2));
    EXPECT_EQ(serviced->take(), "");
    EXPECT_NE(every->take().find(R"("event": "removed", "id": "00000000:00000002")"),
              std::string::npos);
    hub.apply(event(Kind::Removed, 1));
    EXPECT_EQ(wakes, 2);
    EXPECT_NE(serviced->take().find("removed"), std::string::npos);
    EXPECT_TRUE(hub.devices(true).empty());
    EXPECT_EQ(hub.clients(), 2u);
}

TEST(ServeDeviceHub, AClientThatLeavesIsForgotten) {
    DeviceHub hub;
    auto queue = hub.subscribe(true, [] {});
    EXPECT_EQ(hub.clients(), 1u);
    queue.reset();
    hub.apply(event(DeviceEvent::Kind::Added, 1, 12));
    EXPECT_EQ(hub.clients(), 0u);
}

// A flood of new IDs: the hub keeps `cap` devices, the longest kept unnamed one
// makes room (its removal pushed before the newcomer's addition), named ones
// stay, and with nothing but named devices a newcomer is left out.
TEST(ServeDeviceHub, PastItsCapTheLongestKeptUnnamedDeviceMakesRoom) {
    using Kind = DeviceEvent::Kind;
    DeviceHub hub(3);
    hub.apply(event(Kind::Added, 1, 12));
    hub.apply(event(Kind::Added, 2, 12));
    hub.apply(event(Kind::Added, 3, 12));
    hub.apply(event(Kind::Named, 1, 0, "Stage"));
    hub.apply(event(Kind::NameUnread, 2));
    const auto client = hub.subscribe(false, [] {});
    client->take();

    hub.apply(event(Kind::Added, 4, 12)); // 2 goes: 1 is named, 2 was kept before 3
    std::vector<std::uint64_t> ids;
    for (const auto& row : hub.devices(true))
        ids.push_back(row.id);
    EXPECT_EQ(ids, (std::vector<std::uint64_t>{1, 3, 4}));
    const std::string pushed = client->take();
    const auto removal = pushed.find(R"("event": "removed", "id": "00000000:00000002")");
    const auto addition = pushed.find(R"("event": "added", "id": "00000000:00000004")");
    ASSERT_NE(removal, std::string::npos) << pushed;
    ASSERT_NE(addition, std::string::npos) << pushed;
    EXPECT_LT(removal, addition);
    EXPECT_EQ(hub.dropped(), 1u);

    // Late news of the dropped device changes nothing.
    hub.apply(event(Kind::Named, 2, 0, "late"));
    EXPECT_FALSE(hub.device(2));

    hub.apply(event(Kind::Named, 3, 0, "Monitor"));
    hub.apply(event(Kind::Named, 4, 0, "Fill"));
    hub.apply(event(Kind::Added, 5, 12)); // all named: 5 is left out, nothing pushed
    EXPECT_FALSE(hub.device(5));
    EXPECT_EQ(hub.devices(true).size(), 3u);
    EXPECT_EQ(hub.dropped(), 2u);
    const std::string after = client->take();
    EXPECT_EQ(after.find("00000000:00000005"), std::string::npos) << after;
    EXPECT_EQ(after.find("removed"), std::string::npos) << after;

    // A named device that leaves frees its place for the next one.
    hub.apply(event(Kind::Removed, 3));
    hub.apply(event(Kind::Added, 6, 12));
    EXPECT_TRUE(hub.device(6));
    EXPECT_TRUE(hub.device(1));
    EXPECT_EQ(hub.dropped(), 2u);
}

// Flood-sized: the hub and a client's first batch stay bounded whatever the
// number of IDs announced; the named device is still there.
TEST(ServeDeviceHub, AFloodOfIdsKeepsTheHubAndTheFirstBatchBounded) {
    using Kind = DeviceEvent::Kind;
    constexpr std::size_t cap = 256;
    DeviceHub hub(cap);
    hub.apply(event(Kind::Added, 7, 12));
    hub.apply(event(Kind::Named, 7, 0, "Stage"));
    for (std::uint64_t id = 1000; id < 1000 + 5 * cap; ++id)
        hub.apply(event(Kind::Added, id, 12));
    EXPECT_EQ(hub.devices(true).size(), cap);
    EXPECT_EQ(hub.dropped(), 4 * cap + 1);
    ASSERT_TRUE(hub.device(7));
    EXPECT_EQ(hub.device(7)->name, std::optional<std::string>("Stage"));
    const std::string first = hub.subscribe(true, [] {})->take();
    EXPECT_LT(first.size(), cap * 200) << "bytes in the first batch";
}

} // namespace

TEST(ServeGuessThrottle, EachWrongTokenInARowWaitsLongerOnlyForItsAddressAndTheTableIsBounded) {
    using Vornctl::Serve::GuessThrottle;
    using namespace std::chrono_literals;
    GuessThrottle::Settings settings;
    settings.maxAddresses = 3;
    GuessThrottle throttle(settings);
    GuessThrottle::Clock::time_point now{};
    std::vector<long long> delays;
    for (int i = 0; i < 12; ++i)
        delays.push_back(throttle.failed("192.0.2.9", now += 1s).count());
    EXPECT_EQ(delays, (std::vector<long long>{0, 0, 0, 250, 500, 1000, 2000, 4000, 8000, 16000,
                                              16000, 16000}));
    EXPECT_EQ(throttle.failed("192.0.2.10", now).count(), 0); // another address: not held back
    EXPECT_EQ(throttle.heldBack(now), 1u);
    // A right token, or a quarter of an hour of quiet, and the address starts over.
    throttle.succeeded("192.0.2.9");
    EXPECT_EQ(throttle.failed("192.0.2.9", now).count(), 0);
    for (int i = 0; i < 5; ++i)
        throttle.failed("192.0.2.11", now);
    EXPECT_EQ(throttle.failed("192.0.2.11", now + 16min).count(), 0);
    // At most three addresses: the one quiet for longest makes room.
    throttle.failed("192.0.2.12", now + 17min); // the two quiet since `now` are forgotten
    EXPECT_EQ(throttle.size(), 2u);
    for (int i = 0; i < 1000; ++i)
        throttle.failed("198.51.100." + std::to_string(i % 250), now + 18min + i * 1ms);
    EXPECT_EQ(throttle.size(), 3u);
}
