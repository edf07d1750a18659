#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

class DeviceSession;

namespace Vornctl {
struct Console;
struct Options;
} // namespace Vornctl

namespace Vornctl::Serve {

// HOST:PORT ("[::1]:8017" for IPv6) into its parts; false when it is not one.
bool parseListen(const std::string& text, std::string& host, unsigned short& port);

// The access file of a serve with these options: --access-file, else
// "access.json" beside the token file (--token-file), else beside the journal.
// Throws Journal::JournalError when the system names no place for the journal.
std::filesystem::path accessFilePath(const Options& options);

// What serve's links start with for these options ("https://192.168.1.20:8017",
// one for each adapter address of a wildcard --listen, the first first), or
// nothing, with `error` set, when --listen is not HOST:PORT.
std::optional<std::vector<std::string>> linkOrigins(const Options& options, std::string& error);

// vornctl serve on a started session whose events are published, with the
// options' --listen, --token-file and --allow-host: prints "serving
// http://HOST:PORT/?token=TOKEN" and serves until the console's stop signal.
// Returns the exit status.
int serve(DeviceSession& session, const Options& options, Console& console);

} // namespace Vornctl::Serve
