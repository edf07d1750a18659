#pragma once

#include <optional>
#include <string>
#include <string_view>

// The fleet's topics, all under vorn/v1/box/{box}/: what a box publishes
// (status, devices/{id}, journal) and what the archive answers (journal/ack).
namespace Fleet {

// A box's name: 1 to 63 of [a-z0-9-], not starting with '-'. The broker's
// account of a box has the same name, and its ACL confines it to its subtree.
bool validBoxName(std::string_view name);

// "vorn/v1/box/"
extern const char* const topicRoot;
// Every box's topics, for a subscription: "vorn/v1/box/+/..."
std::string statusTopic(std::string_view box);
std::string deviceTopic(std::string_view box, std::string_view deviceKey);
std::string journalTopic(std::string_view box);
std::string ackTopic(std::string_view box);

enum class TopicKind { Status, Device, Journal, Ack };

struct TopicRef {
    std::string box;
    TopicKind kind = TopicKind::Status;
    std::string deviceKey; // Device only: 16 hex digits
};
// The box and kind of a topic of the fleet; none for any other topic, a box
// name that is not valid or a device key that is not 16 lower-case hex digits.
std::optional<TopicRef> parseTopic(std::string_view topic);

// A device's ID as the journal writes it ("00000100:00000001") and as a topic
// names it ("0000010000000001"); none when it is not one.
std::optional<std::string> deviceKeyOf(std::string_view id);
std::optional<std::string> deviceIdOf(std::string_view key);

} // namespace Fleet
