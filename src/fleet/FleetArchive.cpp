#include "FleetArchive.h"

#include "FleetTopics.h"
#include "JournalTime.h"

namespace Fleet {
namespace {

std::string utcNow() {
    return Journal::formatUtc(std::chrono::system_clock::now());
}

const char* const subscriptions[] = {"vorn/v1/box/+/status", "vorn/v1/box/+/devices/+",
                                     "vorn/v1/box/+/journal"};

} // namespace

FleetArchive::FleetArchive(ArchiveSettings settings, Log log)
    : log_(std::move(log)), store_(settings.database), marks_(store_.loadMarks()) {
    int source = 0;
    for (MqttSettings& broker : settings.brokers)
        clients_.push_back(std::make_unique<MqttClient>(std::move(broker), events_, source++));
}

FleetArchive::~FleetArchive() = default;

void FleetArchive::stop() {
    stopping_ = true;
    events_.wake();
}

void FleetArchive::run() {
    while (!stopping_) {
        const auto event = events_.next(std::chrono::steady_clock::now() + std::chrono::seconds(5));
        if (!event)
            continue;
        try {
            handle(*event);
        } catch (const std::exception& failure) {
            // Not acknowledged: the box sends it again.
            log_(std::string("fleet: ") + failure.what());
        }
    }
    for (auto& client : clients_)
        client->disconnect();
}

void FleetArchive::handle(const MqttEvent& event) {
    MqttClient& client = *clients_.at(static_cast<std::size_t>(event.source));
    const auto& broker = client.settings().broker;
    const std::string where = broker.host + ":" + std::to_string(broker.port);
    switch (event.kind) {
    case MqttEvent::Kind::Connected:
        if (event.code != 0) {
            log_("fleet: the broker " + where + " refused the connection (reason " +
                 std::to_string(event.code) + ")");
            return;
        }
        for (const char* topic : subscriptions)
            client.subscribe(topic, 1);
        log_("fleet: connected to " + where);
        return;
    case MqttEvent::Kind::Disconnected:
        log_("fleet: lost the broker " + where + "; connecting again");
        return;
    case MqttEvent::Kind::Wake:
        return;
    case MqttEvent::Kind::Message:
        break;
    }
    Arrival arrival = classifyArrival(event.topic, event.payload);
    if (auto* record = std::get_if<JournalArrival>(&arrival)) {
        take(std::move(*record), event.source);
    } else if (const auto* status = std::get_if<StatusArrival>(&arrival)) {
        store_.saveStatus(status->box, status->status, utcNow());
    } else if (const auto* device = std::get_if<DeviceArrival>(&arrival)) {
        if (device->device)
            store_.saveDevice(device->box, *device->device);
        else if (const auto id = deviceIdOf(device->deviceKey))
            store_.removeDevice(device->box, *id);
        if (!event.retained)
            store_.touch(device->box, utcNow());
    } else if (const auto* rejected = std::get_if<Rejected>(&arrival)) {
        store_.countDropped(rejected->box);
        // Said once, then every hundredth.
        if (dropped_[rejected->box]++ % 100 == 0)
            log_("fleet: dropped a message of " + rejected->box + " on " + event.topic + " (" +
                 rejected->reason + ")");
    }
}

void FleetArchive::take(JournalArrival arrival, int source) {
    GapFreeMark& mark = marks_[arrival.box];
    switch (mark.check(arrival.message.sequence)) {
    case GapFreeMark::Verdict::TooFarAhead:
        return; // sent again in its turn
    case GapFreeMark::Verdict::Duplicate:
        acknowledge(arrival.box, source); // the box may have missed the acknowledgement
        return;
    case GapFreeMark::Verdict::Store:
        break;
    }
    const std::string now = utcNow();
    store_.storeRecord(arrival.box, arrival.message, now);
    store_.touch(arrival.box, now);
    if (mark.stored(arrival.message.sequence)) {
        store_.saveAcknowledged(arrival.box, mark.mark());
        acknowledge(arrival.box, source);
    }
}

void FleetArchive::acknowledge(const std::string& box, int source) {
    const auto mark = marks_.find(box);
    if (mark == marks_.end() || mark->second.mark() == 0)
        return;
    clients_.at(static_cast<std::size_t>(source))
        ->publish(ackTopic(box), std::to_string(mark->second.mark()), 1, true);
}

} // namespace Fleet
