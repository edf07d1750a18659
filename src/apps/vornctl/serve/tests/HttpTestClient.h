#pragma once

// A client of vornctl serve for the tests: requests written as raw bytes (so
// that a test can send what no library would), answers parsed by Boost.Beast,
// and a WebSocket client for the live push. Every wait has a deadline.

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace ServeTest {

using namespace std::chrono_literals;

struct Response {
    int status = 0;
    std::map<std::string, std::string> headers; // names in lowercase
    std::string body;
    std::string header(const std::string& name) const {
        const auto found = headers.find(name);
        return found == headers.end() ? std::string() : found->second;
    }
};

// One TCP connection to 127.0.0.1:port.
class Connection {
public:
    explicit Connection(unsigned short port);
    // From the loopback address `from` (127.0.0.9, say: another client).
    Connection(unsigned short port, const std::string& from);
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    bool send(const std::string& bytes);
    // The next response; nothing when the connection ends or `timeout` passes
    // first. `toHead`: the answer to a HEAD, whose Content-Length announces
    // no body bytes that follow.
    std::optional<Response> read(std::chrono::milliseconds timeout = 10s, bool toHead = false);
    // True when the server closes the connection within `timeout` (what it
    // sends before is read and dropped).
    bool closedWithin(std::chrono::milliseconds timeout);

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

// "METHOD TARGET HTTP/1.1" with Host 127.0.0.1:port, the given header lines
// ("Name: value") and a Content-Length for the body.
std::string requestText(unsigned short port, const std::string& method, const std::string& target,
                        const std::vector<std::string>& headers = {}, const std::string& body = {});

// One request on a new connection.
std::optional<Response> exchange(unsigned short port, const std::string& method,
                                 const std::string& target,
                                 const std::vector<std::string>& headers = {},
                                 const std::string& body = {});

// A WebSocket client of GET /api/events.
class EventClient {
public:
    EventClient();
    ~EventClient();
    EventClient(const EventClient&) = delete;
    EventClient& operator=(const EventClient&) = delete;

    // The handshake with the given header lines; the status the server
    // answered (101 when upgraded).
    int connect(unsigned short port, const std::string& target,
                const std::vector<std::string>& headers);
    // The next event object (one line of a message); nothing when the stream
    // ends or `timeout` passes first.
    std::optional<std::string> next(std::chrono::milliseconds timeout = 10s);

private:
    class Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace ServeTest
