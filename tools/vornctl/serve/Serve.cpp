#include "Serve.h"

#include "AccessToken.h"
#include "AddressWatch.h"
#include "Commands.h"
#include "Enumerator.h"
#include "HttpServer.h"
#include "ReloadSignal.h"
#include "ServeApi.h"
#include "ServeController.h"
#include "Session.h"
#include "StopSignal.h"
#include "TokenFile.h"

#include <atomic>
#include <ostream>

namespace Vornctl::Serve {
namespace {

AdapterInfo adapterOf(const std::string& address) {
    Enumerator adapters;
    for (unsigned i = 0; i < adapters.adapterCount(); ++i) {
        AdapterInfo adapter = adapters.adapterAt(i);
        if (adapter.ipAddress == address)
            return adapter;
    }
    AdapterInfo unlisted;
    unlisted.ipAddress = address;
    return unlisted;
}

// SIGHUP: the token file's token replaces the one served; links and cookies of
// the old one are refused from then on. A file that cannot be used leaves the
// old token in place, and says so.
void reloadToken(HttpServer& server, const std::string& path, Console& console) {
    std::string error;
    const auto token = loadTokenFile(path, error);
    if (!token) {
        console.err << "Error: " << error << "; the token in use is kept." << std::endl;
        return;
    }
    server.setToken(*token);
    console.err << "the token of " << path << " is in use" << std::endl;
}

} // namespace

bool parseListen(const std::string& text, std::string& host, unsigned short& port) {
    const auto colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == text.size() ||
        text.size() - colon - 1 > 5)
        return false;
    unsigned value = 0;
    for (char c : text.substr(colon + 1)) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 65535)
        return false;
    host = text.substr(0, colon);
    if (host.size() > 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    port = static_cast<unsigned short>(value);
    return true;
}

int serve(Session& session, const Options& options, Console& console) {
    ServerConfig config;
    const std::string listen = options.listen.empty() ? "127.0.0.1:8017" : options.listen;
    if (!parseListen(listen, config.host, config.port)) {
        reportError(console,
                    "--listen expects HOST:PORT, as in 127.0.0.1:8017, not \"" + listen + "\"");
        return Exit::usage;
    }
    config.allowHosts = options.allowHosts;
    if (options.tokenFile.empty()) {
        config.token = newAccessToken();
    } else {
        std::string error;
        const auto token = loadTokenFile(options.tokenFile, error);
        if (!token) {
            reportError(console, error);
            return Exit::usage;
        }
        config.token = *token;
    }

    std::optional<HttpServer> server;
    try {
        server.emplace(config);
    } catch (const std::exception& failure) {
        reportError(console, failure.what());
        return Exit::failed;
    }
    ServeController controller(session);
    ServeApi api(controller, adapterOf(options.interfaceAddress), journalPath(options));
    console.out << "serving " << server->origin() << "/?token=" << config.token << std::endl;
    if (console.stop)
        console.stop->listen([&server] { server->stop(); });
    ReloadSignal::Membership tokenReload;
    if (console.reload && !options.tokenFile.empty())
        tokenReload = console.reload->join(
            "token file", [&] { reloadToken(*server, options.tokenFile, console); });

    // An adapter's address that goes away takes the devices' replies with it:
    // serve ends, and the service manager starts it again on the new address.
    std::atomic<bool> addressChanged{false};
    std::optional<AddressWatch> watch;
    if (!options.interfaceName.empty())
        watch.emplace(options.interfaceName, options.interfaceAddress, adapterPollInterval,
                      &lookUpSystemAdapter, [&](const std::string& why) {
                          console.err << "Error: " << why
                                      << "; serve ends, to be started again on the new address."
                                      << std::endl;
                          addressChanged = true;
                          server->stop();
                      });
    server->run(api);
    watch.reset();
    tokenReload = {};
    if (console.stop)
        console.stop->listen({});
    return addressChanged ? Exit::addressChanged : Exit::success;
}

} // namespace Vornctl::Serve
