#pragma once

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

// vornctl serve on a started session whose events are published, with the
// options' --listen, --token-file and --allow-host: prints "serving
// http://HOST:PORT/?token=TOKEN" and serves until the console's stop signal.
// Returns the exit status.
int serve(DeviceSession& session, const Options& options, Console& console);

} // namespace Vornctl::Serve
