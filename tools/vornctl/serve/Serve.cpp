#include "Serve.h"

#include "AccessToken.h"
#include "Commands.h"
#include "Enumerator.h"
#include "HttpServer.h"
#include "QrCode.h"
#include "ServeApi.h"
#include "ServeController.h"
#include "Session.h"
#include "StopSignal.h"

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

// The link as a QR code under the serving line(s), for a tablet's camera.
void printLinkQr(Console& console, const std::string& link) {
    if (const auto code = QrCode::encode(link))
        console.out << code->halfBlocks() << std::flush;
    else
        console.err << "vornctl: this build draws no QR codes; type the link instead" << std::endl;
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
        const auto token = readAccessToken(options.tokenFile, error);
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
    const std::string link = server->origin() + "/?token=" + config.token;
    ServeApi api(controller, adapterOf(options.interfaceAddress), link);
    console.out << "serving " << link << std::endl;
    if (console.outTerminal || options.qr)
        printLinkQr(console, link);
    if (console.stop)
        console.stop->listen([&server] { server->stop(); });
    server->run(api);
    if (console.stop)
        console.stop->listen({});
    return Exit::success;
}

} // namespace Vornctl::Serve
