#include "Serve.h"

#include "AccessControl.h"
#include "AccessToken.h"
#include "AccessWatch.h"
#include "AddressWatch.h"
#include "Commands.h"
#include "DeviceSession.h"
#include "FleetReport.h"
#include "HttpServer.h"
#include "JournalPlace.h"
#include "LocalAuthority.h"
#include "QrCode.h"
#include "ReloadSignal.h"
#include "Reports.h"
#include "ServeApi.h"
#include "ServeController.h"
#include "StopSignal.h"
#include "TokenFile.h"
#include "transport/Enumerator.h"

#include <atomic>
#include <boost/asio/ip/address.hpp>

#include <mutex>
#include <ostream>

namespace Vornctl::Serve {
namespace {

Network::AdapterInfo adapterOf(const std::string& address) {
    Network::Enumerator adapters;
    for (unsigned i = 0; i < adapters.adapterCount(); ++i) {
        Network::AdapterInfo adapter = adapters.adapterAt(i);
        if (adapter.ipAddress == address)
            return adapter;
    }
    Network::AdapterInfo unlisted;
    unlisted.ipAddress = address;
    return unlisted;
}

// SIGHUP: the token file's token replaces the one served; links and cookies of
// the old one are refused from then on. A file that cannot be used leaves the
// old token in place, and says so.
void reloadToken(HttpServer& server, ServeApi& api, const std::string& path, Console& console) {
    std::string error;
    const auto token = loadTokenFile(path, error);
    if (!token) {
        console.err << "Error: " << error << "; the token in use is kept." << std::endl;
        return;
    }
    server.setToken(*token);
    api.setLink(server.origins().front() + "/?token=" + *token);
    console.err << "the token of " << path << " is in use" << std::endl;
}

// How often a running serve looks at its access file: a link revoked there is
// refused within a second.
constexpr std::chrono::milliseconds accessPollInterval{250};

// The IPv4 addresses of the machine's adapters, loopback left out, in the
// system's order; empty when there is none or the list cannot be read.
std::vector<std::string> adapterAddresses() {
    std::vector<std::string> addresses;
    try {
        Network::Enumerator adapters;
        for (unsigned i = 0; i < adapters.adapterCount(); ++i) {
            const std::string address = adapters.adapterAt(i).ipAddress;
            boost::system::error_code error;
            const auto parsed = boost::asio::ip::make_address(address, error);
            if (error || parsed.is_loopback() || parsed.is_unspecified())
                continue;
            if (std::find(addresses.begin(), addresses.end(), address) == addresses.end())
                addresses.push_back(address);
        }
    } catch (const std::exception&) {
        addresses.clear(); // the caller falls back to loopback
    }
    return addresses;
}

// The names a certificate of serve's own authority is issued for: the
// addresses of the links, this computer's name, the --allow-host names.
std::vector<std::string> certificateNamesFor(const ServerConfig& config) {
    std::vector<std::string> names = config.linkHosts;
    names.push_back(Journal::hostName());
    for (const std::string& host : config.allowHosts) {
        const auto colon = host.rfind(':');
        names.push_back(
            colon == std::string::npos || host.find(':') != colon ? host : host.substr(0, colon));
    }
    return names;
}

void reportNotices(Console& console, const LocalCertificate& local) {
    for (const std::string& notice : local.notices)
        console.err << "Notice: " << notice << std::endl;
}

// The link as a QR code under the serving line(s), for a tablet's camera.
void printLinkQr(Console& console, const std::string& link) {
    if (const auto code = QrCode::encode(link))
        console.out << code->halfBlocks() << std::flush;
    else
        console.err << "vornctl: the link does not fit in a QR code; type it instead" << std::endl;
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

std::filesystem::path accessFilePath(const Options& options) {
    if (!options.accessFile.empty())
        return options.accessFile;
    const std::filesystem::path beside =
        options.tokenFile.empty() ? journalPath(options) : std::filesystem::path(options.tokenFile);
    return beside.parent_path() / "access.json";
}

std::optional<std::vector<std::string>> linkOrigins(const Options& options, std::string& error) {
    std::string host;
    unsigned short port = 0;
    const std::string listen = options.listen.empty() ? "127.0.0.1:8017" : options.listen;
    boost::system::error_code invalid;
    const auto address = parseListen(listen, host, port)
                             ? boost::asio::ip::make_address(host, invalid)
                             : boost::asio::ip::address();
    if (host.empty() || invalid) {
        error = "--listen expects HOST:PORT, as in 127.0.0.1:8017, not \"" + listen + "\"";
        return std::nullopt;
    }
    std::vector<std::string> hosts{host};
    if (address.is_unspecified()) {
        hosts = adapterAddresses();
        if (hosts.empty())
            hosts.push_back(address.is_v6() ? "::1" : "127.0.0.1");
    }
    const bool tls =
        !options.tlsCertificate.empty() || (!address.is_loopback() && !options.insecureHttp);
    std::vector<std::string> origins;
    for (const std::string& name : hosts)
        origins.push_back(std::string(tls ? "https://" : "http://") +
                          (name.find(':') != std::string::npos ? "[" + name + "]" : name) + ":" +
                          std::to_string(port));
    return origins;
}

int serve(DeviceSession& session, const Options& options, Console& console) {
    ServerConfig config;
    const std::string listen = options.listen.empty() ? "127.0.0.1:8017" : options.listen;
    if (!parseListen(listen, config.host, config.port)) {
        reportError(console,
                    "--listen expects HOST:PORT, as in 127.0.0.1:8017, not \"" + listen + "\"");
        return Exit::usage;
    }
    config.allowHosts = options.allowHosts;
    if (options.tlsCertificate.empty() != options.tlsKey.empty()) {
        reportError(console, "--tls-cert and --tls-key go together");
        return Exit::usage;
    }
    const bool certificateGiven = !options.tlsCertificate.empty();
    if (options.insecureHttp && certificateGiven) {
        reportError(console, "--insecure-http and --tls-cert exclude each other");
        return Exit::usage;
    }
    boost::system::error_code invalid;
    const auto address = boost::asio::ip::make_address(config.host, invalid);
    if (invalid) {
        reportError(console,
                    "cannot listen on \"" + config.host + "\": not an IPv4 or IPv6 address");
        return Exit::usage;
    }
    if (address.is_unspecified()) {
        config.linkHosts = adapterAddresses();
        if (config.linkHosts.empty())
            config.linkHosts.push_back(address.is_v6() ? "::1" : "127.0.0.1");
    }
    const bool tls = certificateGiven || (!address.is_loopback() && !options.insecureHttp);
    if (!tls && !address.is_loopback())
        console.err << "Warning: serving plain HTTP on " << listen
                    << " (--insecure-http): the token and every serial number cross the "
                       "network readable by anyone on it"
                    << std::endl;
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
    // The people of the access file come in with their own links.
    auto access = std::make_shared<AccessControl>(config.token);
    std::filesystem::path accessFile;
    try {
        accessFile = accessFilePath(options);
        std::string error;
        if (!AccessWatch::load(accessFile, *access, error)) {
            reportError(console, error);
            return Exit::usage;
        }
    } catch (const std::exception& failure) {
        reportError(console, failure.what());
        return Exit::usage;
    }
    config.access = access;
    // One line at a time from any thread: refused tokens, ended access.
    auto logMutex = std::make_shared<std::mutex>();
    config.log = [logMutex, &console](const std::string& line) {
        const std::lock_guard lock(*logMutex);
        console.err << line << std::endl;
    };

    // Without a certificate of its own, serve's authority issues one, kept
    // beside the journal.
    std::optional<std::filesystem::path> ownFolder;
    std::string authorityFingerprint;
    std::optional<HttpServer> server;
    try {
        if (certificateGiven) {
            config.tls = TlsFiles{options.tlsCertificate, options.tlsKey};
        } else if (tls) {
            if (config.linkHosts.empty())
                config.linkHosts.push_back(config.host);
            ownFolder = journalPath(options).parent_path() / "tls";
            const LocalCertificate local =
                ensureLocalCertificate(*ownFolder, certificateNamesFor(config));
            reportNotices(console, local);
            config.tls = TlsFiles{local.certificateFile, local.keyFile};
            config.authorityPem = local.authorityPem;
            authorityFingerprint = local.authorityFingerprint;
        }
        server.emplace(config);
    } catch (const std::exception& failure) {
        reportError(console, failure.what());
        return Exit::failed;
    }
    ServeController controller(session);
    const std::string link = server->origins().front() + "/?token=" + config.token;
    const Network::AdapterInfo adapter = adapterOf(options.interfaceAddress);
    ServeApi api(controller, adapter, journalPath(options), link);
    // The fleet's box: gone before the controller whose devices it reports.
    std::unique_ptr<FleetReport> report;
    try {
        report = startFleetReport(options, controller, adapter.ipAddress, console);
    } catch (const std::invalid_argument& failure) {
        reportError(console, failure.what());
        return Exit::usage;
    } catch (const std::exception& failure) {
        reportError(console, failure.what());
        return Exit::failed;
    }
    api.setCertificate(server->certificateFingerprint(), authorityFingerprint);
    api.showAccess(*access);
    for (const std::string& origin : server->origins())
        console.out << "serving " << origin << "/?token=" << config.token << "\n";
    if (server->secure())
        console.out << "certificate SHA-256 " << server->certificateFingerprint() << "\n";
    if (!authorityFingerprint.empty())
        console.out << "authority SHA-256 " << authorityFingerprint << "\n";
    console.out.flush();
    if (console.outTerminal || options.qr)
        printLinkQr(console, link);
    config.log("access file " + accessFile.string() + ": " +
               std::to_string(access->figures().people) + " people with a link of their own");
    // A person whose access ends is shut out at once, their open pages included.
    std::optional<AccessWatch> accessWatch;
    accessWatch.emplace(
        accessFile, *access, accessPollInterval,
        [&server, log = config.log](const std::string& name, const std::string& why) {
            log("Notice: the access of " + name + " ended (" + why +
                "); their connections are closed");
            server->endAccess(name);
        },
        [log = config.log](const std::string& problem) { log("Error: " + problem); });

    // A reload reads the certificate and key again; serve's own authority
    // first issues a new one when the old one has expired or nearly.
    ReloadSignal::Membership reloading;
    if (server->secure() && console.reload)
        reloading = console.reload->join(
            "certificate", [&server, &console, &config, &api, ownFolder, authorityFingerprint] {
                if (ownFolder)
                    reportNotices(console,
                                  ensureLocalCertificate(*ownFolder, certificateNamesFor(config)));
                server->reloadCertificate();
                api.setCertificate(server->certificateFingerprint(), authorityFingerprint);
                console.err << "Notice: reloaded the certificate, SHA-256 "
                            << server->certificateFingerprint() << std::endl;
            });
    if (console.stop)
        console.stop->listen([&server] { server->stop(); });
    ReloadSignal::Membership tokenReload;
    if (console.reload && !options.tokenFile.empty())
        tokenReload = console.reload->join(
            "token file", [&] { reloadToken(*server, api, options.tokenFile, console); });
    ReloadSignal::Membership passwordReload;
    if (console.reload && report)
        passwordReload = console.reload->join("report password", [&] { report->reloadPassword(); });

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
    accessWatch.reset();
    watch.reset();
    passwordReload = {};
    report.reset(); // offline, said to the broker
    tokenReload = {};
    if (console.stop)
        console.stop->listen({});
    reloading = ReloadSignal::Membership();
    return addressChanged ? Exit::addressChanged : Exit::success;
}

} // namespace Vornctl::Serve
