#include "FleetTopics.h"

#include <algorithm>

namespace Fleet {
namespace {

bool lowerHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
}

bool allLowerHex(std::string_view text) {
    return std::all_of(text.begin(), text.end(), lowerHex);
}

std::string topicOf(std::string_view box, std::string_view rest) {
    std::string topic(topicRoot);
    topic.append(box);
    topic += '/';
    topic.append(rest);
    return topic;
}

} // namespace

const char* const topicRoot = "vorn/v1/box/";

bool validBoxName(std::string_view name) {
    if (name.empty() || name.size() > 63 || name.front() == '-')
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-';
    });
}

std::string statusTopic(std::string_view box) {
    return topicOf(box, "status");
}

std::string deviceTopic(std::string_view box, std::string_view deviceKey) {
    return topicOf(box, "devices/" + std::string(deviceKey));
}

std::string journalTopic(std::string_view box) {
    return topicOf(box, "journal");
}

std::string ackTopic(std::string_view box) {
    return topicOf(box, "journal/ack");
}

std::optional<TopicRef> parseTopic(std::string_view topic) {
    const std::string_view root(topicRoot);
    if (topic.substr(0, root.size()) != root)
        return std::nullopt;
    topic.remove_prefix(root.size());
    const std::size_t slash = topic.find('/');
    if (slash == std::string_view::npos)
        return std::nullopt;
    TopicRef ref;
    ref.box = std::string(topic.substr(0, slash));
    if (!validBoxName(ref.box))
        return std::nullopt;
    const std::string_view rest = topic.substr(slash + 1);
    const std::string_view devices = "devices/";
    if (rest == "status")
        ref.kind = TopicKind::Status;
    else if (rest == "journal")
        ref.kind = TopicKind::Journal;
    else if (rest == "journal/ack")
        ref.kind = TopicKind::Ack;
    else if (rest.substr(0, devices.size()) == devices && rest.size() == devices.size() + 16 &&
             allLowerHex(rest.substr(devices.size()))) {
        ref.kind = TopicKind::Device;
        ref.deviceKey = std::string(rest.substr(devices.size()));
    } else
        return std::nullopt;
    return ref;
}

std::optional<std::string> deviceKeyOf(std::string_view id) {
    std::string key;
    if (id.size() != 17 || id[8] != ':')
        return std::nullopt;
    for (std::size_t i = 0; i < id.size(); ++i) {
        if (i == 8)
            continue;
        const char c = id[i] >= 'A' && id[i] <= 'F' ? static_cast<char>(id[i] - 'A' + 'a') : id[i];
        if (!lowerHex(c))
            return std::nullopt;
        key += c;
    }
    return key;
}

std::optional<std::string> deviceIdOf(std::string_view key) {
    if (key.size() != 16 || !allLowerHex(key))
        return std::nullopt;
    return std::string(key.substr(0, 8)) + ":" + std::string(key.substr(8));
}

} // namespace Fleet
