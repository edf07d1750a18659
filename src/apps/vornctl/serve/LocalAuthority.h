#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

// vornctl serve's own certificate authority (ECDSA P-256) and the server
// certificate it signs, kept in one folder: authority.crt, authority.key,
// server.crt, server.key (keys readable by their owner alone). A browser that
// trusts the authority once keeps trusting every server certificate it issues.
namespace Vornctl::Serve {

struct LocalCertificate {
    std::filesystem::path certificateFile; // server.crt
    std::filesystem::path keyFile;         // server.key
    std::string authorityPem;              // authority.crt, for GET /ca.crt
    std::string authorityFingerprint;      // SHA-256 of its DER, "AB:CD:..."
    // What was made or issued anew, and why, for a person; empty when reused.
    std::vector<std::string> notices;
};

// Server certificates are valid this long (what browsers accept at most);
// one is issued anew when less than `renewBefore` is left.
inline constexpr std::chrono::hours serverValidity{397 * 24};
inline constexpr std::chrono::hours renewBefore{30 * 24};

// Makes the authority on first use, reuses it afterwards; issues a server
// certificate for `names` (IP addresses and DNS names; other texts are left
// out) when there is none, it has expired or nearly, it does not name all of
// `names` (then it names the old ones too), or this authority did not sign
// it. Throws std::runtime_error naming the file that cannot be read or
// written; an authority that cannot be read is never replaced silently.
LocalCertificate ensureLocalCertificate(
    const std::filesystem::path& folder, const std::vector<std::string>& names,
    std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

// The IP addresses and DNS names a certificate file's first certificate is
// issued for, as text (tests and notices). Throws std::runtime_error.
std::vector<std::string> certificateNames(const std::filesystem::path& certificateFile);

} // namespace Vornctl::Serve
