#include "SimText.h"

#include <cstdarg>
#include <cstdio>

namespace VornSim {

namespace {

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char* pattern, ...) {
    char text[512];
    va_list arguments;
    va_start(arguments, pattern);
    std::vsnprintf(text, sizeof text, pattern, arguments);
    va_end(arguments);
    return text;
}

std::string formatEndpoint(std::uint32_t address, std::uint16_t port) {
    return formatAddress(address) + ":" + std::to_string(port);
}

} // namespace

std::string formatId(std::uint64_t id) {
    return format("%08x:%08x", static_cast<unsigned>(id >> 32), static_cast<unsigned>(id));
}

std::string formatAddress(std::uint32_t address) {
    return format("%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF, (address >> 8) & 0xFF,
                  address & 0xFF);
}

std::string formatEvent(const SimEvent& e) {
    const std::string id = formatId(e.device);
    const std::string peer = formatEndpoint(e.address, e.port);
    switch (e.kind) {
    case EventKind::ToolHeard:
        return format("tool-heard address=%s port=%u", formatAddress(e.address).c_str(), e.port);
    case EventKind::ToolLost:
        return format("tool-lost address=%s port=%u", formatAddress(e.address).c_str(), e.port);
    case EventKind::Request:
        return format("request device=%s command=%u sequence=%u from=%s", id.c_str(), e.command,
                      e.sequence, peer.c_str());
    case EventKind::Dropped:
        return format("drop device=%s command=%u sequence=%u from=%s", id.c_str(), e.command,
                      e.sequence, peer.c_str());
    case EventKind::Ignored:
        return format("ignored destination=%s command=%u sequence=%u from=%s", id.c_str(),
                      e.command, e.sequence, peer.c_str());
    case EventKind::Reply:
        return format("reply device=%s command=%u sequence=%u to=%s bytes=%u", id.c_str(),
                      e.command, e.sequence, peer.c_str(), e.value);
    case EventKind::SerialSet:
        return format("serial-set device=%s value=%u", id.c_str(), e.value);
    case EventKind::WriteRefused:
        return format("write-refused device=%s value=%u", id.c_str(), e.value);
    case EventKind::Select:
        return format("select device=%s mark=%04x", id.c_str(), e.value);
    case EventKind::Unheard:
        return format("unheard device=%s command=%u sequence=%u from=%s", id.c_str(), e.command,
                      e.sequence, peer.c_str());
    case EventKind::ReplyLost:
        return format("reply-lost device=%s command=%u sequence=%u to=%s", id.c_str(), e.command,
                      e.sequence, peer.c_str());
    case EventKind::SendFailed:
        return format("send-failed device=%s command=%u to=%s", id.c_str(), e.command,
                      peer.c_str());
    }
    return "unknown";
}

std::string formatFaults(const Faults& f) {
    std::string text;
    auto add = [&text](const std::string& item) { text += (text.empty() ? "" : ",") + item; };
    if (f.dropProbability > 0)
        add(format("drop=%g", f.dropProbability));
    if (f.delayMs > 0)
        add("delay=" + std::to_string(f.delayMs));
    if (f.duplicate)
        add("duplicate");
    if (f.refuseWrites)
        add("refuse-writes");
    if (f.keepSerial)
        add("keep-serial");
    if (f.muteAfterWrite)
        add("mute-after-write");
    if (f.silent)
        add("silent");
    if (f.malformed)
        add("malformed");
    if (f.shortReplies)
        add("short");
    if (f.gone)
        add("gone");
    return text.empty() ? "none" : text;
}

std::string formatDevice(const DeviceReport& r) {
    std::string requests;
    for (const auto& [command, count] : r.requestCounts)
        requests +=
            (requests.empty() ? "" : ",") + std::to_string(command) + ":" + std::to_string(count);
    const std::string select = r.selectMark ? format("%04x", *r.selectMark) : "none";
    return format("device id=%s type=%u typeword=%u address=%s serial=%u mode=0x%x "
                  "changemarks=%d,%d wrapped=%d select=%s requests=%s replies=%llu "
                  "presence=%llu lose-replies=%u faults=%s name=",
                  formatId(r.setup.id).c_str(), r.setup.deviceType, r.setup.typeWord,
                  r.setup.address.c_str(), r.setup.serial, r.setup.modeFlags, r.setup.changeMarkA,
                  r.setup.changeMarkB, r.setup.wrapped ? 1 : 0, select.c_str(),
                  requests.empty() ? "none" : requests.c_str(),
                  static_cast<unsigned long long>(r.repliesSent),
                  static_cast<unsigned long long>(r.presenceSent), r.repliesToLose,
                  formatFaults(r.faults).c_str()) +
           r.setup.name;
}

std::string formatCounters(const Counters& c) {
    auto n = [](auto value) { return static_cast<unsigned long long>(value); };
    return format("counters datagrams=%llu tool-presence=%llu requests=%llu dropped=%llu "
                  "ignored=%llu replies=%llu presence=%llu send-errors=%llu tools=%llu",
                  n(c.datagrams), n(c.toolPresence), n(c.requests), n(c.dropped), n(c.ignored),
                  n(c.replies), n(c.presence), n(c.sendErrors), n(c.tools));
}

std::optional<std::uint32_t> parseAddress(const std::string& text) {
    // Four decimal numbers of 0..255 with at most three digits, three dots, nothing else.
    std::uint32_t address = 0;
    std::size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at >= text.size() || text[at] != '.')
                return std::nullopt;
            ++at;
        }
        const std::size_t first = at;
        unsigned value = 0;
        while (at < text.size() && at - first < 3 && text[at] >= '0' && text[at] <= '9')
            value = value * 10 + static_cast<unsigned>(text[at++] - '0');
        // No leading zeros: "010" would read as octal elsewhere.
        if (at == first || value > 255 || (at - first > 1 && text[first] == '0'))
            return std::nullopt;
        address = (address << 8) | value;
    }
    if (at != text.size())
        return std::nullopt;
    return address;
}

} // namespace VornSim
