#pragma once

#include <optional>
#include <string>
#include <string_view>

// The secret that vornctl serve asks of every browser and API client.
namespace Vornctl::Serve {

// A new token: 192 bits from the system's random source as 48 lowercase hex
// digits. Throws std::runtime_error when the source cannot be read.
std::string newAccessToken();

// The token from the first line of `path` (surrounding blanks and the line end
// removed). It must hold at least 32 characters, each a letter, a digit or one
// of "-._~" (so it travels in a cookie and a header unchanged). Nothing, with
// `error` set, when the file cannot be read or the token is unusable.
std::optional<std::string> readAccessToken(const std::string& path, std::string& error);

// Compares in time that depends on the lengths only, not on where the texts differ.
bool sameToken(std::string_view given, std::string_view expected);

// Fills `size` bytes from the system's random source (getrandom / BCryptGenRandom).
// Throws std::runtime_error when it cannot.
void systemRandom(unsigned char* bytes, std::size_t size);

} // namespace Vornctl::Serve
