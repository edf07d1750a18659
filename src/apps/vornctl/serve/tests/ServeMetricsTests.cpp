// The text of GET /metrics for given figures, line by line.

#include "ServeMetrics.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using Vornctl::ProgramResult;
using Vornctl::Serve::formatMetrics;
using Vornctl::Serve::MetricsSnapshot;

FoundDevice device(unsigned type, std::optional<std::string> name) {
    FoundDevice row;
    row.deviceType = type;
    row.name = std::move(name);
    return row;
}

// The sample lines (not comments) of a scrape, in order.
std::vector<std::string> samples(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty() && line.front() != '#')
            lines.push_back(line);
    return lines;
}

TEST(ServeMetrics, EveryFigureInOneSampleLine) {
    MetricsSnapshot snapshot;
    snapshot.devices = {device(12, "Stage \"left\""), device(10, std::nullopt), device(12, "x"),
                        device(99, std::nullopt)};
    snapshot.engine.answered = 41;
    snapshot.engine.timedOut = 2;
    snapshot.engine.failed = 1;
    snapshot.engine.retransmissions = 17;
    snapshot.engine.bytesInFlight = 96;
    snapshot.engine.startTime =
        std::chrono::system_clock::time_point(std::chrono::milliseconds(1796650000042));
    snapshot.writes[static_cast<std::size_t>(ProgramResult::Verified)] = 3;
    snapshot.writes[static_cast<std::size_t>(ProgramResult::Refused)] = 1;
    snapshot.journalFailures = 5;
    snapshot.liveClients = 2;
    snapshot.devicesDropped = 7;
    snapshot.engine.presencesDeferred = 11;
    snapshot.access = {12, 7, 1, 3};
    const std::vector<std::string> expected = {
        R"(vornctl_devices{product="Ondal 2",type="10"} 1)",
        R"(vornctl_devices{product="Ondal 4",type="12"} 2)",
        R"(vornctl_devices{product="Unknown",type="99"} 1)",
        "vornctl_devices_name_unread 2",
        "vornctl_devices_dropped_total 7",
        "vornctl_presences_deferred_total 11",
        R"(vornctl_requests_total{result="answered"} 41)",
        R"(vornctl_requests_total{result="timed_out"} 2)",
        R"(vornctl_requests_total{result="failed"} 1)",
        "vornctl_retransmissions_total 17",
        "vornctl_congestion_bytes_in_flight 96",
        R"(vornctl_serial_writes_total{result="verified"} 3)",
        R"(vornctl_serial_writes_total{result="already-set"} 0)",
        R"(vornctl_serial_writes_total{result="not-found"} 0)",
        R"(vornctl_serial_writes_total{result="not-serviced"} 0)",
        R"(vornctl_serial_writes_total{result="no-answer"} 0)",
        R"(vornctl_serial_writes_total{result="refused"} 1)",
        R"(vornctl_serial_writes_total{result="mismatch"} 0)",
        R"(vornctl_serial_writes_total{result="unverified"} 0)",
        "vornctl_journal_append_failures_total 5",
        "vornctl_live_clients 2",
        "vornctl_people 3",
        "vornctl_wrong_tokens_total 12",
        "vornctl_wrong_tokens_delayed_total 7",
        "vornctl_addresses_held_back 1",
        "vornctl_engine_start_time_seconds 1796650000.042",
    };
    EXPECT_EQ(samples(formatMetrics(snapshot)), expected);
}

TEST(ServeMetrics, EachFamilyIsDescribedOnceBeforeItsSamples) {
    const std::string text = formatMetrics({});
    std::istringstream in(text);
    std::vector<std::string> described;
    std::string typed;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("# HELP ", 0) == 0) {
            const std::string name = line.substr(7, line.find(' ', 7) - 7);
            EXPECT_EQ(std::count(described.begin(), described.end(), name), 0) << name;
            described.push_back(name);
        } else if (line.rfind("# TYPE ", 0) == 0) {
            typed = line.substr(7, line.find(' ', 7) - 7);
            EXPECT_EQ(typed, described.back());
        } else {
            EXPECT_EQ(line.rfind(typed, 0), 0u) << line << " under " << typed;
        }
    }
    EXPECT_EQ(described.size(), 15u);
    EXPECT_EQ(text.back(), '\n');
}

} // namespace
