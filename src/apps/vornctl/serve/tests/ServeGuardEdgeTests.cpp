// The request guard at its edges: methods that change nothing, the page link
// by another method, an IPv6 listen address, a live push without Origin.

#include "RequestGuard.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

using namespace Vornctl::Serve;
using Kind = GuardVerdict::Kind;

const std::string token(40, 't');
const std::string cookie = "vorn_token=" + token;

GuardVerdict check(const GuardConfig& config, std::string_view method, std::string_view target,
                   std::string_view host, std::optional<std::string_view> origin = std::nullopt,
                   bool upgrade = false, bool withToken = true) {
    RequestHead head;
    head.method = method;
    head.target = target;
    head.host = host;
    head.origin = origin;
    head.upgrade = upgrade;
    if (withToken)
        head.cookie = cookie;
    return checkRequest(config, head);
}

GuardConfig guardOn(const std::string& listenHost, unsigned port) {
    GuardConfig config;
    config.hosts = allowedHosts(listenHost, port, {});
    config.token = token;
    config.cookie = "vorn_token";
    return config;
}

TEST(ServeGuardEdges, HeadAndOptionsChangeNothingAndAreNotHeldToTheOrigin) {
    const GuardConfig config = guardOn("127.0.0.1", 8017);
    for (const char* method : {"HEAD", "OPTIONS", "GET"}) {
        EXPECT_EQ(
            check(config, method, "/api/devices", "127.0.0.1:8017", "http://evil.example").kind,
            Kind::Pass)
            << method;
        // The token is still required.
        EXPECT_EQ(
            check(config, method, "/api/devices", "127.0.0.1:8017", std::nullopt, false, false)
                .status,
            401)
            << method;
    }
    for (const char* method : {"POST", "PUT", "DELETE", "PATCH", "head"})
        EXPECT_EQ(
            check(config, method, "/api/devices", "127.0.0.1:8017", "http://evil.example").status,
            403)
            << method;
}

TEST(ServeGuardEdges, ThePageLinkWorksOnlyAsAGet) {
    const GuardConfig config = guardOn("127.0.0.1", 8017);
    const std::string link = "/?token=" + token;
    EXPECT_EQ(check(config, "GET", link, "127.0.0.1:8017", std::nullopt, false, false).kind,
              Kind::TokenAccepted);
    for (const char* method : {"POST", "PUT", "HEAD", "DELETE"}) {
        const auto verdict =
            check(config, method, link, "127.0.0.1:8017", std::nullopt, false, false);
        EXPECT_EQ(verdict.status, 401) << method;
        EXPECT_EQ(verdict.kind, Kind::Refuse) << method;
    }
    // A longer token that starts with the right one is another token.
    EXPECT_EQ(check(config, "GET", link + "x", "127.0.0.1:8017", std::nullopt, false, false).status,
              401);
}

TEST(ServeGuardEdges, AnIpv6ListenAddressIsServedUnderItsBracketedName) {
    const GuardConfig config = guardOn("::1", 8017);
    EXPECT_EQ(check(config, "GET", "/api/devices", "[::1]:8017").kind, Kind::Pass);
    EXPECT_EQ(check(config, "GET", "/api/devices", "localhost:8017").kind, Kind::Pass);
    for (const char* host : {"::1:8017", "[::1]:8018", "[::2]:8017", "[::1]"})
        EXPECT_EQ(check(config, "GET", "/api/devices", host).status, 403) << host;
    // A state change from the page itself: its Origin carries the brackets too.
    EXPECT_EQ(check(config, "PUT", "/api/devices", "[::1]:8017", "http://[::1]:8017").kind,
              Kind::Pass);
    EXPECT_EQ(check(config, "PUT", "/api/devices", "[::1]:8017", "http://127.0.0.1:8017").status,
              403);
    const GuardConfig onPort80 = guardOn("::1", 80);
    EXPECT_EQ(check(onPort80, "GET", "/api/devices", "[::1]").kind, Kind::Pass);
}

TEST(ServeGuardEdges, ALivePushWithoutOriginNeedsTheTokenOnly) {
    const GuardConfig config = guardOn("127.0.0.1", 8017);
    // Programs other than browsers send no Origin; browsers always do on an upgrade.
    EXPECT_EQ(check(config, "GET", "/api/events", "127.0.0.1:8017", std::nullopt, true).kind,
              Kind::Pass);
    EXPECT_EQ(
        check(config, "GET", "/api/events", "127.0.0.1:8017", std::nullopt, true, false).status,
        401);
    EXPECT_EQ(
        check(config, "GET", "/api/events", "127.0.0.1:8017", "http://localhost:8017", true).status,
        403); // the page is 127.0.0.1's here, not localhost's
}

} // namespace
