#pragma once

#include "AccessFile.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Which of vornctl serve's resources a request names, from its method and
// target alone; pure, free of any HTTP library.
namespace Vornctl::Serve {

struct Route {
    enum class Kind {
        Page,        // "/": the page (asset "index.html")
        Asset,       // another file of the page
        Devices,     // GET /api/devices
        DevicesCsv,  // GET /api/devices.csv
        Interface,   // GET /api/interface
        SerialRead,  // GET /api/devices/ID/serial
        SerialWrite, // PUT /api/devices/ID/serial
        Select,      // POST /api/devices/ID/select
        Deselect,    // DELETE /api/devices/ID/select
        Journal,     // GET /api/devices/ID/journal
        Events,      // GET /api/events (WebSocket)
        Program,     // POST /api/program
        Metrics,     // GET /metrics (Prometheus' text format)
        LinkQr,      // GET /api/link.svg: the QR code of the link with the token
        Certificate, // GET /api/certificate: the SHA-256 of the certificate and authority
        Session,     // GET /api/session: who is signed in, with which role
        Error,       // `status` with `message`
    };
    Kind kind = Kind::Error;
    std::string asset;        // Page, Asset: the file name
    std::uint64_t device = 0; // the device routes
    bool all = false;         // ?all=1
    bool dryRun = false;      // ?dry_run=1
    int status = 0;           // Error: 400, 404, 405
    std::string message;      // Error
    std::string allow;        // 405: the methods allowed
    std::string client;       // the address of the client that asked (set by the server)
    // Whose token the request showed (set by the server): the operator of its writes.
    std::string person = std::string(ownerName);
    Role role = Role::Write;
    bool api() const { return kind != Kind::Page && kind != Kind::Asset; }
};

// `isAsset` tells whether a path names a file of the page ("app.js").
Route routeRequest(std::string_view method, std::string_view target,
                   bool (*isAsset)(std::string_view name));

// The value of `key` in the query of `target`, percent-decoded; nothing when
// absent or badly encoded.
std::optional<std::string> queryValue(std::string_view target, std::string_view key);
// Percent-decoding ("%3A" -> ":"); nothing for a bad escape or an encoded NUL.
std::optional<std::string> percentDecode(std::string_view text);

} // namespace Vornctl::Serve
