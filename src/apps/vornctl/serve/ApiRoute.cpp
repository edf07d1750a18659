#include "ApiRoute.h"

#include "Values.h"

namespace Vornctl::Serve {
namespace {

Route error(int status, std::string message, std::string allow = {}) {
    Route route;
    route.kind = Route::Kind::Error;
    route.status = status;
    route.message = std::move(message);
    route.allow = std::move(allow);
    return route;
}

Route methodNotAllowed(std::string allow) {
    return error(405, "method not allowed here; allowed: " + allow, allow);
}

Route make(Route::Kind kind) {
    Route route;
    route.kind = kind;
    return route;
}

// /api/devices/ID/serial, /api/devices/ID/select and /api/devices/ID/journal.
Route deviceRoute(std::string_view method, std::string_view rest) {
    const auto slash = rest.find('/');
    if (slash == std::string_view::npos)
        return error(404, "no such resource");
    const std::string_view action = rest.substr(slash + 1);
    if (action != "serial" && action != "select" && action != "journal")
        return error(404, "no such resource");
    const auto decoded = percentDecode(rest.substr(0, slash));
    const auto id = decoded ? parseDeviceId(*decoded) : std::nullopt;
    if (!id)
        return error(400, "malformed device ID: expected 8 hex digits, a colon and 8 hex "
                          "digits, as in 0001e240:000012ab");
    Route route;
    if (action == "serial") {
        if (method == "GET")
            route.kind = Route::Kind::SerialRead;
        else if (method == "PUT")
            route.kind = Route::Kind::SerialWrite;
        else
            return methodNotAllowed("GET, PUT");
    } else if (action == "journal") {
        if (method != "GET")
            return methodNotAllowed("GET");
        route.kind = Route::Kind::Journal;
    } else {
        if (method == "POST")
            route.kind = Route::Kind::Select;
        else if (method == "DELETE")
            route.kind = Route::Kind::Deselect;
        else
            return methodNotAllowed("POST, DELETE");
    }
    route.device = *id;
    return route;
}

} // namespace

std::optional<std::string> percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out += text[i] == '+' ? ' ' : text[i];
            continue;
        }
        if (i + 2 >= text.size())
            return std::nullopt;
        const int high = hexDigit(text[i + 1]);
        const int low = hexDigit(text[i + 2]);
        if (high < 0 || low < 0 || (high == 0 && low == 0))
            return std::nullopt;
        out += static_cast<char>(high * 16 + low);
        i += 2;
    }
    return out;
}

std::optional<std::string> queryValue(std::string_view target, std::string_view key) {
    const auto question = target.find('?');
    if (question == std::string_view::npos)
        return std::nullopt;
    std::string_view query = target.substr(question + 1);
    query = query.substr(0, query.find('#'));
    while (!query.empty()) {
        const auto end = query.find('&');
        const std::string_view pair = query.substr(0, end);
        const auto equals = pair.find('=');
        if (pair.substr(0, equals) == key)
            return equals == std::string_view::npos ? std::string()
                                                    : percentDecode(pair.substr(equals + 1));
        if (end == std::string_view::npos)
            break;
        query.remove_prefix(end + 1);
    }
    return std::nullopt;
}

Route routeRequest(std::string_view method, std::string_view target,
                   bool (*isAsset)(std::string_view name)) {
    if (target.empty() || target.front() != '/')
        return error(400, "the request target must be a path");
    const std::string_view path = target.substr(0, target.find_first_of("?#"));
    const bool read = method == "GET" || method == "HEAD";
    Route route;
    if (path == "/metrics") {
        if (!read)
            return methodNotAllowed("GET, HEAD");
        return make(Route::Kind::Metrics);
    }
    if (path.rfind("/api/", 0) != 0) {
        const std::string_view name = path == "/" ? "index.html" : path.substr(1);
        if (!isAsset(name) || name.find('/') != std::string_view::npos)
            return error(404, "no such page");
        if (!read)
            return methodNotAllowed("GET, HEAD");
        route.kind = path == "/" ? Route::Kind::Page : Route::Kind::Asset;
        route.asset = std::string(name);
        return route;
    }
    const std::string_view api = path.substr(5);
    if (api == "devices" || api == "devices.csv" || api == "events" || api == "interface") {
        if (method != "GET")
            return methodNotAllowed("GET");
        route = make(api == "devices"       ? Route::Kind::Devices
                     : api == "devices.csv" ? Route::Kind::DevicesCsv
                     : api == "interface"   ? Route::Kind::Interface
                                            : Route::Kind::Events);
    } else if (api == "link.svg" || api == "certificate" || api == "session") {
        if (method != "GET")
            return methodNotAllowed("GET");
        route = make(api == "link.svg"      ? Route::Kind::LinkQr
                     : api == "certificate" ? Route::Kind::Certificate
                                            : Route::Kind::Session);
    } else if (api == "program") {
        if (method != "POST")
            return methodNotAllowed("POST");
        route = make(Route::Kind::Program);
    } else if (api.rfind("devices/", 0) == 0) {
        route = deviceRoute(method, api.substr(8));
        if (route.kind == Route::Kind::Error)
            return route;
    } else {
        return error(404, "no such resource");
    }
    route.all = queryValue(target, "all") == std::optional<std::string>("1");
    route.dryRun = queryValue(target, "dry_run") == std::optional<std::string>("1");
    return route;
}

} // namespace Vornctl::Serve
