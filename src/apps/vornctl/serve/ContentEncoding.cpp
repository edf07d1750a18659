#include "ContentEncoding.h"

#include <algorithm>
#include <cctype>

namespace Vornctl::Serve {
namespace {

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

bool sameText(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) ==
               std::tolower(static_cast<unsigned char>(y));
    });
}

// The quality of one list element's parameters ("q=0.5"); 1 without one, 0
// for a value that is not a quality (0, 0.0 to 0.000, 1, 1.0 to 1.000).
bool positiveQuality(std::string_view parameters) {
    while (!parameters.empty()) {
        const auto semicolon = parameters.find(';');
        const std::string_view parameter = trim(parameters.substr(0, semicolon));
        parameters.remove_prefix(semicolon == std::string_view::npos ? parameters.size()
                                                                     : semicolon + 1);
        const auto equals = parameter.find('=');
        if (equals == std::string_view::npos || !sameText(trim(parameter.substr(0, equals)), "q"))
            continue;
        const std::string_view value = trim(parameter.substr(equals + 1));
        if (value.empty() || value.size() > 5 || (value[0] != '0' && value[0] != '1'))
            return false;
        if (value.size() > 1 && value[1] != '.')
            return false;
        bool nonZero = value[0] == '1';
        for (std::size_t i = 2; i < value.size(); ++i) {
            if (value[i] < '0' || value[i] > '9')
                return false;
            nonZero = nonZero || value[i] != '0';
        }
        return nonZero;
    }
    return true;
}

} // namespace

bool acceptsGzip(std::optional<std::string_view> acceptEncoding) {
    if (!acceptEncoding)
        return false;
    std::optional<bool> named;    // gzip named, with a quality above 0
    std::optional<bool> wildcard; // "*"
    std::string_view list = *acceptEncoding;
    while (!list.empty()) {
        const auto comma = list.find(',');
        const std::string_view element = list.substr(0, comma);
        list.remove_prefix(comma == std::string_view::npos ? list.size() : comma + 1);
        const auto semicolon = element.find(';');
        const std::string_view coding = trim(element.substr(0, semicolon));
        const bool positive =
            positiveQuality(semicolon == std::string_view::npos ? std::string_view{}
                                                                : element.substr(semicolon + 1));
        if (sameText(coding, "gzip") || sameText(coding, "x-gzip"))
            named = named.value_or(false) || positive;
        else if (coding == "*")
            wildcard = positive;
    }
    return named ? *named : wildcard.value_or(false);
}

} // namespace Vornctl::Serve
