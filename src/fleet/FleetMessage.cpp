#include "FleetMessage.h"

#include "FleetTopics.h"

namespace Fleet {

Arrival classifyArrival(std::string_view topic, std::string_view payload) {
    auto ref = parseTopic(topic);
    if (!ref)
        return Ignored{};
    switch (ref->kind) {
    case TopicKind::Journal: {
        auto decoded = decodeJournalPayload(payload);
        if (auto* rejection = std::get_if<PayloadRejection>(&decoded))
            return Rejected{std::move(ref->box), rejectionName(*rejection)};
        return JournalArrival{std::move(ref->box), std::get<JournalMessage>(std::move(decoded))};
    }
    case TopicKind::Status: {
        if (payload.empty())
            return StatusCleared{std::move(ref->box)};
        auto status = parseStatus(payload);
        if (!status)
            return Rejected{std::move(ref->box), "bad-status"};
        return StatusArrival{std::move(ref->box), std::move(*status)};
    }
    case TopicKind::Device: {
        if (payload.empty())
            return DeviceArrival{std::move(ref->box), std::move(ref->deviceKey), std::nullopt};
        auto device = parseDeviceState(payload);
        // The topic names the device: a state of another device under it is not read.
        if (!device || deviceKeyOf(device->id) != ref->deviceKey)
            return Rejected{std::move(ref->box), "bad-device"};
        return DeviceArrival{std::move(ref->box), std::move(ref->deviceKey), std::move(device)};
    }
    case TopicKind::Ack:
        return Ignored{};
    }
    return Ignored{};
}

} // namespace Fleet
