#include "JournalTime.h"

#include <cstdio>

namespace Journal {
namespace {

// Reads exactly `count` digits at `text[at]`; advances `at`.
std::optional<int> digits(std::string_view text, std::size_t& at, std::size_t count) {
    if (at + count > text.size())
        return std::nullopt;
    int value = 0;
    for (std::size_t i = 0; i < count; ++i) {
        const char c = text[at + i];
        if (c < '0' || c > '9')
            return std::nullopt;
        value = value * 10 + (c - '0');
    }
    at += count;
    return value;
}

bool expect(std::string_view text, std::size_t& at, char c) {
    if (at < text.size() && text[at] == c) {
        ++at;
        return true;
    }
    return false;
}

} // namespace

std::string formatUtc(SystemTime time) {
    using namespace std::chrono;
    const auto millis = floor<milliseconds>(time);
    const auto day = floor<days>(millis);
    const year_month_day date{day};
    const hh_mm_ss clock{millis - day};
    char text[40];
    std::snprintf(
        text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", static_cast<int>(date.year()),
        static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
        static_cast<int>(clock.hours().count()), static_cast<int>(clock.minutes().count()),
        static_cast<int>(clock.seconds().count()), static_cast<int>(clock.subseconds().count()));
    return text;
}

std::optional<SystemTime> parseUtc(std::string_view text) {
    using namespace std::chrono;
    std::size_t at = 0;
    const auto y = digits(text, at, 4);
    const bool dash1 = expect(text, at, '-');
    const auto m = digits(text, at, 2);
    const bool dash2 = expect(text, at, '-');
    const auto d = digits(text, at, 2);
    if (!y || !m || !d || !dash1 || !dash2)
        return std::nullopt;
    const year_month_day date{year(*y), month(static_cast<unsigned>(*m)),
                              day(static_cast<unsigned>(*d))};
    // The system clock counts nanoseconds from 1970: it ends in 2262.
    if (!date.ok() || *y < 1970 || *y > 2261)
        return std::nullopt;
    int hours = 0, minutes = 0, seconds = 0, millis = 0;
    if (expect(text, at, 'T') || expect(text, at, ' ')) {
        const auto h = digits(text, at, 2);
        const bool colon = expect(text, at, ':');
        const auto mi = digits(text, at, 2);
        if (!h || !colon || !mi || *h > 23 || *mi > 59)
            return std::nullopt;
        hours = *h;
        minutes = *mi;
        if (expect(text, at, ':')) {
            const auto s = digits(text, at, 2);
            if (!s || *s > 59)
                return std::nullopt;
            seconds = *s;
            if (expect(text, at, '.')) {
                // One to three digits of the fraction.
                int scale = 100;
                std::size_t count = 0;
                while (at < text.size() && text[at] >= '0' && text[at] <= '9' && count < 3) {
                    millis += (text[at++] - '0') * scale;
                    scale /= 10;
                    ++count;
                }
                if (count == 0)
                    return std::nullopt;
            }
        }
    }
    expect(text, at, 'Z');
    if (at != text.size())
        return std::nullopt;
    return sys_days(date) + std::chrono::hours(hours) + std::chrono::minutes(minutes) +
           std::chrono::seconds(seconds) + std::chrono::milliseconds(millis);
}

} // namespace Journal
