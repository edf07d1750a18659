#pragma once

#include "ArchiveStore.h"
#include "FleetMessage.h"
#include "MqttClient.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

// The fleet's archive (vornctl fleet): subscribed to every box on one or more
// brokers, it keeps the boxes' and devices' states and stores every journal
// record once, then acknowledges (journal/ack, retained) up to the last
// record it holds without a gap. One thread (the caller's, in run()) does
// the storing; the clients' threads only hand it events.
namespace Fleet {

struct ArchiveSettings {
    std::vector<MqttSettings> brokers;
    std::filesystem::path database;
};

class FleetArchive {
public:
    using Log = std::function<void(const std::string&)>;
    // Opens the database (throws ArchiveError) and connects to every broker
    // (throws MqttError for settings the library refuses).
    FleetArchive(ArchiveSettings settings, Log log);
    ~FleetArchive();
    FleetArchive(const FleetArchive&) = delete;
    FleetArchive& operator=(const FleetArchive&) = delete;

    // Stores what arrives until stop().
    void run();
    // Any thread.
    void stop();

private:
    void handle(const MqttEvent& event);
    void take(JournalArrival arrival, int source);
    void acknowledge(const std::string& box, int source);

    const Log log_;
    ArchiveStore store_;
    std::map<std::string, GapFreeMark> marks_;
    MqttEvents events_;
    std::atomic<bool> stopping_{false};
    std::map<std::string, std::uint64_t> dropped_;     // payloads not stored, by box (for the log)
    std::vector<std::unique_ptr<MqttClient>> clients_; // last: gone first
};

} // namespace Fleet
