#include "BoxReporter.h"

#include "FleetTopics.h"
#include "JournalPayload.h"
#include "JournalTail.h"
#include "JournalTime.h"

#include <charconv>
#include <mutex>
#include <random>

namespace Fleet {
namespace {

std::string utcNow() {
    return Journal::formatUtc(std::chrono::system_clock::now());
}

} // namespace

// Serial numbers read, handed over by the controller's threads. Outlives the
// reporter when a read answers late: then it only drops the answer.
struct BoxReporter::SerialInbox {
    std::mutex mutex;
    MqttEvents* events = nullptr; // guarded by mutex; none once the reporter is gone
    std::vector<std::pair<std::string, std::optional<std::uint32_t>>> answers; // guarded by mutex

    void add(std::string id, std::optional<std::uint32_t> serial) {
        const std::lock_guard lock(mutex);
        if (!events)
            return;
        answers.emplace_back(std::move(id), serial);
        events->wake();
    }
};

BoxReporter::BoxReporter(ReporterSettings settings, DeviceSource devices, Log log)
    : settings_(std::move(settings)), devices_(std::move(devices)), log_(std::move(log)),
      state_(settings_.stateFolder), session_(state_.nextSession()),
      inbox_(std::make_shared<SerialInbox>()), outbox_(state_.acknowledged(), settings_.outbox),
      book_(state_.devices()), tail_(settings_.journal) {
    inbox_->events = &events_;
    settings_.mqtt.clientId = "vorn-box-" + settings_.box;
    // Each connection's Will names it, so that a reader tells a late Will of an
    // old connection from the end of the current one.
    BoxStatus will;
    will.session = session_;
    will.site = settings_.site;
    will.version = settings_.version;
    will.adapter = settings_.adapter;
    settings_.mqtt.willFor = [will, topic = statusTopic(settings_.box)](std::uint64_t connection) {
        BoxStatus status = will;
        status.connection = connection;
        status.time = utcNow();
        return MqttSettings::Will{topic, formatStatus(status), true};
    };
    client_ = connect();
    devicesAt_ = Clock::now() + settings_.deviceSettle;
    thread_ = std::jthread([this](std::stop_token stop) { run(stop); });
}

BoxReporter::~BoxReporter() {
    thread_.request_stop();
    events_.wake();
    if (thread_.joinable())
        thread_.join();
    const std::lock_guard lock(inbox_->mutex);
    inbox_->events = nullptr;
}

std::unique_ptr<MqttClient> BoxReporter::connect() {
    // Each client its own number: what an earlier one left in the queue is passed over.
    return std::make_unique<MqttClient>(settings_.mqtt, events_, ++generation_);
}

void BoxReporter::reloadPassword() {
    reload_ = true;
    events_.wake();
}

std::string BoxReporter::statusPayload(bool online) const {
    BoxStatus status;
    status.online = online;
    status.session = session_;
    status.connection = connection_;
    status.site = settings_.site;
    status.version = settings_.version;
    status.adapter = settings_.adapter;
    for (const auto& [key, device] : book_.states())
        status.devices += device.present ? 1 : 0;
    status.time = utcNow();
    return formatStatus(status);
}

void BoxReporter::run(std::stop_token stop) {
    while (!stop.stop_requested()) {
        auto now = Clock::now();
        const auto deadline =
            std::min({now + settings_.journalPoll, outbox_.nextWake(), republishAt_, devicesAt_});
        if (const auto event = events_.next(std::max(deadline, now)))
            handle(*event, Clock::now());
        now = Clock::now();
        try {
            if (reload_.exchange(false) && !settings_.passwordFile.empty()) {
                settings_.mqtt.password = readPasswordFile(settings_.passwordFile);
                client_.reset(); // a clean end: the broker keeps the status, drops the Will
                connected_ = false;
                outbox_.disconnected();
                client_ = connect();
                log_("reporting: the password of " + settings_.passwordFile.string() +
                     " is in use");
            }
            readJournal(now);
            if (now >= devicesAt_)
                lookAtDevices(now);
            if (connected_ && now >= republishAt_) {
                for (const auto& [key, device] : book_.states())
                    publishDevice(device);
                republishAt_ = Clock::time_point::max();
            }
            for (const auto& record : outbox_.due(now))
                client_->publish(journalTopic(settings_.box), record.payload, 1, false);
        } catch (const std::exception& failure) {
            log_(std::string("reporting: ") + failure.what());
        }
    }
    if (connected_) {
        client_->publish(statusTopic(settings_.box), statusPayload(false), 1, true);
        client_->disconnect();
    }
    client_.reset();
}

void BoxReporter::handle(const MqttEvent& event, Clock::time_point now) {
    if (event.kind != MqttEvent::Kind::Wake && event.source != generation_)
        return;
    switch (event.kind) {
    case MqttEvent::Kind::Connected:
        if (event.code != 0) {
            if (event.code != lastRefusal_)
                log_("reporting: the broker refused the connection (reason " +
                     std::to_string(event.code) + ")");
            lastRefusal_ = event.code;
            return;
        }
        lastRefusal_ = 0;
        connected_ = true;
        connection_ = event.connection;
        client_->subscribe(ackTopic(settings_.box), 1);
        client_->publish(statusTopic(settings_.box), statusPayload(true), 1, true);
        outbox_.connected(now);
        {
            std::random_device seed;
            std::mt19937 random(seed());
            const auto spread = std::max<std::int64_t>(settings_.republishSpread.count(), 1);
            republishAt_ =
                now + std::chrono::milliseconds(
                          std::uniform_int_distribution<std::int64_t>(0, spread)(random));
        }
        log_("reporting to " + settings_.mqtt.broker.host + ":" +
             std::to_string(settings_.mqtt.broker.port) + " as " + settings_.box + ", session " +
             std::to_string(session_));
        return;
    case MqttEvent::Kind::Disconnected:
        connected_ = false;
        outbox_.disconnected();
        log_("reporting: the broker connection was lost; connecting again");
        return;
    case MqttEvent::Kind::Message: {
        if (event.topic != ackTopic(settings_.box))
            return;
        std::uint64_t number = 0;
        const auto [end, error] = std::from_chars(
            event.payload.data(), event.payload.data() + event.payload.size(), number);
        if (error != std::errc() || end != event.payload.data() + event.payload.size())
            return;
        if (outbox_.acknowledge(number, now))
            state_.saveAcknowledged(number);
        return;
    }
    case MqttEvent::Kind::Wake: {
        std::vector<std::pair<std::string, std::optional<std::uint32_t>>> answers;
        {
            const std::lock_guard lock(inbox_->mutex);
            answers.swap(inbox_->answers);
        }
        bool changed = false;
        for (const auto& [id, serial] : answers) {
            if (!serial) {
                book_.serialUnread(id, now);
                continue;
            }
            if (const auto device = book_.serialKnown(id, *serial)) {
                publishDevice(*device);
                changed = true;
            }
        }
        if (changed)
            saveDevices();
        return;
    }
    }
}

void BoxReporter::readJournal(Clock::time_point) {
    bool changed = false;
    for (auto& record : tail_.read(outbox_.highest())) {
        // A write's outcome: the number the device holds now, as read back.
        const auto decoded = decodeJournalPayload(record.payload);
        if (const auto* message = std::get_if<JournalMessage>(&decoded))
            if (const auto* outcome = std::get_if<Journal::SerialOutcome>(&message->record))
                if (outcome->readBack)
                    if (const auto device = book_.serialKnown(outcome->id, *outcome->readBack)) {
                        publishDevice(*device);
                        changed = true;
                    }
        outbox_.add(record.sequence, std::move(record.payload));
    }
    if (changed)
        saveDevices();
}

void BoxReporter::lookAtDevices(Clock::time_point now) {
    devicesAt_ = now + std::chrono::seconds(1);
    const auto changed = book_.update(devices_.present(), utcNow(), now);
    for (const DeviceState& device : changed)
        publishDevice(device);
    if (!changed.empty()) {
        saveDevices();
        if (connected_) // the count of devices present
            client_->publish(statusTopic(settings_.box), statusPayload(true), 1, true);
    }
    // A few at a time, so that a silent device holds up neither another's read nor a write.
    constexpr std::size_t readsAtOnce = 4;
    for (const std::string& id : book_.toRead(readsAtOnce, now)) {
        const auto inbox = inbox_;
        const bool asked = devices_.readSerial(
            id, [inbox, id](std::optional<std::uint32_t> serial) { inbox->add(id, serial); });
        if (!asked)
            book_.serialUnread(id, now);
    }
}

void BoxReporter::publishDevice(const DeviceState& device) {
    const auto key = deviceKeyOf(device.id);
    if (connected_ && key)
        client_->publish(deviceTopic(settings_.box, *key), formatDeviceState(device), 1, true);
}

void BoxReporter::saveDevices() {
    state_.saveDevices(book_.states());
}

} // namespace Fleet
