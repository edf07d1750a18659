// vornctl serve over loopback against simulated devices: every API resource,
// every refusal of the guard, the limits and the live push. The devices listen
// on the wildcard address at the device port, so these run only in the test
// run's network namespace (under Wine: on the namespace's veth pair).

#include "AccessControl.h"
#include "AccessWatch.h"
#include "HttpServer.h"
#include "HttpTestClient.h"
#include "PageAssets.h"
#include "ServeApi.h"
#include "ServeController.h"

#include "Commands.h"
#include "DeviceSession.h"
#include "DeviceSimulator.h"
#include "Exception.h"
#include "JournalFile.h"
#include "SerialJournal.h"
#include "SimulatedDevices.h"
#include "TemporaryFolder.h"
#include "TestSupport.h"
#include "WaitUntil.h"
#include "transport/Enumerator.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using nlohmann::json;
using ServeTest::Connection;
using ServeTest::EventClient;
using ServeTest::exchange;
using ServeTest::requestText;
using ServeTest::Response;
using TestSupport::waitUntil;

constexpr std::uint64_t stage = 0x0000010000000001ull;   // Ondal 4, a name with markup
constexpr std::uint64_t monitor = 0x0000010000000002ull; // Ondal 2
constexpr std::uint64_t amp = 0x0001E240000012ABull;     // another product
const std::string stageId = "00000100:00000001";
const std::string monitorId = "00000100:00000002";
const std::string ampId = "0001e240:000012ab";
const std::string stageName = "<img src=x onerror=alert(1)> \"Stage\"";
constexpr std::uint16_t setBoardIdCode = 813; // MSG_SetBoardID

class ServeOnSimulator : public ::testing::Test {
protected:
    void SetUp() override {
        VORN_REQUIRE_TEST_NAMESPACE();
        const auto [tool, devices] = VornSim::testAddresses();
        ASSERT_FALSE(tool.empty()) << "neither 127.0.0.1 nor 192.0.2.1 is in the adapter list";
        VornSim::SimulatorConfig config;
        config.presenceInterval = 200ms;
        auto device = [&](std::uint64_t id, std::uint8_t type, std::string name,
                          std::uint32_t serial) {
            return VornSim::testDevice(id, type, std::move(name), devices, serial);
        };
        config.devices = {device(stage, 12, stageName, 100001),
                          device(monitor, 10, "Monitor", 100002), device(amp, 7, "Amp rack", 55)};
        simulator_ = std::make_unique<VornSim::DeviceSimulator>(config);

        options_.interfaceAddress = tool;
        options_.all = startedWithAll_;
        journal_.emplace(journalPath_,
                         Journal::Writer{"test", "test-host", "vornctl test", "192.0.2.1"});
        session_ = std::make_unique<DeviceSession>(options_.interfaceAddress, &*journal_);
        session_->publishEvents();
        ASSERT_NO_THROW(session_->start());
        controller_ = std::make_unique<Vornctl::Serve::ServeController>(*session_);
        Network::AdapterInfo adapter;
        adapter.ipAddress = tool;
        adapter.description = "test interface";
        Vornctl::Serve::ServerConfig server;
        server.port = 0;
        server.token = token;
        server.allowHosts = {"rack-pc"};
        server.requestTimeout = 2s;
        server.headTimeout = 1s;
        server.access = access_;
        server.log = [this](const std::string& line) {
            const std::lock_guard lock(logMutex_);
            log_.push_back(line);
        };
        server_ = std::make_unique<Vornctl::Serve::HttpServer>(server);
        port_ = server_->port();
        link_ = server_->origin() + "/?token=" + token;
        api_ =
            std::make_unique<Vornctl::Serve::ServeApi>(*controller_, adapter, journalPath_, link_);
        api_->showAccess(*access_);
        thread_ = std::thread([this] { server_->run(*api_); });
        ASSERT_TRUE(waitUntil([&] { return controller_->hub().devices(true).size() == 3; }, 10s));
    }

    void TearDown() override {
        if (server_)
            server_->stop();
        if (thread_.joinable())
            thread_.join();
        server_.reset();
        api_.reset();
        controller_.reset();
        session_.reset();
        simulator_.reset();
    }

    std::vector<std::string> auth(std::vector<std::string> more = {}) {
        more.push_back("Authorization: Bearer " + token);
        return more;
    }
    Response call(const std::string& method, const std::string& target,
                  const std::string& body = {}, std::vector<std::string> headers = {}) {
        auto response = exchange(port_, method, target, auth(std::move(headers)), body);
        EXPECT_TRUE(response) << method << " " << target << ": no answer";
        return response.value_or(Response{});
    }
    std::uint64_t requests(std::uint64_t id, std::uint16_t command) {
        const auto report = simulator_->device(id);
        const auto found = report->requestCounts.find(command);
        return found == report->requestCounts.end() ? 0 : found->second;
    }
    bool named(std::uint64_t id) {
        const auto device = controller_->hub().device(id);
        return device && device->name;
    }

    std::vector<std::string> logged() {
        const std::lock_guard lock(logMutex_);
        return log_;
    }

    const std::string token = std::string(40, 'k');
    std::shared_ptr<Vornctl::Serve::AccessControl> access_ =
        std::make_shared<Vornctl::Serve::AccessControl>(token);
    std::mutex logMutex_;
    std::vector<std::string> log_; // guarded by logMutex_: what serve logged
    bool startedWithAll_ = true;   // vornctl --all serve
    Vornctl::Options options_;
    std::istringstream in_;
    std::ostringstream out_;
    std::ostringstream err_;
    Vornctl::Console console_{in_, out_, err_, false};
    // The programs' writes are recorded here, never in the user's journal.
    TestSupport::TemporaryFolder folder_;
    std::filesystem::path journalPath_ = folder_.path() / "journal.jsonl";
    std::optional<Journal::SerialJournal> journal_;
    std::unique_ptr<VornSim::DeviceSimulator> simulator_;
    std::unique_ptr<DeviceSession> session_;
    std::unique_ptr<Vornctl::Serve::ServeController> controller_;
    std::unique_ptr<Vornctl::Serve::ServeApi> api_;
    std::unique_ptr<Vornctl::Serve::HttpServer> server_;
    unsigned short port_ = 0;
    std::string link_; // what serve prints
    std::thread thread_;
};

