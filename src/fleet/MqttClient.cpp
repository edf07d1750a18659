#include "MqttClient.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <algorithm>
#include <charconv>
#include <mutex>
#include <sys/socket.h>

namespace Fleet {
namespace {

void initialiseLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

void check(int code, const char* what) {
    if (code != MOSQ_ERR_SUCCESS)
        throw MqttError(std::string(what) + ": " + mqttErrorText(code));
}

const char* orNull(const std::string& text) {
    return text.empty() ? nullptr : text.c_str();
}

} // namespace

std::string mqttErrorText(int code) {
    return mosquitto_strerror(code);
}

BrokerAddress parseBrokerUrl(std::string_view url) {
    BrokerAddress address;
    const auto scheme = url.find("://");
    const std::string_view name = scheme == std::string_view::npos ? "" : url.substr(0, scheme);
    if (name == "mqtts")
        address.tls = true;
    else if (name == "mqtt")
        address.tls = false;
    else
        throw MqttError("the broker's URL '" + std::string(url) +
                        "' does not start with mqtts:// or mqtt://");
    std::string_view rest = url.substr(scheme + 3);
    if (!rest.empty() && rest.back() == '/')
        rest.remove_suffix(1);
    address.port = address.tls ? 8883 : 1883;
    std::string_view host = rest;
    std::string_view port;
    if (!rest.empty() && rest.front() == '[') { // [::1]:8883
        const auto close = rest.find(']');
        if (close == std::string_view::npos)
            throw MqttError("the broker's URL '" + std::string(url) + "' has no closing ']'");
        host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':')
                throw MqttError("the broker's URL '" + std::string(url) + "' is not HOST:PORT");
            port = rest.substr(close + 2);
        }
    } else if (const auto colon = rest.rfind(':'); colon != std::string_view::npos) {
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
    }
    if (host.empty() || host.find_first_of("/?#@ ") != std::string_view::npos)
        throw MqttError("the broker's URL '" + std::string(url) + "' names no host");
    if (!port.empty() || (rest.size() > host.size() && rest.back() == ':')) {
        unsigned value = 0;
        const auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), value);
        if (error != std::errc() || end != port.data() + port.size() || value == 0 || value > 65535)
            throw MqttError("the broker's URL '" + std::string(url) + "' has no valid port");
        address.port = static_cast<std::uint16_t>(value);
    }
    address.host = std::string(host);
    return address;
}

bool isLoopbackHost(std::string_view host) {
    return host == "localhost" || host == "::1" || host.substr(0, 4) == "127.";
}

MqttEvents::MqttEvents(std::size_t capacity) : capacity_(capacity) {}

void MqttEvents::push(MqttEvent event) {
    {
        const std::lock_guard lock(mutex_);
        if (event.kind == MqttEvent::Kind::Message && events_.size() >= capacity_) {
            ++dropped_;
            return;
        }
        events_.push_back(std::move(event));
    }
    ready_.notify_one();
}

void MqttEvents::wake() {
    {
        const std::lock_guard lock(mutex_);
        woken_ = true;
    }
    ready_.notify_one();
}

std::optional<MqttEvent> MqttEvents::next(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(mutex_);
    ready_.wait_until(lock, deadline, [this] { return !events_.empty() || woken_; });
    if (!events_.empty()) {
        MqttEvent event = std::move(events_.front());
        events_.pop_front();
        return event;
    }
    if (woken_) {
        woken_ = false;
        return MqttEvent{};
    }
    return std::nullopt;
}

std::uint64_t MqttEvents::dropped() const {
    const std::lock_guard lock(mutex_);
    return dropped_;
}

