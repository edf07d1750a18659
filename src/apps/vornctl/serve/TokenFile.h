#pragma once

#include <optional>
#include <string>

// The token of --token-file, kept across runs so that the link a tablet holds
// stays good after a restart.
namespace Vornctl::Serve {

// The token of `path`: a file that does not exist is created with a new token
// (mode 0600, written whole under another name and then linked into place, so
// no reader ever sees it half written and two starts agree on one token); one
// that exists is read (readAccessToken) and refused when others than its owner
// may read it. Nothing, with `error` set for a person, when it cannot be used.
std::optional<std::string> loadTokenFile(const std::string& path, std::string& error);

} // namespace Vornctl::Serve