TEST_F(ServeOnSimulator, DeviceListAsJsonAndCsv) {
    ASSERT_TRUE(waitUntil([&] { return named(stage) && named(monitor) && named(amp); }, 10s));
    const Response list = call("GET", "/api/devices");
    ASSERT_EQ(list.status, 200) << list.body;
    EXPECT_EQ(list.header("content-type"), "application/json");
    const json body = json::parse(list.body);
    EXPECT_EQ(body["interface"]["address"], options_.interfaceAddress);
    EXPECT_EQ(body["interface"]["description"], "test interface");
    ASSERT_EQ(body["devices"].size(), 2u) << list.body;
    const json& first = body["devices"][0];
    EXPECT_EQ(first["id"], stageId);
    EXPECT_EQ(first["name"], stageName); // as text: the page puts it into textContent
    EXPECT_EQ(first["product"], "Ondal 4");
    EXPECT_EQ(first["type"], 12);
    EXPECT_EQ(first["mode"], 0);
    EXPECT_EQ(body["devices"][1]["id"], monitorId);

    const Response adapter = call("GET", "/api/interface");
    ASSERT_EQ(adapter.status, 200) << adapter.body;
    json interface = json::parse(adapter.body);
    EXPECT_EQ(interface["dropped"], body["dropped"]); // the page shows it from here
    interface.erase("dropped");
    EXPECT_EQ(interface, body["interface"]);
    // Plain HTTP: neither a certificate nor an authority.
    const Response certificate = call("GET", "/api/certificate");
    ASSERT_EQ(certificate.status, 200) << certificate.body;
    EXPECT_EQ(json::parse(certificate.body),
              json({{"certificate", nullptr}, {"authority", nullptr}}));

    const json all = json::parse(call("GET", "/api/devices?all=1").body);
    ASSERT_EQ(all["devices"].size(), 3u);
    EXPECT_EQ(all["devices"][2]["id"], ampId);

    const Response csv = call("GET", "/api/devices.csv");
    ASSERT_EQ(csv.status, 200);
    EXPECT_EQ(csv.header("content-type"), "text/csv; charset=utf-8");
    std::istringstream lines(csv.body);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "id,name,product,type,address,mode");
    std::getline(lines, line);
    EXPECT_EQ(line, stageId + ",\"<img src=x onerror=alert(1)> \"\"Stage\"\"\",Ondal 4,12," +
                        body["devices"][0]["address"].get<std::string>() + ",0");
}

TEST_F(ServeOnSimulator, SerialNumberReadAndItsRefusals) {
    Response read = call("GET", "/api/devices/" + stageId + "/serial");
    ASSERT_EQ(read.status, 200) << read.body;
    EXPECT_EQ(json::parse(read.body), json({{"id", stageId}, {"serial", 100001}}));

    read = call("GET", "/api/devices/00000100:00000009/serial");
    EXPECT_EQ(read.status, 404);
    EXPECT_NE(json::parse(read.body)["error"].get<std::string>().find("not on the network"),
              std::string::npos);
    EXPECT_EQ(call("GET", "/api/devices/00000100:0000001/serial").status, 400);
    EXPECT_EQ(call("GET", "/api/devices/" + ampId + "/serial").status, 404);
    read = call("GET", "/api/devices/" + ampId + "/serial?all=1");
    EXPECT_EQ(read.status, 200);
    EXPECT_EQ(json::parse(read.body)["serial"], 55);
}

TEST_F(ServeOnSimulator, SerialNumberWriteIsVerifiedOrRefusedAndBadBodiesSendNothing) {
    const std::string target = "/api/devices/" + stageId + "/serial";
    Response write = call("PUT", target, R"({"serial": 20261207, "repeat": 20261207})");
    ASSERT_EQ(write.status, 200) << write.body;
    const json report = json::parse(write.body);
    EXPECT_EQ(report["id"], stageId);
    EXPECT_EQ(report["old"], 100001);
    EXPECT_EQ(report["new"], 20261207);
    EXPECT_EQ(report["result"], "verified");
    EXPECT_EQ(simulator_->device(stage)->setup.serial, 20261207u);

    const auto writesBefore = requests(stage, setBoardIdCode);
    for (const char* body :
         {R"({"serial": 1, "repeat": 2})", R"({"serial": 4294967296, "repeat": 4294967296})",
          R"({"serial": -5, "repeat": -5})", R"({"serial": 1)", "serial=1"}) {
        write = call("PUT", target, body);
        EXPECT_EQ(write.status, 400) << body;
        EXPECT_TRUE(json::parse(write.body).contains("error")) << write.body;
        EXPECT_EQ(json::parse(write.body)["result"], "invalid") << write.body;
    }
    // Every answer to a write names its outcome, also when nothing was sent.
    write = call("PUT", "/api/devices/00000100:00000009/serial", R"({"serial": 1, "repeat": 1})");
    EXPECT_EQ(write.status, 404);
    EXPECT_EQ(json::parse(write.body)["result"], "not-found") << write.body;
    EXPECT_EQ(requests(stage, setBoardIdCode), writesBefore);
    EXPECT_EQ(simulator_->device(stage)->setup.serial, 20261207u);

    VornSim::Faults refuse;
    refuse.refuseWrites = true;
    simulator_->setDeviceFaults(monitor, refuse);
    write = call("PUT", "/api/devices/" + monitorId + "/serial", R"({"serial": 7, "repeat": 7})");
    EXPECT_EQ(write.status, 409) << write.body;
    EXPECT_EQ(json::parse(write.body)["result"], "refused");
    EXPECT_EQ(simulator_->device(monitor)->setup.serial, 100002u);
}

// The journal's lines, parsed.
std::vector<json> journalLines(const std::filesystem::path& path) {
    std::vector<json> lines;
    std::istringstream text(Journal::JournalFile::read(path));
    for (std::string line; std::getline(text, line);)
        lines.push_back(json::parse(line));
    return lines;
}

TEST_F(ServeOnSimulator, SerialWritesAreJournalledIntentBeforeOutcome) {
    const Response write = call("PUT", "/api/devices/" + stageId + "/serial",
                                R"({"serial": 20261208, "repeat": 20261208})");
    ASSERT_EQ(write.status, 200) << write.body;
    EXPECT_EQ(json::parse(write.body)["result"], "verified");
    EXPECT_FALSE(json::parse(write.body).contains("warnings")) << write.body;

    const auto lines = journalLines(journalPath_);
    ASSERT_EQ(lines.size(), 2u);
    const json& intent = lines[0];
    const json& outcome = lines[1];
    EXPECT_EQ(intent["event"], "intent");
    EXPECT_EQ(intent["id"], stageId);
    EXPECT_EQ(intent["name"], stageName);
    EXPECT_EQ(intent["old"], 100001);
    EXPECT_EQ(intent["new"], 20261208);
    EXPECT_EQ(intent["operator"], "owner"); // the holder of serve's own token
    EXPECT_EQ(intent["client"], "127.0.0.1");
    EXPECT_EQ(outcome["event"], "outcome");
    EXPECT_EQ(outcome["entry"], intent["entry"]);
    EXPECT_EQ(outcome["result"], "verified");
    EXPECT_EQ(outcome["acknowledged"], true);
    EXPECT_EQ(outcome["readBack"], 20261208);
}

