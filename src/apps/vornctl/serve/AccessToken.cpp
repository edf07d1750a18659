#include "AccessToken.h"

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

namespace Vornctl::Serve {
namespace {

constexpr std::size_t minimumLength = 32;

bool tokenCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

// The file opened for reading. Windows refuses the open for a moment while another
// process moves a file onto that name (another start creating the same token file):
// an existing file is tried again for up to half a second.
std::ifstream openTokenFile(const std::string& path) {
    for (int attempt = 0;; ++attempt) {
        std::ifstream file(path, std::ios::binary);
        std::error_code missing;
        if (file || attempt == 25 || !std::filesystem::exists(path, missing))
            return file;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

} // namespace

std::string newAccessToken() {
    std::array<unsigned char, 24> bytes{};
    systemRandom(bytes.data(), bytes.size());
    static constexpr char digits[] = "0123456789abcdef";
    std::string token;
    for (unsigned char byte : bytes) {
        token += digits[byte >> 4];
        token += digits[byte & 0x0F];
    }
    return token;
}

std::optional<std::string> readAccessToken(const std::string& path, std::string& error) {
    std::ifstream file = openTokenFile(path);
    std::string line;
    if (!file || !std::getline(file, line)) {
        error = "cannot read the token file " + path;
        return std::nullopt;
    }
    const auto first = line.find_first_not_of(" \t\r");
    const auto last = line.find_last_not_of(" \t\r");
    const std::string token =
        first == std::string::npos ? "" : line.substr(first, last - first + 1);
    if (token.size() < minimumLength) {
        error = "the token in " + path + " is shorter than " + std::to_string(minimumLength) +
                " characters";
        return std::nullopt;
    }
    for (char c : token)
        if (!tokenCharacter(c)) {
            error =
                "the token in " + path + " holds a character other than letters, digits and -._~";
            return std::nullopt;
        }
    return token;
}

bool sameToken(std::string_view given, std::string_view expected) {
    // Every byte of the expected token is looked at whatever the given one holds.
    unsigned difference = given.size() == expected.size() ? 0u : 1u;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const char other = i < given.size() ? given[i] : '\0';
        difference |= static_cast<unsigned char>(other ^ expected[i]);
    }
    return difference == 0 && !expected.empty();
}

} // namespace Vornctl::Serve
