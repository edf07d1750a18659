#include "RequestGuard.h"

#include "AccessToken.h"
#include "ApiRoute.h"

#include <algorithm>

namespace Vornctl::Serve {
namespace {

std::string lowercase(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return out;
}

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

bool stateChanging(std::string_view method) {
    return method != "GET" && method != "HEAD" && method != "OPTIONS";
}

GuardVerdict verdictOf(GuardVerdict::Kind kind, int status = 0) {
    GuardVerdict verdict;
    verdict.kind = kind;
    verdict.status = status;
    return verdict;
}

GuardVerdict refuse(int status, std::string message, bool wrongToken = false) {
    GuardVerdict verdict = verdictOf(GuardVerdict::Kind::Refuse, status);
    verdict.message = std::move(message);
    verdict.wrongToken = wrongToken;
    return verdict;
}

AccessLookup lookUp(const GuardConfig& config, std::string_view token) {
    if (config.identify)
        return config.identify(token);
    if (sameToken(token, config.token))
        return {Identity{std::string(ownerName), Role::Write, {}}, {}};
    return {};
}

} // namespace

std::vector<std::string> allowedHosts(const std::string& listenHost, unsigned port,
                                      const std::vector<std::string>& extraNames) {
    return allowedHosts(std::vector<std::string>{listenHost}, port, extraNames);
}

std::vector<std::string> allowedHosts(const std::vector<std::string>& linkHosts, unsigned port,
                                      const std::vector<std::string>& extraNames) {
    const std::string suffix = ":" + std::to_string(port);
    std::vector<std::string> hosts;
    auto add = [&](const std::string& name) {
        const std::string host = lowercase(name);
        if (std::find(hosts.begin(), hosts.end(), host) == hosts.end())
            hosts.push_back(host);
    };
    auto addName = [&](const std::string& name) {
        add(name + suffix);
        if (port == 80) // browsers leave the default port out
            add(name);
    };
    // An IPv6 address stands in brackets in a Host header and an Origin.
    for (const std::string& host : linkHosts) {
        const bool ipv6 = host.find(':') != std::string::npos && host.front() != '[';
        addName(ipv6 ? "[" + host + "]" : host);
    }
    addName("localhost");
    for (const std::string& name : extraNames) {
        if (name.find(':') != std::string::npos)
            add(name);
        else
            addName(name);
    }
    return hosts;
}

std::optional<std::string_view> cookieValue(std::string_view header, std::string_view name) {
    while (!header.empty()) {
        const auto end = header.find(';');
        const std::string_view pair = trim(header.substr(0, end));
        const auto equals = pair.find('=');
        if (equals != std::string_view::npos && trim(pair.substr(0, equals)) == name)
            return trim(pair.substr(equals + 1));
        if (end == std::string_view::npos)
            break;
        header.remove_prefix(end + 1);
    }
    return std::nullopt;
}

std::optional<std::string_view> bearerToken(std::string_view header) {
    header = trim(header);
    constexpr std::string_view scheme = "bearer ";
    if (header.size() <= scheme.size() || lowercase(header.substr(0, scheme.size())) != scheme)
        return std::nullopt;
    return trim(header.substr(scheme.size()));
}

std::string tokenCookieName(unsigned port) {
    return "vorn_token_" + std::to_string(port);
}

std::string tokenCookie(const std::string& name, const std::string& token, bool secure) {
    return name + "=" + token + "; Path=/; HttpOnly; SameSite=Strict" + (secure ? "; Secure" : "");
}

GuardVerdict checkRequest(const GuardConfig& config, const RequestHead& head) {
    const std::string host = head.host ? lowercase(trim(*head.host)) : std::string();
    if (host.empty() ||
        std::find(config.hosts.begin(), config.hosts.end(), host) == config.hosts.end())
        return refuse(403, "this server does not answer to the host name \"" +
                               std::string(head.host.value_or("")) + "\"");

    if ((head.upgrade || stateChanging(head.method)) && head.origin &&
        lowercase(trim(*head.origin)) != (config.secure ? "https://" : "http://") + host)
        return refuse(403, "requests from another origin are refused");

    const std::string_view target = head.target;
    const std::string_view path = target.substr(0, target.find('?'));
    if (path == "/ca.crt" && (head.method == "GET" || head.method == "HEAD") && !head.upgrade)
        return verdictOf(GuardVerdict::Kind::Public);
    if (path == "/" && target.size() > path.size()) {
        if (const auto token = queryValue(target, "token")) {
            if (head.method != "GET")
                return refuse(401, "the token in this link is not the one vornctl serve printed");
            AccessLookup lookup = lookUp(config, *token);
            if (!lookup.who) {
                GuardVerdict refused =
                    refuse(401,
                           lookup.refusal.empty()
                               ? "the token in this link is not the one vornctl serve printed"
                               : lookup.refusal + "; ask for a new one.",
                           lookup.refusal.empty());
                refused.linkEnded = !lookup.refusal.empty();
                return refused;
            }
            GuardVerdict accepted = verdictOf(GuardVerdict::Kind::TokenAccepted, 303);
            accepted.who = std::move(lookup.who);
            accepted.token = *token;
            return accepted;
        }
    }

    std::optional<std::string_view> given;
    if (head.authorization)
        given = bearerToken(*head.authorization);
    if (!given && head.cookie)
        given = cookieValue(*head.cookie, config.cookie);
    std::string refusal;
    if (given) {
        AccessLookup lookup = lookUp(config, *given);
        if (lookup.who) {
            GuardVerdict pass = verdictOf(GuardVerdict::Kind::Pass);
            pass.who = std::move(lookup.who);
            return pass;
        }
        refusal = std::move(lookup.refusal);
    }
    const bool api = path.rfind("/api/", 0) == 0 || path == "/metrics";
    if (!refusal.empty()) {
        GuardVerdict ended = refuse(401, api ? refusal : refusal + "; ask for a new one.");
        ended.linkEnded = true;
        return ended;
    }
    return refuse(401,
                  api ? "a valid token is required (Authorization: Bearer TOKEN)"
                      : std::string("Open the link that vornctl serve printed (") +
                            (config.secure ? "https" : "http") +
                            "://HOST:PORT/?token=...) to use this page.",
                  given.has_value());
}

std::optional<std::string> roleRefusal(const Route& route, const Identity& who) {
    if (route.kind == Route::Kind::LinkQr && !who.owner())
        return "only the owner of vornctl serve is shown its link; on another device, open the "
               "link you were given";
    if (who.role != Role::ReadOnly)
        return std::nullopt;
    if (route.kind == Route::Kind::SerialWrite)
        return who.name + " has the role read-only: serial numbers are not written for it";
    if (route.kind == Route::Kind::Program)
        return who.name + " has the role read-only: programs are not run for it";
    return std::nullopt;
}

} // namespace Vornctl::Serve