TEST_F(ServeOnSimulator, TheJournalOfADeviceNewestFirstReadAfreshEachTime) {
    const std::string target = "/api/devices/" + stageId + "/journal";
    Response history = call("GET", target);
    ASSERT_EQ(history.status, 200) << history.body;
    EXPECT_EQ(history.header("content-type"), "application/json");
    EXPECT_EQ(json::parse(history.body), json::array());

    ASSERT_EQ(call("PUT", "/api/devices/" + stageId + "/serial", R"({"serial": 11, "repeat": 11})")
                  .status,
              200);
    ASSERT_EQ(
        call("PUT", "/api/devices/" + monitorId + "/serial", R"({"serial": 12, "repeat": 12})")
            .status,
        200);
    // Another program's write, straight into the file, its outcome torn off.
    {
        Journal::SerialJournal other(
            journalPath_, Journal::Writer{"other", "bench-pc", "vornctl 0.9", "10.0.0.1"});
        Journal::DeviceFacts device;
        device.id = stageId;
        device.name = stageName;
        other.recordIntent(device, 11, 13);
        std::ofstream(journalPath_, std::ios::app | std::ios::binary) << R"({"event":"outc)";
    }
    history = call("GET", target);
    ASSERT_EQ(history.status, 200) << history.body;
    const json entries = json::parse(history.body);
    ASSERT_EQ(entries.size(), 2u) << history.body;
    EXPECT_EQ(entries[0]["new"], 13);
    EXPECT_EQ(entries[0]["old"], 11);
    EXPECT_EQ(entries[0]["result"], "interrupted");
    EXPECT_EQ(entries[0]["host"], "bench-pc");
    EXPECT_EQ(entries[0]["name"], stageName);
    EXPECT_EQ(entries[1]["old"], 100001);
    EXPECT_EQ(entries[1]["new"], 11);
    EXPECT_EQ(entries[1]["result"], "verified");
    EXPECT_EQ(entries[1]["operator"], "owner");
    EXPECT_EQ(entries[1]["id"], stageId);

    EXPECT_EQ(call("GET", "/api/devices/00000100:00000009/journal").status, 404);
    EXPECT_EQ(call("GET", "/api/devices/00000100:0000009/journal").status, 400);
    EXPECT_EQ(call("GET", "/api/devices/" + ampId + "/journal").status, 404);
    EXPECT_EQ(call("GET", "/api/devices/" + ampId + "/journal?all=1").status, 200);
    const auto anonymous = exchange(port_, "GET", target, {}, {});
    ASSERT_TRUE(anonymous);
    EXPECT_EQ(anonymous->status, 401);
}

TEST_F(ServeOnSimulator, WritesFollowTheJournalMovedAwayOrDeleted) {
    const auto write = [&](std::uint32_t serial) {
        const std::string number = std::to_string(serial);
        return call("PUT", "/api/devices/" + stageId + "/serial",
                    R"({"serial": )" + number + R"(, "repeat": )" + number + "}")
            .status;
    };
    auto rotated = journalPath_;
    rotated += ".1";
    ASSERT_EQ(write(20261211), 200);
    std::filesystem::rename(journalPath_, rotated); // a rotation
    ASSERT_EQ(write(20261212), 200);
    ASSERT_EQ(write(20261213), 200);
    // Every record is in the rotated file or the new one, none lost, each once.
    std::vector<std::uint64_t> numbers;
    for (const auto& file : Journal::JournalFile::withRotated(journalPath_))
        for (const json& line : journalLines(file))
            if (line["event"] == "intent")
                numbers.push_back(line["new"]);
    EXPECT_EQ(numbers, (std::vector<std::uint64_t>{20261211, 20261212, 20261213}));
    EXPECT_EQ(journalLines(rotated).size(), 2u);

#ifndef _WIN32 // under Wine the name of an open file stays until it is closed
    std::filesystem::remove(journalPath_); // deleted by hand: the next write makes it again
    ASSERT_EQ(write(20261214), 200);
    const auto lines = journalLines(journalPath_);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["new"], 20261214);
    EXPECT_EQ(lines[1]["result"], "verified");
#endif
}

TEST_F(ServeOnSimulator, ANumberAnotherDeviceHoldsIsRefusedUnlessAllowed) {
    const std::string target = "/api/devices/" + stageId + "/serial";
    Response write = call("PUT", target, R"({"serial": 100002, "repeat": 100002})");
    ASSERT_EQ(write.status, 409) << write.body;
    const std::string error = json::parse(write.body)["error"];
    EXPECT_NE(error.find(monitorId), std::string::npos) << error;
    EXPECT_NE(error.find("(Monitor)"), std::string::npos) << error;
    EXPECT_NE(error.find("allowDuplicate"), std::string::npos) << error;
    const json holder = json::parse(write.body)["holder"];
    EXPECT_EQ(holder["id"], monitorId);
    EXPECT_EQ(holder["name"], "Monitor");
    EXPECT_EQ(requests(stage, setBoardIdCode), 0u);
    EXPECT_EQ(simulator_->device(stage)->setup.serial, 100001u);
    EXPECT_TRUE(journalLines(journalPath_).empty());

    EXPECT_EQ(call("PUT", target, R"({"serial": 5, "repeat": 5, "allowDuplicate": 1})").status,
              400);
    EXPECT_EQ(requests(stage, setBoardIdCode), 0u);

    // A device that does not answer is named, not waited for.
    VornSim::Faults silent;
    silent.silent = true;
    simulator_->setDeviceFaults(amp, silent);
    write = call("PUT", target, R"({"serial": 100002, "repeat": 100002, "allowDuplicate": true})");
    ASSERT_EQ(write.status, 200) << write.body;
    EXPECT_EQ(json::parse(write.body)["result"], "verified");
    EXPECT_FALSE(json::parse(write.body).contains("warnings")) << write.body;
    EXPECT_EQ(simulator_->device(stage)->setup.serial, 100002u);
    EXPECT_EQ(journalLines(journalPath_).size(), 2u);

    write = call("PUT", target, R"({"serial": 7, "repeat": 7})");
    ASSERT_EQ(write.status, 200) << write.body;
    const json answer = json::parse(write.body);
    ASSERT_EQ(answer["warnings"].size(), 1u) << write.body;
    EXPECT_NE(answer["warnings"][0].get<std::string>().find(ampId), std::string::npos);
    EXPECT_EQ(simulator_->device(stage)->setup.serial, 7u);
}

// A sample's value in a scrape, or -1 when the scrape has no such line.
double sampleOf(const std::string& scrape, const std::string& name) {
    std::istringstream lines(scrape);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(name + " ", 0) == 0)
            return std::stod(line.substr(name.size() + 1));
    return -1;
}

#ifndef _WIN32
// What promtool says of a scrape: its output, and "passed" or "failed".
std::string promtoolCheck(const std::string& scrape, const std::filesystem::path& folder) {
    const auto file = folder / "scrape.txt";
    std::ofstream(file, std::ios::binary) << scrape;
    const std::string command = "promtool check metrics < '" + file.string() + "' 2>&1";
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe)
        return "promtool could not be run";
    char buffer[512];
    while (std::fgets(buffer, sizeof buffer, pipe))
        output += buffer;
    return output + (pclose(pipe) == 0 ? "passed" : "failed");
}
#endif