MqttClient::MqttClient(MqttSettings settings, MqttEvents& events, int source)
    : settings_(std::move(settings)), events_(events), source_(source) {
    initialiseLibrary();
    handle_ = mosquitto_new(orNull(settings_.clientId), true, this);
    if (!handle_)
        throw MqttError("cannot make an MQTT client");
    try {
        check(mosquitto_threaded_set(handle_, true), "threads");
        check(mosquitto_int_option(handle_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5), "MQTT 5");
        if (settings_.broker.tls) {
            if (settings_.caFile.empty())
                check(mosquitto_int_option(handle_, MOSQ_OPT_TLS_USE_OS_CERTS, 1),
                      "the system's certificate authorities");
            check(mosquitto_tls_set(handle_, orNull(settings_.caFile), nullptr,
                                    orNull(settings_.certFile), orNull(settings_.keyFile), nullptr),
                  "TLS settings (the CA, certificate or key file)");
            check(mosquitto_tls_opts_set(handle_, 1, nullptr, nullptr), "TLS verification");
        }
        if (!settings_.user.empty())
            check(mosquitto_username_pw_set(handle_, settings_.user.c_str(),
                                            orNull(settings_.password)),
                  "the user name");
        if (settings_.will && !settings_.willFor)
            check(setWill(*settings_.will), "the Will");
        mosquitto_connect_v5_callback_set(
            handle_, [](mosquitto*, void* self, int code, int, const mosquitto_property*) {
                static_cast<MqttClient*>(self)->connectedNow(code);
            });
        mosquitto_disconnect_v5_callback_set(
            handle_, [](mosquitto*, void* self, int code, const mosquitto_property*) {
                static_cast<MqttClient*>(self)->disconnectedNow(code);
            });
        mosquitto_message_v5_callback_set(handle_, [](mosquitto*, void* self,
                                                      const mosquitto_message* message,
                                                      const mosquitto_property*) {
            auto* client = static_cast<MqttClient*>(self);
            MqttEvent event;
            event.kind = MqttEvent::Kind::Message;
            event.source = client->source_;
            event.topic = message->topic ? message->topic : "";
            event.payload.assign(static_cast<const char*>(message->payload),
                                 static_cast<std::size_t>(message->payloadlen));
            event.retained = message->retain;
            client->events_.push(std::move(event));
        });
    } catch (...) {
        mosquitto_destroy(handle_);
        throw;
    }
    thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

MqttClient::~MqttClient() {
    disconnect();
    thread_ = {};
    mosquitto_destroy(handle_);
}

int MqttClient::setWill(const MqttSettings::Will& will) {
    return mosquitto_will_set_v5(handle_, will.topic.c_str(), static_cast<int>(will.payload.size()),
                                 will.payload.data(), 1, will.retain, nullptr);
}

void MqttClient::push(MqttEvent::Kind kind, int code) {
    MqttEvent event;
    event.kind = kind;
    event.source = source_;
    event.code = code;
    events_.push(std::move(event));
}

void MqttClient::connectedNow(int code) {
    MqttEvent event;
    event.kind = MqttEvent::Kind::Connected;
    event.source = source_;
    event.code = code;
    if (code == 0) {
        connected_ = true;
        event.connection = ++connections_;
    }
    events_.push(std::move(event));
}

void MqttClient::disconnectedNow(int code) {
    if (connected_.exchange(false))
        push(MqttEvent::Kind::Disconnected, code);
}

bool MqttClient::connectFailed() const {
    // The library's loop does not end on a refused connection (it closes the
    // socket, then waits for the keep-alive's time-out): no socket, or one with
    // an error pending, says it.
    const int fd = mosquitto_socket(handle_);
    int error = 0;
    socklen_t length = sizeof error;
    return fd < 0 || (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error != 0);
}

void MqttClient::run(std::stop_token stop) {
    using Clock = std::chrono::steady_clock;
    constexpr auto firstPause = std::chrono::seconds(1), longestPause = std::chrono::seconds(10);
    auto pause = firstPause;
    bool started = false;
    while (!stop.stop_requested()) {
        int code = started
                       ? mosquitto_reconnect_async(handle_)
                       : mosquitto_connect_async(handle_, settings_.broker.host.c_str(),
                                                 settings_.broker.port, settings_.keepAliveSeconds);
        started = true;
        const auto began = Clock::now();
        while (code == MOSQ_ERR_SUCCESS && !stop.stop_requested()) {
            code = mosquitto_loop(handle_, 1000, 1);
            if (connected_)
                continue;
            if (connectFailed() || Clock::now() - began > settings_.connectTimeout)
                break;
            // While a connection is being made the library's loop may return at
            // once, again and again (a TLS handshake it does not wait for): a
            // short pause keeps that from spinning.
            std::unique_lock lock(waitMutex_);
            waitChange_.wait_for(lock, stop, std::chrono::milliseconds(50), [] { return false; });
        }
        if (connected_.exchange(false)) {
            push(MqttEvent::Kind::Disconnected, code);
            pause = firstPause;
        }
        if (stop.stop_requested())
            break;
        std::unique_lock lock(waitMutex_);
        waitChange_.wait_for(lock, stop, pause, [] { return false; });
        pause = std::min(pause * 2, std::chrono::duration_cast<std::chrono::seconds>(longestPause));
    }
    // What was queued before the disconnection (a last status) leaves with it:
    // the loop runs until the library has closed the connection, 2 s at most.
    const auto end = Clock::now() + std::chrono::seconds(2);
    while (Clock::now() < end && mosquitto_loop(handle_, 100, 1) == MOSQ_ERR_SUCCESS) {
    }
}

bool MqttClient::publish(const std::string& topic, std::string_view payload, int qos, bool retain) {
    return mosquitto_publish_v5(handle_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                                payload.data(), qos, retain, nullptr) == MOSQ_ERR_SUCCESS;
}

bool MqttClient::subscribe(const std::string& topic, int qos) {
    return mosquitto_subscribe_v5(handle_, nullptr, topic.c_str(), qos, 0, nullptr) ==
           MOSQ_ERR_SUCCESS;
}

void MqttClient::disconnect() {
    if (!thread_.joinable())
        return;
    // Queued behind what is queued already; the queueing wakes the network thread.
    mosquitto_disconnect_v5(handle_, MQTT_RC_NORMAL_DISCONNECTION, nullptr);
    thread_.request_stop();
    thread_.join();
}

} // namespace Fleet
