#pragma once

#include <boost/asio/ssl/context.hpp>

#include <filesystem>
#include <memory>
#include <string>

// The server side of vornctl serve's TLS: a certificate (a chain allowed) and
// its key, read from PEM files, in a context that offers TLS 1.2 and 1.3 only,
// ECDHE key exchange with AEAD ciphers only, no compression and no
// renegotiation. Included by HttpServer.cpp and the tests.
namespace Vornctl::Serve {

struct TlsCredentials {
    std::shared_ptr<boost::asio::ssl::context> context;
    std::string fingerprint; // SHA-256 of the certificate's DER, "AB:CD:..."
};

// Throws std::runtime_error naming the file that cannot be used and why:
// unreadable, no certificate or key in it, or a key that is not the
// certificate's.
TlsCredentials loadTlsCredentials(const std::filesystem::path& certificateFile,
                                  const std::filesystem::path& keyFile);

// "AB:CD:..." of a DER encoding's SHA-256.
std::string sha256Fingerprint(const std::string& der);

} // namespace Vornctl::Serve