TEST_F(ServeOnSimulator, MetricsCountDevicesWritesAndRequestsWithTheToken) {
    ASSERT_TRUE(waitUntil([&] { return named(stage) && named(monitor) && named(amp); }, 10s));
    ASSERT_EQ(call("PUT", "/api/devices/" + stageId + "/serial",
                   R"({"serial": 20261210, "repeat": 20261210})")
                  .status,
              200);
    VornSim::Faults refuse;
    refuse.refuseWrites = true;
    simulator_->setDeviceFaults(monitor, refuse);
    ASSERT_EQ(call("PUT", "/api/devices/" + monitorId + "/serial", R"({"serial": 7, "repeat": 7})")
                  .status,
              409);

    const Response scrape = call("GET", "/metrics");
    ASSERT_EQ(scrape.status, 200) << scrape.body;
    EXPECT_EQ(scrape.header("content-type"), "text/plain; version=0.0.4; charset=utf-8");
    const std::string& text = scrape.body;
    EXPECT_EQ(sampleOf(text, R"(vornctl_devices{product="Ondal 4",type="12"})"), 1) << text;
    EXPECT_EQ(sampleOf(text, R"(vornctl_devices{product="Ondal 2",type="10"})"), 1) << text;
    EXPECT_EQ(sampleOf(text, R"(vornctl_devices{product="Corvet",type="7"})"), 1) << text;
    EXPECT_EQ(sampleOf(text, "vornctl_devices_name_unread"), 0);
    EXPECT_EQ(sampleOf(text, R"(vornctl_serial_writes_total{result="verified"})"), 1);
    EXPECT_EQ(sampleOf(text, R"(vornctl_serial_writes_total{result="refused"})"), 1);
    EXPECT_EQ(sampleOf(text, R"(vornctl_serial_writes_total{result="mismatch"})"), 0);
    EXPECT_EQ(sampleOf(text, "vornctl_journal_append_failures_total"), 0);
    EXPECT_EQ(sampleOf(text, "vornctl_live_clients"), 0);
    // Three names, two duplicate checks, two reads, writes and read-backs at least.
    EXPECT_GE(sampleOf(text, R"(vornctl_requests_total{result="answered"})"), 9) << text;
    EXPECT_EQ(sampleOf(text, R"(vornctl_requests_total{result="timed_out"})"), 0);
    EXPECT_GE(sampleOf(text, "vornctl_retransmissions_total"), 0);
    const double started = sampleOf(text, "vornctl_engine_start_time_seconds");
    const double now =
        std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
    EXPECT_GT(started, now - 120);
    EXPECT_LE(started, now);
#ifndef _WIN32
    const std::string check = promtoolCheck(text, folder_.path());
    EXPECT_EQ(check.substr(check.size() - 6), "passed") << check;
#endif

    // As the API: the token, by header or cookie, and nothing else.
    const auto bare = exchange(port_, "GET", "/metrics", {}, {});
    ASSERT_TRUE(bare);
    EXPECT_EQ(bare->status, 401);
    EXPECT_EQ(bare->body.find("vornctl_"), std::string::npos);
    EXPECT_EQ(call("POST", "/metrics").status, 405);
}

#ifndef _WIN32
// Every write fails on /dev/full: nothing may be sent.
class ServeWithFullJournal : public ServeOnSimulator {
protected:
    ServeWithFullJournal() { journalPath_ = "/dev/full"; }
};

TEST_F(ServeWithFullJournal, AnUnwritableJournalSendsNothing) {
    const Response write = call("PUT", "/api/devices/" + stageId + "/serial",
                                R"({"serial": 20261209, "repeat": 20261209})");
    ASSERT_EQ(write.status, 500) << write.body;
    const std::string error = json::parse(write.body)["error"];
    EXPECT_NE(error.find("/dev/full"), std::string::npos) << error;
    EXPECT_EQ(requests(stage, setBoardIdCode), 0u);
    EXPECT_EQ(simulator_->device(stage)->setup.serial, 100001u);
    const std::string scrape = call("GET", "/metrics").body;
    EXPECT_EQ(sampleOf(scrape, "vornctl_journal_append_failures_total"), 1) << scrape;
    EXPECT_EQ(sampleOf(scrape, R"(vornctl_serial_writes_total{result="verified"})"), 0);
}
#endif

#ifndef _WIN32
TEST_F(ServeWithFullJournal, AProgramRunThatFailsIsAnsweredWithTheRowsDone) {
    const std::vector<std::string> csv{"Content-Type: text/csv"};
    const Response run =
        call("POST", "/api/program", stageId + ",5001\n" + monitorId + ",5002\n", csv);
    ASSERT_EQ(run.status, 500) << run.body;
    const json answer = json::parse(run.body);
    EXPECT_NE(answer["error"].get<std::string>().find("/dev/full"), std::string::npos) << run.body;
    ASSERT_EQ(answer["rows"].size(), 1u) << "the run stops at the first row";
    EXPECT_EQ(answer["rows"][0]["id"], stageId);
    EXPECT_EQ(answer["rows"][0]["detail"], "not written: the journal failed");
    EXPECT_EQ(requests(stage, setBoardIdCode), 0u);
    EXPECT_EQ(requests(monitor, setBoardIdCode), 0u);
}
#endif

// A PUT and a program run asked at once take turns in the one queue: each
// write's outcome follows its own intent in the journal, nothing between.
TEST_F(ServeOnSimulator, SerialWritesAndProgramRunsNeverInterleave) {
    VornSim::Faults slow;
    slow.delayMs = 60;
    simulator_->setDeviceFaults(stage, slow);
    simulator_->setDeviceFaults(monitor, slow);
    const std::vector<std::string> csv{"Content-Type: text/csv"};
    std::thread program([&] {
        const Response run =
            call("POST", "/api/program", monitorId + ",6001\n" + stageId + ",6002\n", csv);
        EXPECT_EQ(run.status, 200) << run.body;
    });
    const Response write = call("PUT", "/api/devices/" + stageId + "/serial",
                                R"({"serial": 6003, "repeat": 6003, "allowDuplicate": true})");
    program.join();
    EXPECT_EQ(write.status, 200) << write.body;

    const auto lines = journalLines(journalPath_);
    ASSERT_EQ(lines.size(), 6u);
    bool putRecorded = false;
    for (std::size_t i = 0; i < lines.size(); i += 2) {
        EXPECT_EQ(lines[i]["event"], "intent");
        EXPECT_EQ(lines[i + 1]["event"], "outcome");
        EXPECT_EQ(lines[i + 1]["entry"], lines[i]["entry"]) << "another write came between";
        EXPECT_EQ(lines[i]["client"], "127.0.0.1") << "the address that asked";
        putRecorded = putRecorded || lines[i]["new"] == 6003;
    }
    EXPECT_TRUE(putRecorded);
}

TEST_F(ServeOnSimulator, ADeviceThatDoesNotAnswerGives504) {
    VornSim::Faults silent;
    silent.silent = true;
    simulator_->setDeviceFaults(monitor, silent);
    // The engine's six attempts take about 8 s.
    const Response read = call("GET", "/api/devices/" + monitorId + "/serial");
    EXPECT_EQ(read.status, 504) << read.body;
    EXPECT_EQ(json::parse(read.body)["error"], "the device did not answer");
}

TEST_F(ServeOnSimulator, SelectionMarkSetAndCleared) {
    const std::string target = "/api/devices/" + stageId + "/select";
    Response answer = call("POST", target);
    EXPECT_EQ(answer.status, 204);
    EXPECT_TRUE(answer.body.empty());
    ASSERT_TRUE(waitUntil([&] { return simulator_->device(stage)->selectMark == 0xFFFF; }));
    answer = call("DELETE", target);
    EXPECT_EQ(answer.status, 204);
    ASSERT_TRUE(waitUntil([&] { return simulator_->device(stage)->selectMark == 0; }));
    EXPECT_EQ(call("POST", "/api/devices/00000100:00000009/select").status, 404);
    EXPECT_EQ(call("GET", target).status, 405);
}

