// vornctl serve's handling of a request before anything acts on it: the route
// from method and target, the guard's verdict on the head, and the JSON body
// of a serial number write.
//
// Input: lines "METHOD TARGET", then header lines "Name: value" (Host, Origin,
// Authorization, Cookie, Upgrade), an empty line, and the body.

#include "FuzzCheck.h"

#include "AccessToken.h"
#include "ApiJson.h"
#include "ApiRoute.h"
#include "RequestGuard.h"
#include "Texts.h"
#include "Values.h"

#include <nlohmann/json.hpp>

#include <string>
#include <string_view>

namespace {

using namespace Vornctl::Serve;

const std::string token(40, 't');

bool pageFile(std::string_view name) {
    return name == "index.html" || name == "app.js" || name == "style.css";
}

std::string lowercase(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

void checkRoute(std::string_view method, std::string_view target) {
    const Route route = routeRequest(method, target, &pageFile);
    using Kind = Route::Kind;
    if (route.kind == Kind::Error) {
        FUZZ_CHECK(route.status == 400 || route.status == 404 || route.status == 405);
        FUZZ_CHECK((route.status == 405) == !route.allow.empty());
        return;
    }
    const std::string_view path = target.substr(0, target.find_first_of("?#"));
    // Pages and the metrics are read with GET or HEAD (headers only), nothing else.
    const bool read = method == "GET" || method == "HEAD";
    FUZZ_CHECK(route.api() == (path.rfind("/api/", 0) == 0 || path == "/metrics"));
    if (!route.api()) {
        FUZZ_CHECK(read && pageFile(route.asset));
        return;
    }
    if (route.kind == Kind::Metrics) {
        FUZZ_CHECK(read);
        return;
    }
    const bool onDevice = route.kind == Kind::SerialRead || route.kind == Kind::SerialWrite ||
                          route.kind == Kind::Select || route.kind == Kind::Deselect;
    if (onDevice) {
        // The ID segment names exactly the device routed to.
        const std::string_view rest = path.substr(std::string_view("/api/devices/").size());
        const auto decoded = percentDecode(rest.substr(0, rest.find('/')));
        FUZZ_CHECK(decoded && Vornctl::parseDeviceId(*decoded) == route.device);
        FUZZ_CHECK(Vornctl::parseDeviceId(formatDeviceId(route.device)) == route.device);
    }
    const bool changes = route.kind == Kind::SerialWrite || route.kind == Kind::Select ||
                         route.kind == Kind::Deselect || route.kind == Kind::Program;
    FUZZ_CHECK(changes == (method != "GET"));
}

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return lowercase(text.substr(first, text.find_last_not_of(" \t") - first + 1));
}

void checkGuard(const GuardConfig& config, const RequestHead& head) {
    const GuardVerdict verdict = checkRequest(config, head);
    if (verdict.kind == GuardVerdict::Kind::Refuse) {
        FUZZ_CHECK(verdict.status == 401 || verdict.status == 403);
        return;
    }
    // Served: a Host of the list.
    FUZZ_CHECK(head.host.has_value());
    const std::string host = trimmed(*head.host);
    bool listed = false;
    for (const auto& allowed : config.hosts)
        listed = listed || allowed == host;
    FUZZ_CHECK(listed);
    const bool changes =
        head.upgrade || (head.method != "GET" && head.method != "HEAD" && head.method != "OPTIONS");
    // A state change or live push: no Origin, or the server's own.
    if (changes && head.origin)
        FUZZ_CHECK(trimmed(*head.origin) == "http://" + host);
    if (verdict.kind == GuardVerdict::Kind::TokenAccepted) {
        FUZZ_CHECK(head.method == "GET");
        FUZZ_CHECK(queryValue(head.target, "token") == std::optional<std::string>(token));
        return;
    }
    // Pass: the right token came in the header or the cookie, never in the query alone.
    const auto bearer = head.authorization ? bearerToken(*head.authorization) : std::nullopt;
    const auto cookie = head.cookie ? cookieValue(*head.cookie, config.cookie) : std::nullopt;
    FUZZ_CHECK((bearer && *bearer == token) || (cookie && *cookie == token));
}

void checkBody(std::string_view body) {
    std::string error;
    const auto serial = parseSerialWrite(body, error);
    if (!serial) {
        FUZZ_CHECK(!error.empty());
        return;
    }
    const auto parsed = nlohmann::json::parse(body);
    FUZZ_CHECK(parsed.is_object());
    FUZZ_CHECK(parsed.at("serial").get<std::uint64_t>() == *serial);
    FUZZ_CHECK(parsed.at("repeat").get<std::uint64_t>() == *serial);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    static const GuardConfig config = [] {
        GuardConfig made;
        made.hosts = allowedHosts("127.0.0.1", 8017, {"rack-pc"});
        made.token = token;
        return made;
    }();
    const std::string input(reinterpret_cast<const char*>(bytes), size);
    const auto headEnd = input.find("\n\n");
    const std::string_view head(input.data(), headEnd == std::string::npos ? size : headEnd);
    const std::string_view body = headEnd == std::string::npos
                                      ? std::string_view()
                                      : std::string_view(input).substr(headEnd + 2);

    const std::string_view requestLine = head.substr(0, head.find('\n'));
    const auto space = requestLine.find(' ');
    RequestHead request;
    request.method = requestLine.substr(0, space);
    request.target =
        space == std::string_view::npos ? std::string_view() : requestLine.substr(space + 1);
    std::string_view fields = head.substr(requestLine.size());
    while (!fields.empty()) {
        if (fields.front() == '\n') {
            fields.remove_prefix(1);
            continue;
        }
        const std::string_view line = fields.substr(0, fields.find('\n'));
        fields.remove_prefix(line.size());
        const auto colon = line.find(": ");
        if (colon == std::string_view::npos)
            continue;
        const std::string name = lowercase(line.substr(0, colon));
        const std::string_view value = line.substr(colon + 2);
        if (name == "host")
            request.host = value;
        else if (name == "origin")
            request.origin = value;
        else if (name == "authorization")
            request.authorization = value;
        else if (name == "cookie")
            request.cookie = value;
        else if (name == "upgrade")
            request.upgrade = true;
    }
    checkRoute(request.method, request.target);
    checkGuard(config, request);
    checkBody(body);
    return 0;
}
