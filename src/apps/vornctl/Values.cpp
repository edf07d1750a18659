#include "Values.h"

namespace Vornctl {
namespace {

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::optional<std::uint64_t> parseDeviceId(std::string_view text) {
    if (text.size() != 17 || text[8] != ':')
        return std::nullopt;
    std::uint64_t id = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i == 8)
            continue;
        const int digit = hexDigit(text[i]);
        if (digit < 0)
            return std::nullopt;
        id = (id << 4) | static_cast<std::uint64_t>(digit);
    }
    return id;
}

std::optional<std::uint32_t> parseSerial(std::string_view text) {
    if (text.empty() || text.size() > 10)
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (!isDigit(c))
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > 0xFFFFFFFFull)
        return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

std::optional<std::chrono::milliseconds> parseWait(std::string_view text) {
    const auto point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction =
        point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    if (whole.empty() || whole.size() > 4 || (point != std::string_view::npos && fraction.empty()))
        return std::nullopt;
    std::int64_t seconds = 0;
    for (char c : whole) {
        if (!isDigit(c))
            return std::nullopt;
        seconds = seconds * 10 + (c - '0');
    }
    // Milliseconds from the first three fraction digits, rounded by the fourth.
    std::int64_t millis = 0;
    int scale = 100;
    bool roundUp = false;
    for (std::size_t i = 0; i < fraction.size(); ++i) {
        const char c = fraction[i];
        if (!isDigit(c))
            return std::nullopt;
        if (i < 3) {
            millis += (c - '0') * scale;
            scale /= 10;
        } else if (i == 3) {
            roundUp = c >= '5';
        }
    }
    const std::chrono::milliseconds total(seconds * 1000 + millis + (roundUp ? 1 : 0));
    if (total > maximumWait)
        return std::nullopt;
    return total;
}

std::string_view trim(std::string_view text) {
    constexpr std::string_view blanks = " \t\r\n";
    const auto first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

} // namespace Vornctl
