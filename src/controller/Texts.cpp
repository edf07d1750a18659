#include "Texts.h"

#include <cctype>
#include <cstdio>

bool isServicedType(unsigned deviceType) {
    return deviceType >= 10 && deviceType <= 13;
}

std::string formatDeviceId(std::uint64_t id) {
    char text[18];
    std::snprintf(text, sizeof text, "%08x:%08x", static_cast<unsigned>(id >> 32),
                  static_cast<unsigned>(id & 0xFFFFFFFFu));
    return text;
}

std::string formatSerial(std::uint32_t serial) {
    return std::to_string(static_cast<std::int32_t>(serial));
}

std::string fillSerial(std::string_view pattern, std::string_view serialText) {
    std::string text(pattern);
    const std::string_view placeholder = Text::serialPlaceholder;
    const auto at = text.find(placeholder);
    if (at != std::string::npos)
        text.replace(at, placeholder.size(), serialText);
    return text;
}

std::string formatCurrentSerial(std::uint32_t serial) {
    return fillSerial(Text::currentSerial, formatSerial(serial));
}

std::optional<int> parseSerial(std::string_view text) {
    std::size_t at = 0;
    while (at < text.size() && std::isspace(static_cast<unsigned char>(text[at])))
        ++at;
    bool negative = false;
    if (at < text.size() && (text[at] == '+' || text[at] == '-'))
        negative = text[at++] == '-';
    if (at >= text.size() || !std::isdigit(static_cast<unsigned char>(text[at])))
        return std::nullopt;
    // Unsigned arithmetic: the 32-bit result of an overflowing number, as the
    // system's scanf gives it, without undefined behaviour.
    std::uint32_t value = 0;
    for (; at < text.size() && std::isdigit(static_cast<unsigned char>(text[at])); ++at)
        value = value * 10u + static_cast<std::uint32_t>(text[at] - '0');
    if (negative)
        value = 0u - value;
    return static_cast<int>(value);
}
