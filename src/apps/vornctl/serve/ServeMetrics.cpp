#include "ServeMetrics.h"

#include "ProductName.h"

#include <map>
#include <utility>

namespace Vornctl::Serve {
namespace {

// A label value with its backslashes, quotes and line breaks escaped.
std::string labelValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"')
            out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

void family(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

void sample(std::string& out, const char* name, const std::string& labels, std::uint64_t value) {
    out += name;
    if (!labels.empty())
        out += "{" + labels + "}";
    out += ' ';
    out += std::to_string(value);
    out += '\n';
}

} // namespace

void ServeCounters::countWrite(ProgramResult result) {
    writes_[static_cast<std::size_t>(result)].fetch_add(1, std::memory_order_relaxed);
}

void ServeCounters::countJournalFailure() {
    journalFailures_.fetch_add(1, std::memory_order_relaxed);
}

ServeCounters::Writes ServeCounters::writes() const {
    Writes out{};
    for (std::size_t i = 0; i < resultCount; ++i)
        out[i] = writes_[i].load(std::memory_order_relaxed);
    return out;
}

std::uint64_t ServeCounters::journalFailures() const {
    return journalFailures_.load(std::memory_order_relaxed);
}

std::string formatMetrics(const MetricsSnapshot& snapshot) {
    std::string out;
    out.reserve(4096);

    std::map<unsigned, std::uint64_t> byType;
    std::uint64_t unnamed = 0;
    for (const FoundDevice& device : snapshot.devices) {
        ++byType[device.deviceType];
        unnamed += device.name ? 0 : 1;
    }
    family(out, "vornctl_devices", "gauge", "Devices present on the device network, by product.");
    for (const auto& [type, count] : byType)
        sample(out, "vornctl_devices",
               "product=\"" + labelValue(productName(type)) + "\",type=\"" + std::to_string(type) +
                   "\"",
               count);
    family(out, "vornctl_devices_name_unread", "gauge",
           "Devices present whose name has not been read (yet, or they do not answer).");
    sample(out, "vornctl_devices_name_unread", "", unnamed);
    family(out, "vornctl_devices_dropped_total", "counter",
           "New devices not listed, or listed in place of one that never answered, because "
           "the table of devices was full (a faulty device or a flood of new IDs).");
    sample(out, "vornctl_devices_dropped_total", "", snapshot.devicesDropped);
    family(out, "vornctl_presences_deferred_total", "counter",
           "Announcements of new devices left for their next announcement while the "
           "device events waiting to be handled were at their limit.");
    sample(out, "vornctl_presences_deferred_total", "", snapshot.engine.presencesDeferred);

    const Vorn::EngineFigures& engine = snapshot.engine;
    family(out, "vornctl_requests_total", "counter",
           "Requests to devices by how they ended: answered, timed out after every "
           "retry, or failed (not sent, or the device left).");
    sample(out, "vornctl_requests_total", "result=\"answered\"", engine.answered);
    sample(out, "vornctl_requests_total", "result=\"timed_out\"", engine.timedOut);
    sample(out, "vornctl_requests_total", "result=\"failed\"", engine.failed);
    family(out, "vornctl_retransmissions_total", "counter",
           "Request datagrams sent again after a time-out.");
    sample(out, "vornctl_retransmissions_total", "", engine.retransmissions);
    family(out, "vornctl_congestion_bytes_in_flight", "gauge",
           "Bytes of requests awaiting a reply in the congestion window.");
    sample(out, "vornctl_congestion_bytes_in_flight", "", engine.bytesInFlight);

    family(out, "vornctl_serial_writes_total", "counter",
           "Serial number writes through the API and program runs, by result.");
    for (std::size_t i = 0; i < snapshot.writes.size(); ++i) {
        const auto result = static_cast<ProgramResult>(i);
        if (result == ProgramResult::WouldWrite)
            continue; // a dry run writes nothing
        sample(out, "vornctl_serial_writes_total",
               std::string("result=\"") + resultName(result) + "\"", snapshot.writes[i]);
    }
    family(out, "vornctl_journal_append_failures_total", "counter",
           "Journal records of serial writes that could not be written.");
    sample(out, "vornctl_journal_append_failures_total", "", snapshot.journalFailures);
    family(out, "vornctl_live_clients", "gauge", "Browsers connected to the live push.");
    sample(out, "vornctl_live_clients", "", snapshot.liveClients);
    family(out, "vornctl_people", "gauge",
           "People of the access file whose link is good now (serve's own token aside).");
    sample(out, "vornctl_people", "", snapshot.access.people);
    family(out, "vornctl_wrong_tokens_total", "counter",
           "Requests that showed a token nobody holds.");
    sample(out, "vornctl_wrong_tokens_total", "", snapshot.access.wrongTokens);
    family(out, "vornctl_wrong_tokens_delayed_total", "counter",
           "Of those, the ones answered late: their address had guessed before.");
    sample(out, "vornctl_wrong_tokens_delayed_total", "", snapshot.access.delayedAnswers);
    family(out, "vornctl_addresses_held_back", "gauge",
           "Addresses whose next wrong token is answered late.");
    sample(out, "vornctl_addresses_held_back", "", snapshot.access.heldBackAddresses);

    family(out, "vornctl_engine_start_time_seconds", "gauge",
           "When the engine started, in seconds since 1970.");
    const auto started =
        std::chrono::duration_cast<std::chrono::milliseconds>(engine.startTime.time_since_epoch())
            .count();
    out += "vornctl_engine_start_time_seconds " + std::to_string(started / 1000) + "." +
           std::to_string(1000 + started % 1000).substr(1) + "\n";
    return out;
}

} // namespace Vornctl::Serve