TEST_F(ServeOnSimulator, ProgramFromCsvWithDryRunAndBadLines) {
    const std::vector<std::string> csv{"Content-Type: text/csv"};
    const std::string plan = "ID,SERIAL\n" + stageId + ",100001\n" + monitorId + ",5005\n";
    Response run = call("POST", "/api/program?dry_run=1", plan, csv);
    ASSERT_EQ(run.status, 200) << run.body;
    json rows = json::parse(run.body);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0]["result"], "already-set");
    EXPECT_EQ(rows[1]["result"], "would-write");
    EXPECT_EQ(rows[1]["line"], 3);
    EXPECT_EQ(simulator_->device(monitor)->setup.serial, 100002u);

    run = call("POST", "/api/program", plan, csv);
    ASSERT_EQ(run.status, 200) << run.body;
    rows = json::parse(run.body);
    EXPECT_EQ(rows[1]["result"], "verified");
    EXPECT_EQ(rows[1]["readBack"], 5005);
    EXPECT_EQ(simulator_->device(monitor)->setup.serial, 5005u);

    run = call("POST", "/api/program", stageId + ",1\nnot-an-id,2\n", csv);
    EXPECT_EQ(run.status, 400);
    EXPECT_NE(json::parse(run.body)["error"].get<std::string>().find("line 2"), std::string::npos)
        << run.body;
    EXPECT_EQ(call("POST", "/api/program", plan, {"Content-Type: application/json"}).status, 415);
}

TEST_F(ServeOnSimulator, LivePushStartsWithThePresentDevicesAndFollowsThem) {
    ASSERT_TRUE(waitUntil([&] { return named(stage) && named(monitor); }, 10s));
    EventClient events;
    ASSERT_EQ(events.connect(port_, "/api/events", auth()), 101);
    std::vector<json> seen;
    auto until = [&](const std::string& kind, const std::string& id,
                     std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            const auto line = events.next(timeout);
            if (!line)
                return json();
            seen.push_back(json::parse(*line));
            if (seen.back()["event"] == kind && seen.back()["id"] == id)
                return seen.back();
        }
        return json();
    };
    const json added = until("added", stageId, 5s);
    ASSERT_FALSE(added.is_null());
    EXPECT_EQ(added["product"], "Ondal 4");
    EXPECT_EQ(added["type"], 12);
    EXPECT_TRUE(added.contains("time"));
    EXPECT_EQ(until("named", stageId, 5s)["name"], stageName);
    for (const json& event : seen)
        EXPECT_NE(event["id"], ampId) << "another product without ?all=1";

    simulator_->setChangeMarks(monitor, 3, 4);
    EXPECT_FALSE(until("changed", monitorId, 10s).is_null());

    // A device leaves (its removal comes 10 to 11 s after its last presence) and comes back.
    simulator_->updateDeviceFaults(monitor, [](VornSim::Faults& faults) { faults.gone = true; });
    EXPECT_FALSE(until("removed", monitorId, 20s).is_null());
    simulator_->updateDeviceFaults(monitor, [](VornSim::Faults& faults) { faults.gone = false; });
    EXPECT_FALSE(until("added", monitorId, 10s).is_null());
    EXPECT_EQ(until("named", monitorId, 10s)["name"], "Monitor");

    EventClient everything;
    ASSERT_EQ(everything.connect(port_, "/api/events?all=1", auth()), 101);
    bool ampSeen = false;
    while (const auto line = everything.next(2s))
        if (json::parse(*line)["id"] == ampId)
            ampSeen = true;
    EXPECT_TRUE(ampSeen);
}

// ?all=1 asks for the other products, whatever serve was started with: they
// are kept, named and pushed all the same.
class ServeStartedWithoutAll : public ServeOnSimulator {
protected:
    ServeStartedWithoutAll() { startedWithAll_ = false; }
};

TEST_F(ServeStartedWithoutAll, AllInTheQueryShowsTheOtherProducts) {
    ASSERT_TRUE(waitUntil([&] { return named(amp); }, 10s));
    EXPECT_EQ(json::parse(call("GET", "/api/devices").body)["devices"].size(), 2u);
    const json all = json::parse(call("GET", "/api/devices?all=1").body);
    ASSERT_EQ(all["devices"].size(), 3u);
    EXPECT_EQ(all["devices"][2]["id"], ampId);
    EXPECT_EQ(all["devices"][2]["name"], "Amp rack");
    EXPECT_NE(call("GET", "/api/devices.csv?all=1").body.find(ampId), std::string::npos);
    EXPECT_EQ(call("GET", "/api/devices/" + ampId + "/serial").status, 404);
    const Response read = call("GET", "/api/devices/" + ampId + "/serial?all=1");
    ASSERT_EQ(read.status, 200) << read.body;
    EXPECT_EQ(json::parse(read.body)["serial"], 55);

    EventClient everything;
    ASSERT_EQ(everything.connect(port_, "/api/events?all=1", auth()), 101);
    bool ampNamed = false;
    while (!ampNamed) {
        const auto line = everything.next(5s);
        ASSERT_TRUE(line) << "no named event of the other product";
        const json event = json::parse(*line);
        ampNamed = event["id"] == ampId && event["event"] == "named";
    }
}

TEST_F(ServeOnSimulator, GuardsRefuseOverTheWire) {
    const std::string api = "/api/devices";
    // Wrong Host (DNS rebinding): 403, also with the token.
    Connection rebinding(port_);
    rebinding.send("GET /api/devices HTTP/1.1\r\nHost: evil.example:" + std::to_string(port_) +
                   "\r\nAuthorization: Bearer " + token + "\r\n\r\n");
    auto answer = rebinding.read();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 403);

    // No token, or one in an API query: 401 with a JSON error; the page: a short text.
    answer = exchange(port_, "GET", api);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 401);
    EXPECT_TRUE(json::parse(answer->body).contains("error"));
    answer = exchange(port_, "GET", api + "?token=" + token);
    EXPECT_EQ(answer->status, 401);
    answer = exchange(port_, "GET", "/");
    EXPECT_EQ(answer->status, 401);
    EXPECT_NE(answer->body.find("Open the link that vornctl serve printed"), std::string::npos);
    EXPECT_EQ(answer->header("content-type"), "text/plain; charset=utf-8");

    // The link: the cookie is set and the token leaves the address bar.
    answer = exchange(port_, "GET", "/?token=" + token);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 303);
    EXPECT_EQ(answer->header("location"), "/");
    const std::string cookieName = "vorn_token_" + std::to_string(port_);
    EXPECT_EQ(answer->header("set-cookie"),
              cookieName + "=" + token + "; Path=/; HttpOnly; SameSite=Strict");
    EXPECT_EQ(exchange(port_, "GET", "/?token=" + std::string(40, 'x'))->status, 401);
    const std::string cookie = "Cookie: " + cookieName + "=" + token;
    answer = exchange(port_, "GET", "/", {cookie});
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    EXPECT_EQ(answer->header("content-type"), "text/html; charset=utf-8");
    EXPECT_EQ(answer->header("x-content-type-options"), "nosniff");
    const std::string policy = answer->header("content-security-policy");
    EXPECT_NE(policy.find("script-src 'self'"), std::string::npos) << policy;
    EXPECT_EQ(policy.find("unsafe-inline"), std::string::npos) << policy;
    EXPECT_EQ(answer->header("vary"), "Accept-Encoding");
    EXPECT_EQ(answer->header("content-encoding"), "");
    EXPECT_EQ(answer->body, Vornctl::Serve::findPageAsset("index.html")->body);
    // Compressed for a client that takes it.
    for (const char* name : {"app.js", "style.css", "icon.svg"}) {
        const auto* asset = Vornctl::Serve::findPageAsset(name);
        answer = exchange(port_, "GET", std::string("/") + name,
                          {cookie, "Accept-Encoding: gzip, deflate, br"});
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->status, 200) << name;
        EXPECT_EQ(answer->header("content-encoding"), "gzip") << name;
        EXPECT_EQ(answer->header("vary"), "Accept-Encoding") << name;
        EXPECT_EQ(answer->header("content-type"), asset->contentType) << name;
        EXPECT_EQ(answer->body, asset->gzipBody) << name;
    }
    answer = exchange(port_, "GET", "/app.js", {cookie, "Accept-Encoding: gzip;q=0"});
    EXPECT_EQ(answer->header("content-encoding"), "");
    EXPECT_EQ(answer->body, Vornctl::Serve::findPageAsset("app.js")->body);
    EXPECT_EQ(exchange(port_, "GET", api, {cookie})->status, 200);
    for (const std::string host : {"localhost", "127.0.0.1", "rack-pc:1"}) {
        Connection other(port_);
        other.send("GET /api/devices HTTP/1.1\r\nHost: " + host + "\r\n" + cookie + "\r\n\r\n");
        EXPECT_EQ(other.read().value_or(Response{}).status, 403) << host;
    }
    Connection twice(port_);
    twice.send(requestText(port_, "GET", "/api/devices", {cookie, "Host: rack-pc:1"}));
    EXPECT_EQ(twice.read().value_or(Response{}).status, 400);

    // Another origin cannot write, select or listen, and nothing reaches the device.
    const auto writes = requests(stage, setBoardIdCode);
    const std::string foreign = "Origin: http://evil.example";
    answer = exchange(port_, "PUT", "/api/devices/" + stageId + "/serial", auth({foreign}),
                      R"({"serial": 9, "repeat": 9})");
    EXPECT_EQ(answer->status, 403);
    EXPECT_EQ(
        exchange(port_, "POST", "/api/devices/" + stageId + "/select", auth({foreign}))->status,
        403);
    EXPECT_EQ(exchange(port_, "POST", "/api/program", auth({foreign, "Content-Type: text/csv"}),
                       stageId + ",9\n")
                  ->status,
              403);
    const std::vector<std::string> upgrade{"Upgrade: websocket", "Connection: Upgrade",
                                           "Sec-WebSocket-Version: 13",
                                           "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ=="};
    std::vector<std::string> foreignUpgrade = auth(upgrade);
    foreignUpgrade.push_back(foreign);
    EXPECT_EQ(exchange(port_, "GET", "/api/events", foreignUpgrade)->status, 403);
    Connection accepted(port_);
    accepted.send(requestText(port_, "GET", "/api/events", auth(upgrade)));
    EXPECT_EQ(accepted.read().value_or(Response{}).status, 101);
    EXPECT_EQ(requests(stage, setBoardIdCode), writes);
    EXPECT_EQ(simulator_->device(stage)->setup.serial, 100001u);
    EXPECT_FALSE(simulator_->device(stage)->selectMark);
    // The server's own origin may.
    answer = exchange(port_, "POST", "/api/devices/" + stageId + "/select",
                      auth({"Origin: http://127.0.0.1:" + std::to_string(port_)}));
    EXPECT_EQ(answer->status, 204);
    EXPECT_TRUE(answer->header("access-control-allow-origin").empty());
}

