#pragma once

#include "AccessControl.h"
#include "ApiRoute.h"

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The checks every request to vornctl serve passes before anything else looks
// at it: the Host header (against DNS rebinding), the Origin of state-changing
// requests and live-push connections (against cross-site requests), and the
// token. Pure functions of the request's head, free of any HTTP library.
namespace Vornctl::Serve {

// The name of the token's cookie for a server on `port`: "vorn_token_8017".
// Cookies are shared by every port of a host, so each server has its own name;
// two serves on one host then keep their own tokens in one browser.
std::string tokenCookieName(unsigned port);

struct GuardConfig {
    // Host header values served, lowercase "name:port": the listen address,
    // localhost and each --allow-host name, all with the listen port.
    std::vector<std::string> hosts;
    // Serve's own token; without `identify`, the only one let in (as the owner).
    std::string token;
    // Who a token belongs to (AccessControl::identify); any thread.
    std::function<AccessLookup(std::string_view token)> identify;
    // Served over TLS: the page's own origin is "https://" + Host (an
    // "http://" one is foreign) and the cookie is Secure.
    bool secure = false;
    // The cookie that carries the token (tokenCookieName of the listen port).
    std::string cookie = tokenCookieName(0);
};

// The Host values for a server listening on `listenHost`:`port` with the extra
// names of --allow-host (each a name, or a name:port taken as it is); an IPv6
// listen address in brackets, as browsers send it.
std::vector<std::string> allowedHosts(const std::string& listenHost, unsigned port,
                                      const std::vector<std::string>& extraNames);
// Same for a server reached at several addresses (a wildcard listen address):
// each of `linkHosts` first, in their order.
std::vector<std::string> allowedHosts(const std::vector<std::string>& linkHosts, unsigned port,
                                      const std::vector<std::string>& extraNames);

// What the guard sees of a request.
struct RequestHead {
    std::string_view method; // "GET", ...
    std::string_view target; // path and query as sent
    std::optional<std::string_view> host;
    std::optional<std::string_view> origin;
    std::optional<std::string_view> authorization;
    std::optional<std::string_view> cookie;
    bool upgrade = false; // asks for a WebSocket
};

struct GuardVerdict {
    enum class Kind {
        Pass,          // go on with the request
        TokenAccepted, // "/?token=" with the right token: set the cookie, redirect to "/"
        Public,        // GET /ca.crt: the certificate authority, for anyone who may reach the host
        Refuse,        // answer `status` with `message`, nothing else happens
    };
    Kind kind = Kind::Refuse;
    int status = 0;
    std::string message;
    std::optional<Identity> who; // Pass, TokenAccepted: whose token it is
    std::string token;           // TokenAccepted: the link's, for the cookie
    bool wrongToken = false;     // Refuse: a token was shown that nobody holds (a guess?)
    bool linkEnded = false;      // Refuse: a person's token, expired (`message` says so)
};

GuardVerdict checkRequest(const GuardConfig& config, const RequestHead& head);

// Why `route` is refused to `who` (403), naming the role; nothing when it is
// not: a read-only person neither writes serial numbers nor runs programs, and
// only the owner gets the QR code of serve's own link.
std::optional<std::string> roleRefusal(const Route& route, const Identity& who);

// The value of cookie `name` in a Cookie header ("a=1; b=2").
std::optional<std::string_view> cookieValue(std::string_view header, std::string_view name);
// The token of "Bearer TOKEN" (scheme in any case).
std::optional<std::string_view> bearerToken(std::string_view header);
// The Set-Cookie value that hands the token to the browser in cookie `name`
// (Secure over TLS).
std::string tokenCookie(const std::string& name, const std::string& token, bool secure = false);

} // namespace Vornctl::Serve
