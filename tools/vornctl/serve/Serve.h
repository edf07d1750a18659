#pragma once

#include <string>
#include <vector>

namespace Vornctl {
class Session;
struct Console;
struct Options;
} // namespace Vornctl

namespace Vornctl::Serve {

struct ServeSettings {
    std::string listen = "127.0.0.1:8017"; // --listen HOST:PORT
    std::string tokenFile;                 // --token-file; empty: a new token
    std::vector<std::string> allowHosts;   // --allow-host
};

// HOST:PORT ("[::1]:8017" for IPv6) into its parts; false when it is not one.
bool parseListen(const std::string& text, std::string& host, unsigned short& port);

// vornctl serve on a started session whose events are published: prints
// "serving http://HOST:PORT/?token=TOKEN" and serves until the console's stop
// signal. Returns the exit status.
int serve(Session& session, const Options& options, const ServeSettings& settings,
          Console& console);

} // namespace Vornctl::Serve
