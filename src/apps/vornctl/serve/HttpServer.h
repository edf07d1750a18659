#pragma once

#include "ApiRoute.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// vornctl serve's HTTP/1.1 and WebSocket server (Boost.Beast, kept inside
// HttpServer.cpp), plain or over TLS. It enforces the limits and the request
// guard (RequestGuard.h), serves the page, and hands the API's requests to a
// RequestHandler.
namespace Vornctl::Serve {

class AccessControl;
class EventQueue;

struct ApiResponse {
    int status = 200;
    std::string contentType = "application/json";
    std::string body;
};
// Called once, from any thread, also after the server has gone (then nothing happens).
using Reply = std::function<void(ApiResponse)>;

class RequestHandler {
public:
    virtual ~RequestHandler() = default;
    // An API request that passed the guard (not Events).
    virtual void handle(const Route& route, std::string_view contentType, std::string body,
                        Reply reply) = 0;
    // A live-push client (GET /api/events); see DeviceHub::subscribe.
    virtual std::shared_ptr<EventQueue> subscribe(bool all, std::function<void()> wake) = 0;
};

// A certificate (a chain allowed) and its key, PEM files.
struct TlsFiles {
    std::filesystem::path certificate;
    std::filesystem::path key;
};

struct ServerConfig {
    std::string host = "127.0.0.1"; // an IPv4 or IPv6 address
    unsigned short port = 8017;     // 0: the system chooses
    // The addresses a link names (a wildcard's adapter addresses), the first
    // first; empty: `host`.
    std::vector<std::string> linkHosts;
    std::string token;
    // Who may come in besides the holder of `token` (whose token it then
    // holds itself); none: the holder of `token` alone.
    std::shared_ptr<AccessControl> access;
    // A line for the person at the box (each refused token, say); any thread.
    std::function<void(const std::string&)> log;
    std::vector<std::string> allowHosts; // --allow-host
    std::optional<TlsFiles> tls;         // HTTPS with these; plain HTTP without
    std::string authorityPem;            // served as GET /ca.crt; empty: 404
    // Connections: at most maxConnections, of which reservedForToken are kept
    // for connections that have shown the token (live push included); one
    // address holds at most perAddressLimit connections that have not (yet).
    // When the room for those is full, the oldest of them makes way.
    std::size_t maxConnections = 64;
    std::size_t reservedForToken = 16;
    std::size_t perAddressLimit = 8;
    std::size_t headerLimit = 8 * 1024;
    std::size_t bodyLimit = 1024 * 1024;
    std::chrono::milliseconds handshakeTimeout{5000}; // TLS, from the accept
    std::chrono::milliseconds headTimeout{5000}; // a connection's request head before the token
    std::chrono::seconds requestTimeout{30};     // afterwards: each request's head and body
};

class HttpServer {
public:
    // Listens at once. Throws std::runtime_error (with a message for a person)
    // when the address is unusable or taken.
    explicit HttpServer(ServerConfig config);
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    unsigned short port() const;
    // "http://HOST:PORT" or "https://HOST:PORT" of the first link host.
    std::string origin() const;
    // The same for each link host, the first first.
    std::vector<std::string> origins() const;
    bool secure() const;
    // SHA-256 of the served certificate's DER, "AB:CD:..."; empty without TLS.
    std::string certificateFingerprint() const;
    // Reads the certificate and key files again: connections accepted
    // afterwards use them, open ones go on. Any thread. Throws
    // std::runtime_error naming the file (the old pair stays) when they cannot
    // be used, or when the server has no TLS.
    void reloadCertificate();

    // Serves on the calling thread until stop().
    void run(RequestHandler& handler);
    // Closes the listener and every connection; run() returns. Any thread, idempotent.
    void stop();
    // From now on serve's own token is `token`; every connection that showed
    // the old one is closed, so a live push opened with it ends too. Any thread.
    void setToken(std::string token);
    // Closes every connection of the person `name` at once (their access
    // ended): a live push gets the close code 1008 first. Any thread.
    void endAccess(std::string name);
    // Connections open now (HTTP and WebSocket).
    std::size_t connections() const;

    class Impl; // the listener and the connections, in HttpServer.cpp

private:
    std::unique_ptr<Impl> impl_;
};

} // namespace Vornctl::Serve