// Each request on a kept-alive connection is judged on its own: a second one
// with another Host is refused although the first passed.
TEST_F(ServeOnSimulator, AKeptAliveConnectionIsCheckedRequestByRequest) {
    const std::string cookie = "Cookie: vorn_token_" + std::to_string(port_) + "=" + token;
    const std::string port = std::to_string(port_);
    Connection kept(port_);
    ASSERT_TRUE(kept.send("GET /api/devices HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n" + cookie +
                          "\r\n\r\n"));
    EXPECT_EQ(kept.read().value_or(Response{}).status, 200);
    ASSERT_TRUE(kept.send("GET /api/devices HTTP/1.1\r\nHost: evil.example:" + port + "\r\n" +
                          cookie + "\r\n\r\n"));
    EXPECT_EQ(kept.read().value_or(Response{}).status, 403);
    // Nor does a request without the token pass on it.
    Connection second(port_);
    ASSERT_TRUE(second.send("GET /api/devices HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n" +
                            cookie + "\r\n\r\n"));
    EXPECT_EQ(second.read().value_or(Response{}).status, 200);
    ASSERT_TRUE(second.send("GET /api/devices HTTP/1.1\r\nHost: 127.0.0.1:" + port + "\r\n\r\n"));
    EXPECT_EQ(second.read().value_or(Response{}).status, 401);
}

// HEAD gets the head a GET gets (its Content-Length too) and no body: the
// next answer on the same connection is read whole, from its first byte.
TEST_F(ServeOnSimulator, HeadIsAnsweredWithoutABodyOnAKeptAliveConnection) {
    const auto page = exchange(port_, "GET", "/", auth());
    ASSERT_TRUE(page);
    ASSERT_EQ(page->status, 200);
    ASSERT_FALSE(page->body.empty());
    Connection connection(port_);
    connection.send(requestText(port_, "HEAD", "/", auth()) +
                    requestText(port_, "HEAD", "/app.js", auth()) +
                    requestText(port_, "GET", "/api/devices", auth()));
    auto answer = connection.read(10s, true);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    EXPECT_EQ(answer->header("content-length"), std::to_string(page->body.size()));
    EXPECT_EQ(answer->header("content-type"), page->header("content-type"));
    EXPECT_EQ(answer->body, "");
    answer = connection.read(10s, true);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
    EXPECT_NE(answer->header("content-length"), "0");
    answer = connection.read();
    ASSERT_TRUE(answer) << "the answer after the HEADs is framed";
    EXPECT_EQ(answer->status, 200);
    EXPECT_EQ(json::parse(answer->body)["devices"].size(), 2u);
    // A refused HEAD: a head, no body either, and the connection is closed.
    Connection refused(port_);
    refused.send(requestText(port_, "HEAD", "/api/devices", auth()));
    answer = refused.read(10s, true);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 405);
    EXPECT_TRUE(refused.closedWithin(10s));
}

// A client that says its request is the last (Connection: close, or HTTP/1.0
// without keep-alive) gets its answer, so marked, and then the close: a
// client that reads to the end is not left waiting for the request time-out.
TEST_F(ServeOnSimulator, AClientsLastRequestIsAnsweredAndTheConnectionClosed) {
    const std::string port = std::to_string(port_);
    for (const std::string version : {"HTTP/1.1", "HTTP/1.0"}) {
        Connection connection(port_);
        ASSERT_TRUE(connection.send(
            "GET /api/devices " + version + "\r\nHost: 127.0.0.1:" + port + "\r\n" +
            (version == "HTTP/1.1" ? "Connection: close\r\n" : "") + auth().front() + "\r\n\r\n"));
        const auto answer = connection.read();
        ASSERT_TRUE(answer) << version;
        EXPECT_EQ(answer->status, 200) << version;
        EXPECT_EQ(json::parse(answer->body)["devices"].size(), 2u) << version;
        EXPECT_EQ(answer->header("connection"), "close") << version;
        // At once, not after the request time-out (2 s here).
        EXPECT_TRUE(connection.closedWithin(1500ms)) << version;
    }
    // Without it the connection stays for the next request.
    Connection kept(port_);
    ASSERT_TRUE(kept.send(requestText(port_, "GET", "/api/devices", auth())));
    ASSERT_TRUE(kept.read());
    EXPECT_FALSE(kept.closedWithin(300ms));
}

