// What the fleet's archive makes of a message from the broker: any topic and
// payload. Properties: the box is always the topic's, whatever the payload
// names; a journal record accepted is numbered, within the size bound, kept
// byte for byte and reads back the same when written again; a device state is
// stored only under its own device's topic.
//
// Input: the topic, a line break, the payload.

#include "FuzzCheck.h"

#include "FleetMessage.h"
#include "FleetTopics.h"

#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(bytes), size);
    const std::size_t split = input.find('\n');
    if (split == std::string_view::npos)
        return 0;
    const std::string_view topic = input.substr(0, split);
    const std::string_view payload = input.substr(split + 1);
    const auto ref = Fleet::parseTopic(topic);
    const Fleet::Arrival arrival = Fleet::classifyArrival(topic, payload);
    if (!ref) {
        FUZZ_CHECK(std::holds_alternative<Fleet::Ignored>(arrival));
        return 0;
    }
    FUZZ_CHECK(Fleet::validBoxName(ref->box));
    FUZZ_CHECK(Fleet::parseTopic(Fleet::statusTopic(ref->box))->box == ref->box);
    if (const auto* record = std::get_if<Fleet::JournalArrival>(&arrival)) {
        FUZZ_CHECK(ref->kind == Fleet::TopicKind::Journal);
        FUZZ_CHECK(record->box == ref->box);
        FUZZ_CHECK(record->message.sequence > 0);
        FUZZ_CHECK(record->message.line == payload);
        FUZZ_CHECK(payload.size() <= Fleet::maximumJournalPayload);
        const std::string again = std::visit(
            [](const auto& one) { return Journal::formatRecord(one); }, record->message.record);
        const auto reread = Fleet::decodeJournalPayload(again);
        const auto* message = std::get_if<Fleet::JournalMessage>(&reread);
        FUZZ_CHECK(message && message->sequence == record->message.sequence);
    } else if (const auto* device = std::get_if<Fleet::DeviceArrival>(&arrival)) {
        FUZZ_CHECK(device->box == ref->box && device->deviceKey == ref->deviceKey);
        FUZZ_CHECK(!device->device || Fleet::deviceKeyOf(device->device->id) == ref->deviceKey);
        if (device->device) {
            const auto again = Fleet::parseDeviceState(Fleet::formatDeviceState(*device->device));
            FUZZ_CHECK(again && *again == *device->device);
        }
    } else if (const auto* status = std::get_if<Fleet::StatusArrival>(&arrival)) {
        FUZZ_CHECK(status->box == ref->box && ref->kind == Fleet::TopicKind::Status);
    } else if (const auto* rejected = std::get_if<Fleet::Rejected>(&arrival)) {
        FUZZ_CHECK(rejected->box == ref->box);
    } else if (const auto* cleared = std::get_if<Fleet::StatusCleared>(&arrival)) {
        FUZZ_CHECK(cleared->box == ref->box && payload.empty());
    }
    return 0;
}
