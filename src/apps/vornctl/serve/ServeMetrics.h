#pragma once

#include "AccessControl.h"
#include "Output.h"
#include "engine/EngineFigures.h"

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// How a running vornctl serve is doing, for GET /metrics in Prometheus' text format.
namespace Vornctl::Serve {

// serve's own counters: serial writes by result and journal records that
// could not be written. Relaxed atomics, counted on the writer threads.
class ServeCounters {
public:
    static constexpr std::size_t resultCount =
        static_cast<std::size_t>(ProgramResult::Unverified) + 1;
    using Writes = std::array<std::uint64_t, resultCount>; // by ProgramResult

    void countWrite(ProgramResult result);
    void countJournalFailure();
    Writes writes() const;
    std::uint64_t journalFailures() const;

private:
    std::array<std::atomic<std::uint64_t>, resultCount> writes_{};
    std::atomic<std::uint64_t> journalFailures_{0};
};

// One scrape's figures.
struct MetricsSnapshot {
    std::vector<FoundDevice> devices; // every present device, whatever its product
    Vorn::EngineFigures engine;
    ServeCounters::Writes writes{};
    std::uint64_t journalFailures = 0;
    std::size_t liveClients = 0;
    std::uint64_t devicesDropped = 0; // new devices the engine or the hub had no room for
    AccessFigures access;
};

// The text of GET /metrics (text format 0.0.4): every family with HELP and TYPE.
std::string formatMetrics(const MetricsSnapshot& snapshot);

constexpr const char* metricsContentType = "text/plain; version=0.0.4; charset=utf-8";

} // namespace Vornctl::Serve