TEST_F(ServeOnSimulator, LimitsAndMalformedRequests) {
    // A head beyond 8 KiB: 431.
    Connection big(port_);
    big.send(
        requestText(port_, "GET", "/api/devices", auth({"X-Padding: " + std::string(9000, 'p')})));
    auto answer = big.read();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 431);

    // A body beyond 1 MiB: 413 as soon as its length is announced.
    Connection huge(port_);
    huge.send("POST /api/program HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port_) +
              "\r\nAuthorization: Bearer " + token +
              "\r\nContent-Type: text/csv\r\nContent-Length: 2000000\r\n\r\n");
    answer = huge.read();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 413);

    // Malformed requests: 400, and the server goes on.
    for (const char* garbage : {"GARBAGE\r\n\r\n", "GET / HTTP/9.9\r\n\r\n",
                                "GET /api/devices HTTP/1.1\r\nHost 127.0.0.1\r\n\r\n",
                                "PUT /api/x HTTP/1.1\r\nContent-Length: -4\r\n\r\n"}) {
        Connection bad(port_);
        bad.send(garbage);
        answer = bad.read();
        ASSERT_TRUE(answer) << garbage;
        EXPECT_EQ(answer->status, 400) << garbage;
    }

    // A client that sends its request head too slowly is closed (1 s in this
    // test, 5 s by default): before the token a connection has little time.
    Connection slow(port_);
    slow.send("GET /api/devices HTTP/1.1\r\nHost: 127.0.0.1");
    EXPECT_TRUE(slow.closedWithin(15s));
    ASSERT_TRUE(waitUntil([&] { return server_->connections() == 0; }, 10s));
    EXPECT_EQ(call("GET", "/api/devices").status, 200);
}

// A stranger on the segment, without the token, cannot keep a tablet out.
TEST_F(ServeOnSimulator, AStrangerCannotHoldTheConnections) {
    using Vornctl::Serve::ServerConfig;
    const ServerConfig defaults;
    // One address holds at most perAddressLimit connections that have not
    // shown the token; the next is answered 503 at once.
    std::vector<std::unique_ptr<Connection>> stranger;
    for (std::size_t i = 0; i < defaults.perAddressLimit; ++i)
        stranger.push_back(std::make_unique<Connection>(port_, "127.0.0.9"));
    ASSERT_TRUE(waitUntil([&] { return server_->connections() == defaults.perAddressLimit; }, 10s))
        << server_->connections();
    Connection refused(port_, "127.0.0.9");
    auto answer = refused.read();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 503);

    // The tablet on another address is served meanwhile, on a kept-alive
    // connection that goes on past the head deadline once it showed the token.
    Connection tablet(port_);
    ASSERT_TRUE(tablet.send(requestText(port_, "GET", "/api/devices", auth())));
    answer = tablet.read();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);

    // The stranger's idle connections end at the head deadline...
    for (auto& connection : stranger)
        EXPECT_TRUE(connection->closedWithin(15s));
    // ...the tablet's does not (it has the request timeout, 2 s here, and is
    // asked again before that).
    ASSERT_TRUE(tablet.send(requestText(port_, "GET", "/api/devices", auth())));
    answer = tablet.read();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 200);
}

TEST_F(ServeOnSimulator, NewcomersMakeTheOldestStrangerGo) {
    // A stranger with many addresses who keeps the room for connections
    // without the token full (a head deadline long enough that none ends by
    // itself here): each newcomer makes the oldest of them go, so a tablet's
    // new connection still gets in, and so does its live push.
    Vornctl::Serve::ServerConfig config;
    config.port = 0;
    config.token = token;
    config.headTimeout = 60s;
    const std::size_t room = config.maxConnections - config.reservedForToken;
    Vornctl::Serve::HttpServer patient(config);
    std::thread serving([&] { patient.run(*api_); });
    const unsigned short port = patient.port();
    std::vector<std::unique_ptr<Connection>> crowd;
    for (std::size_t i = 0; i < room; ++i)
        crowd.push_back(std::make_unique<Connection>(
            port, "127.0.1." + std::to_string(1 + i / config.perAddressLimit)));
    EXPECT_TRUE(waitUntil([&] { return patient.connections() == room; }, 10s))
        << patient.connections();

    EventClient push;
    EXPECT_EQ(push.connect(port, "/api/events", auth()), 101);
    EXPECT_TRUE(push.next());
    EXPECT_TRUE(crowd[0]->closedWithin(10s)); // the oldest made way
    Connection tablet(port);
    EXPECT_TRUE(tablet.send(requestText(port, "GET", "/api/devices", auth())));
    const auto answer = tablet.read();
    EXPECT_TRUE(answer && answer->status == 200);
    // The live push and the tablet have shown the token: they no longer count
    // against that room, and no more strangers went than made room for them.
    EXPECT_EQ(patient.connections(), room + 1);
    Connection another(port, "127.0.2.1");
    EXPECT_TRUE(waitUntil([&] { return patient.connections() == room + 2; }, 10s));
    EXPECT_FALSE(crowd[1]->closedWithin(100ms));
    Connection oneMore(port, "127.0.2.1");
    EXPECT_TRUE(crowd[1]->closedWithin(10s));
    patient.stop();
    serving.join();
}

} // namespace

std::string fileText(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Two people with links of their own beside serve's own token, from the access
// file as serve reads it, which a watch keeps up to date while serve runs.
class ServeWithPeople : public ServeOnSimulator {
protected:
    void SetUp() override {
        using namespace Vornctl::Serve;
        const auto now = std::chrono::system_clock::now();
        auto person = [&](std::string name, Role role, const std::string& itsToken) {
            return Person{std::move(name), role, now, std::nullopt, tokenSha256(itsToken)};
        };
        people_ = {person("kim", Role::Write, kimToken), person("max", Role::ReadOnly, maxToken),
                   person("ola", Role::Write, olaToken)};
        people_.back().expires = now - 1min; // a link given for a day, yesterday
        writeAccessFile(accessFile_, people_);
        std::string error;
        ASSERT_TRUE(AccessWatch::load(accessFile_, *access_, error)) << error;
        ServeOnSimulator::SetUp();
        watch_.emplace(
            accessFile_, *access_, 100ms,
            [this](const std::string& name, const std::string& why) {
                { // as serve does
                    const std::lock_guard lock(logMutex_);
                    log_.push_back("the access of " + name + " ended (" + why + ")");
                }
                server_->endAccess(name);
            },
            [](const std::string& problem) { ADD_FAILURE() << problem; });
    }
    void TearDown() override {
        watch_.reset();
        ServeOnSimulator::TearDown();
    }
    Response as(const std::string& whose, const std::string& method, const std::string& target,
                const std::string& body = {}) {
        auto response = exchange(port_, method, target, {"Authorization: Bearer " + whose}, body);
        EXPECT_TRUE(response) << method << " " << target << ": no answer";
        return response.value_or(Response{});
    }
    std::size_t loggedTimes(const std::string& text) {
        const auto lines = logged();
        return static_cast<std::size_t>(
            std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
                return line.find(text) != std::string::npos;
            }));
    }

    const std::string kimToken = std::string(40, 'a');
    const std::string maxToken = std::string(40, 'b');
    const std::string olaToken = std::string(40, 'c');
    std::filesystem::path accessFile_ = folder_.path() / "access.json";
    std::vector<Vornctl::Serve::Person> people_;
    std::optional<Vornctl::Serve::AccessWatch> watch_;
};

