#pragma once

#include "BoxStateFolder.h"
#include "DeviceBook.h"
#include "JournalTail.h"
#include "MqttClient.h"
#include "Outbox.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// A service box reporting to the fleet's broker (vornctl serve --report): its
// status (retained, with the session counted on its disk; the Will says
// offline), its devices' states (retained, on change), and its journal's
// records (QoS 1, from the outbox, until the archive acknowledges them). One
// thread of its own does it all; the MQTT client's thread only hands it events.
namespace Fleet {

struct ReporterSettings {
    MqttSettings mqtt; // the broker and how to log in; the client id and Will are the reporter's
    std::filesystem::path passwordFile; // read again by reloadPassword(); empty: none
    std::string box;
    std::string site;
    std::string version;
    std::string adapter;
    std::filesystem::path journal;     // the outbox's records
    std::filesystem::path stateFolder; // BoxStateFolder
    OutboxSettings outbox;
    std::chrono::milliseconds journalPoll{200};
    // After a reconnect the device states are published again after a random
    // delay up to this, so that many boxes back at once do not publish at once.
    std::chrono::milliseconds republishSpread{10000};
    // The segment's devices are first looked at this long after the start, once
    // they have answered the presence (so a restart does not mark them gone).
    std::chrono::milliseconds deviceSettle{3000};
};

// What the box's devices are, from serve.
struct DeviceSource {
    std::function<std::vector<SeenDevice>()> present;
    // Reads a device's serial number; `done` runs once, on any thread, with
    // none when the device did not answer. False: nothing was asked.
    using SerialDone = std::function<void(std::optional<std::uint32_t>)>;
    std::function<bool(const std::string& id, SerialDone done)> readSerial;
};

class BoxReporter {
public:
    using Log = std::function<void(const std::string&)>;
    // Reads its state folder (the session counted) and starts its thread.
    // Throws StateError or MqttError.
    BoxReporter(ReporterSettings settings, DeviceSource devices, Log log);
    // Publishes offline, disconnects, joins.
    ~BoxReporter();
    BoxReporter(const BoxReporter&) = delete;
    BoxReporter& operator=(const BoxReporter&) = delete;

    // The password file is read again and the connection made anew with it
    // (SIGHUP); a file that cannot be used leaves the old password. Any thread.
    void reloadPassword();

    std::uint64_t session() const { return session_; }

private:
    struct SerialInbox;
    using Clock = std::chrono::steady_clock;

    std::unique_ptr<MqttClient> connect();
    void run(std::stop_token stop);
    void handle(const MqttEvent& event, Clock::time_point now);
    void readJournal(Clock::time_point now);
    void lookAtDevices(Clock::time_point now);
    void publishDevice(const DeviceState& device);
    void saveDevices();
    std::string statusPayload(bool online) const;

    ReporterSettings settings_;
    const DeviceSource devices_;
    const Log log_;
    BoxStateFolder state_;
    std::uint64_t session_ = 0;
    MqttEvents events_;
    std::shared_ptr<SerialInbox> inbox_;
    std::atomic<bool> reload_{false};
    // The reporter's thread's alone from here on.
    std::unique_ptr<MqttClient> client_;
    Outbox outbox_;
    DeviceBook book_;
    JournalTail tail_;
    bool connected_ = false;
    std::uint64_t connection_ = 0; // the current connection's number
    int generation_ = 0;           // the current client's (MqttEvent::source)
    int lastRefusal_ = 0;
    Clock::time_point republishAt_ = Clock::time_point::max();
    Clock::time_point devicesAt_{};
    std::jthread thread_; // last: stopped and joined first
};

} // namespace Fleet
