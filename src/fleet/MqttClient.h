#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

struct mosquitto;

// A small MQTT 5 client of ours over libmosquitto: one network thread per
// client runs the library's loop (as mosquitto_loop_start's would, but it
// never gives up: the library's own loop ends for good on a TLS error or a
// failed name lookup), connects, reconnects and hands what happens to an
// MqttEvents queue, nothing else; our threads take the events from there and
// call publish() and subscribe(). No lock of ours is held while the library
// runs a callback but the queue's, for a push.
namespace Fleet {

class MqttError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct BrokerAddress {
    std::string host;
    std::uint16_t port = 0;
    bool tls = true;
};
// "mqtts://HOST[:PORT]" (TLS, port 8883 by default) or "mqtt://HOST[:PORT]"
// (plain, 1883). Throws MqttError naming what is wrong.
BrokerAddress parseBrokerUrl(std::string_view url);
// localhost, 127.0.0.0/8 or ::1: where plain MQTT leaves no machine.
bool isLoopbackHost(std::string_view host);

struct MqttSettings {
    BrokerAddress broker;
    std::string clientId;
    std::string user;     // empty: none
    std::string password; // with a user
    std::string caFile;   // TLS: the authority to verify the broker by; empty: the system's
    std::string certFile; // TLS: a client certificate and its key; empty: none
    std::string keyFile;
    struct Will {
        std::string topic;
        std::string payload;
        bool retain = true;
    };
    std::optional<Will> will;
    // The Will of the n-th connection (from 1), when it differs from one to
    // the next: called on the network thread before each attempt, so it must
    // only format what does not change. Takes the place of `will`.
    std::function<Will(std::uint64_t connection)> willFor;
    int keepAliveSeconds = 10;
    // A connection (TCP, TLS, MQTT) not made by then is given up and tried again.
    std::chrono::seconds connectTimeout{5};
};

struct MqttEvent {
    enum class Kind {
        Connected,    // code: 0, or the broker's refusal (MQTT 5 reason code)
        Disconnected, // code: 0 when asked for
        Message,
        Wake, // posted by wake(): something of ours to look at
    };
    Kind kind = Kind::Wake;
    int source = 0; // the client's, as given to it
    int code = 0;
    std::uint64_t connection = 0; // Connected: the how-manieth connection this is, from 1
    std::string topic;
    std::string payload;
    bool retained = false;
};

// The events of one or more clients, for the thread that acts on them.
// Bounded: beyond `capacity` events a message is dropped and counted (a
// journal record so lost is sent again by its box; the reader subscribes
// again when it falls behind).
class MqttEvents {
public:
    explicit MqttEvents(std::size_t capacity = 100000);
    void push(MqttEvent event);
    void wake();
    // The next event, waiting until `deadline`; none when it passed first.
    std::optional<MqttEvent> next(std::chrono::steady_clock::time_point deadline);
    std::uint64_t dropped() const;

private:
    const std::size_t capacity_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<MqttEvent> events_; // guarded by mutex_
    bool woken_ = false;           // guarded by mutex_
    std::uint64_t dropped_ = 0;    // guarded by mutex_
};

class MqttClient {
public:
    // Starts connecting at once, and again after every loss or failure (1 s,
    // doubling to 10 s). Throws MqttError for settings the library refuses (a
    // CA file it cannot read, ...).
    MqttClient(MqttSettings settings, MqttEvents& events, int source = 0);
    // Disconnects (without the Will) and stops the network thread.
    ~MqttClient();
    MqttClient(const MqttClient&) = delete;
    MqttClient& operator=(const MqttClient&) = delete;

    // False when the library refuses (not connected, too large, ...): the
    // caller sends it again later. QoS 0 or 1.
    bool publish(const std::string& topic, std::string_view payload, int qos, bool retain);
    bool subscribe(const std::string& topic, int qos);
    // Ends the connection cleanly (the broker drops the Will) and stops.
    void disconnect();

    const MqttSettings& settings() const { return settings_; }

private:
    void run(std::stop_token stop);
    bool connectFailed() const; // the connection being made was refused
    // The library's callbacks, on the network thread.
    void connectedNow(int code);
    void disconnectedNow(int code);
    void push(MqttEvent::Kind kind, int code);
    int setWill(const MqttSettings::Will& will);

    const MqttSettings settings_;
    MqttEvents& events_;
    const int source_;
    mosquitto* handle_ = nullptr;
    // Whether the broker has accepted the current connection: set by the
    // callbacks, read by the network thread's loop.
    std::atomic<bool> connected_{false};
    // Connections made so far: counted by the network thread alone.
    std::uint64_t connections_ = 0;
    std::mutex waitMutex_; // for the pause between attempts
    std::condition_variable_any waitChange_;
    std::jthread thread_; // last: stopped and joined first
};

// libmosquitto's text for a result code.
std::string mqttErrorText(int code);

} // namespace Fleet