TEST_F(ServeWithPeople, TheReadOnlyOneLooksTheWriterWritesUnderTheirName) {
    const std::string serial = "/api/devices/" + stageId + "/serial";
    const std::string write = R"({"serial": 20261210, "repeat": 20261210})";
    EXPECT_EQ(json::parse(as(maxToken, "GET", "/api/session").body),
              json({{"name", "max"}, {"role", "read-only"}}));
    EXPECT_EQ(json::parse(as(kimToken, "GET", "/api/session").body),
              json({{"name", "kim"}, {"role", "write"}}));
    EXPECT_EQ(json::parse(call("GET", "/api/session").body),
              json({{"name", "owner"}, {"role", "write"}}));

    // Looking is allowed; writing and programming are refused naming the role, nothing sent.
    EXPECT_EQ(as(maxToken, "GET", serial).status, 200);
    const Response refused = as(maxToken, "PUT", serial, write);
    EXPECT_EQ(refused.status, 403);
    EXPECT_NE(refused.body.find("read-only"), std::string::npos) << refused.body;
    auto program =
        exchange(port_, "POST", "/api/program",
                 {"Authorization: Bearer " + maxToken, "Content-Type: text/csv"}, stageId + ",5\n");
    ASSERT_TRUE(program);
    EXPECT_EQ(program->status, 403);
    EXPECT_NE(program->body.find("read-only"), std::string::npos) << program->body;
    EXPECT_EQ(requests(stage, setBoardIdCode), 0u);
    EXPECT_FALSE(std::filesystem::exists(journalPath_) && !journalLines(journalPath_).empty());
    // serve's own link is its owner's: a person is not shown it.
    EXPECT_EQ(as(kimToken, "GET", "/api/link.svg").status, 403);
    EXPECT_EQ(call("GET", "/api/link.svg").status, 200);

    // The writer's write is journalled under their name, with their address.
    const Response written = as(kimToken, "PUT", serial, write);
    ASSERT_EQ(written.status, 200) << written.body;
    const auto lines = journalLines(journalPath_);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0]["operator"], "kim");
    EXPECT_EQ(lines[0]["client"], "127.0.0.1");
    const json history =
        json::parse(as(maxToken, "GET", "/api/devices/" + stageId + "/journal").body);
    ASSERT_EQ(history.size(), 1u);
    EXPECT_EQ(history[0]["operator"], "kim");
    EXPECT_EQ(history[0]["client"], "127.0.0.1");

    // A person's link hands the browser their own token, not serve's.
    const auto link = exchange(port_, "GET", "/?token=" + maxToken);
    ASSERT_TRUE(link);
    EXPECT_EQ(link->status, 303);
    EXPECT_NE(link->header("set-cookie").find("=" + maxToken + ";"), std::string::npos)
        << link->header("set-cookie");

    // An expired link is refused, saying so, and is no guess.
    const Response expired = as(olaToken, "GET", "/api/devices");
    EXPECT_EQ(expired.status, 401);
    EXPECT_NE(expired.body.find("expired"), std::string::npos) << expired.body;
    EXPECT_EQ(exchange(port_, "GET", "/?token=" + olaToken)->status, 401);
    EXPECT_EQ(access_->figures().wrongTokens, 0u);
}

TEST_F(ServeWithPeople, ARevokedPersonIsShutOutAtOnceAndNoTokenIsWrittenAnywhere) {
    ASSERT_EQ(as(kimToken, "PUT", "/api/devices/" + stageId + "/serial",
                 R"({"serial": 20261211, "repeat": 20261211})")
                  .status,
              200);
    EXPECT_EQ(as(std::string(40, 'z'), "GET", "/api/devices").status, 401); // logged
    EventClient events;
    ASSERT_EQ(events.connect(port_, "/api/events", {"Authorization: Bearer " + kimToken}), 101);
    ASSERT_TRUE(events.next());
    EventClient others; // max's page stays
    ASSERT_EQ(others.connect(port_, "/api/events", {"Authorization: Bearer " + maxToken}), 101);
    ASSERT_TRUE(others.next());
    // The last use reaches the disk beside the access file.
    ASSERT_TRUE(waitUntil(
        [&] {
            return Vornctl::Serve::readLastUses(accessFile_).count(people_[0].tokenSha256) == 1;
        },
        10s));

    // vornctl access revoke kim, as it writes the file.
    std::vector<Vornctl::Serve::Person> rest(people_.begin() + 1, people_.end());
    Vornctl::Serve::writeAccessFile(accessFile_, rest);
    const auto revoked = std::chrono::steady_clock::now();
    while (events.next(3s)) {
    }
    const auto closedAfter = std::chrono::steady_clock::now() - revoked;
    EXPECT_LT(closedAfter, 1s);
    EXPECT_EQ(as(kimToken, "GET", "/api/devices").status, 401);
    EXPECT_EQ(as(maxToken, "GET", "/api/devices").status, 200);
    simulator_->setChangeMarks(monitor, 5, 6); // an event for the page that stays
    EXPECT_TRUE(others.next(5s));
    std::this_thread::sleep_for(300ms); // three more looks at the file: still logged once
    EXPECT_EQ(loggedTimes("the access of kim ended (revoked)"), 1u);
    EXPECT_EQ(loggedTimes("a token nobody holds, from 127.0.0.1"), 2u); // the guess and kim's

    watch_.reset(); // the last uses written
    for (const std::filesystem::path& file :
         {accessFile_, Vornctl::Serve::lastUsePath(accessFile_), journalPath_}) {
        const std::string text = fileText(file);
        EXPECT_FALSE(text.empty()) << file;
        for (const std::string& secret : {kimToken, maxToken, olaToken, token})
            EXPECT_EQ(text.find(secret), std::string::npos) << file;
    }
    for (const std::string& line : logged())
        for (const std::string& secret :
             {kimToken, maxToken, olaToken, token, std::string(40, 'z')})
            EXPECT_EQ(line.find(secret), std::string::npos) << line;
}

TEST_F(ServeOnSimulator, GuessingFromOneAddressIsSlowedWhileAnotherAddressIsServed) {
    const std::string guess = requestText(port_, "GET", "/api/devices",
                                          {"Authorization: Bearer " + std::string(40, 'g')});
    auto timed = [&](Connection& connection) {
        const auto start = std::chrono::steady_clock::now();
        EXPECT_TRUE(connection.send(guess));
        const auto answer = connection.read(20s);
        EXPECT_TRUE(answer && answer->status == 401);
        return std::chrono::steady_clock::now() - start;
    };
    // Three wrong tokens cost nothing, then 0.25 s, 0.5 s ...
    for (int i = 0; i < 5; ++i) {
        Connection guesser(port_, "127.0.0.9");
        const auto took = timed(guesser);
        EXPECT_GE(took, i == 3 ? 250ms : i == 4 ? 500ms : 0ms) << i;
    }
    // ... 1 s for the sixth, while another address is answered at once.
    Connection guesser(port_, "127.0.0.9");
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(guesser.send(guess));
    EXPECT_EQ(call("GET", "/api/devices").status, 200);
    EXPECT_FALSE(guesser.read(1ms)) << "answered before the other address";
    const auto answer = guesser.read(20s);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 401);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1s);

    const std::string metrics = call("GET", "/metrics").body;
    EXPECT_NE(metrics.find("\nvornctl_wrong_tokens_total 6\n"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("\nvornctl_wrong_tokens_delayed_total 3\n"), std::string::npos);
    EXPECT_NE(metrics.find("\nvornctl_addresses_held_back 1\n"), std::string::npos);
}
