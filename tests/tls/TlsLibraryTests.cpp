// The TLS library as every program links it (the Windows build: OpenSSL built from Debian's
// source package, static) through Boost.Asio's ssl streams, over loopback TCP: an authority and
// a server certificate made in memory, a server and a client in one I/O loop with a deadline.
// A client that trusts the authority completes the handshake over TLS 1.3 and 1.2, verifying
// the name and the chain, and bytes cross unchanged; a wrong name or another authority fails.

#include <gtest/gtest.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;

struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct CertificateFree {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;
using Certificate = std::unique_ptr<X509, CertificateFree>;

void check(bool ok, const char* what) {
    if (!ok)
        throw std::runtime_error(std::string("OpenSSL: ") + what + " failed");
}

Key makeKey() {
    Key key{EVP_EC_gen("P-256")};
    check(key != nullptr, "EVP_EC_gen");
    return key;
}

void addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    check(extension != nullptr, "X509V3_EXT_conf_nid");
    const bool added = X509_add_ext(certificate, extension, -1) == 1;
    X509_EXTENSION_free(extension);
    check(added, "X509_add_ext");
}

// A certificate for `key` named `commonName`, signed by `issuerKey` (self-signed when `issuer`
// is null); `altNames` empty makes an authority.
Certificate makeCertificate(const Key& key, const char* commonName, X509* issuer,
                            const Key& issuerKey, const std::string& altNames, long serial) {
    Certificate certificate{X509_new()};
    check(certificate != nullptr, "X509_new");
    X509* c = certificate.get();
    check(X509_set_version(c, 2) == 1, "X509_set_version");
    check(ASN1_INTEGER_set(X509_get_serialNumber(c), serial) == 1, "ASN1_INTEGER_set");
    check(X509_gmtime_adj(X509_getm_notBefore(c), -60) != nullptr, "notBefore");
    check(X509_gmtime_adj(X509_getm_notAfter(c), 24 * 3600) != nullptr, "notAfter");
    check(X509_set_pubkey(c, key.get()) == 1, "X509_set_pubkey");
    X509_NAME* name = X509_get_subject_name(c);
    check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                     reinterpret_cast<const unsigned char*>(commonName), -1, -1,
                                     0) == 1,
          "X509_NAME_add_entry_by_txt");
    X509* signer = issuer ? issuer : c;
    check(X509_set_issuer_name(c, X509_get_subject_name(signer)) == 1, "X509_set_issuer_name");
    if (altNames.empty()) {
        addExtension(c, signer, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(c, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
        addExtension(c, signer, NID_subject_key_identifier, "hash");
    } else {
        addExtension(c, signer, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(c, signer, NID_ext_key_usage, "serverAuth");
        addExtension(c, signer, NID_subject_alt_name, altNames.c_str());
        addExtension(c, signer, NID_authority_key_identifier, "keyid");
    }
    check(X509_sign(c, issuerKey.get(), EVP_sha256()) > 0, "X509_sign");
    return certificate;
}

// An authority and a server certificate it signed for 127.0.0.1 and vorn.test.
struct Authority {
    Key key = makeKey();
    Certificate certificate = makeCertificate(key, "test authority", nullptr, key, "", 1);
    Key serverKey = makeKey();
    Certificate serverCertificate = makeCertificate(serverKey, "vorn.test", certificate.get(), key,
                                                    "IP:127.0.0.1,DNS:vorn.test", 2);
};

std::vector<std::uint8_t> randomBytes(std::size_t size) {
    std::mt19937 generator(7);
    std::vector<std::uint8_t> bytes(size);
    for (auto& byte : bytes)
        byte = static_cast<std::uint8_t>(generator());
    return bytes;
}

struct Outcome {
    boost::system::error_code serverError;
    boost::system::error_code clientError;
    bool clientDone = false;
    bool serverDone = false;
    std::vector<std::uint8_t> echoed;
    std::string version;
    std::string cipher;
    long verifyResult = -1;
};

// One server and one client in one I/O loop: the server echoes what it reads, the client
// writes `payload` and reads it back. Both end within 20 s (a stuck side fails the test).
class LoopbackPair {
public:
    LoopbackPair(const Authority& served, const Authority& trusted) {
        SSL_CTX* server = serverContext_.native_handle();
        check(SSL_CTX_use_certificate(server, served.serverCertificate.get()) == 1,
              "SSL_CTX_use_certificate");
        check(SSL_CTX_use_PrivateKey(server, served.serverKey.get()) == 1,
              "SSL_CTX_use_PrivateKey");
        check(SSL_CTX_add1_chain_cert(server, served.certificate.get()) == 1,
              "SSL_CTX_add1_chain_cert");
        check(X509_STORE_add_cert(SSL_CTX_get_cert_store(clientContext_.native_handle()),
                                  trusted.certificate.get()) == 1,
              "X509_STORE_add_cert");
        clientContext_.set_verify_mode(ssl::verify_peer);
    }

    SSL_CTX* client() { return clientContext_.native_handle(); }

    Outcome run(const std::string& expectedName, const std::vector<std::uint8_t>& payload) {
        Outcome outcome;
        tcp::acceptor acceptor(io_, tcp::endpoint(asio::ip::make_address("127.0.0.1"), 0));
        ssl::stream<tcp::socket> serverStream(io_, serverContext_);
        ssl::stream<tcp::socket> clientStream(io_, clientContext_);
        // The library's own name check, as other clients use it (it names the failure).
        X509_VERIFY_PARAM* verify = SSL_get0_param(clientStream.native_handle());
        boost::system::error_code notAnAddress;
        asio::ip::make_address(expectedName, notAnAddress);
        check((notAnAddress ? X509_VERIFY_PARAM_set1_host(verify, expectedName.c_str(), 0)
                            : X509_VERIFY_PARAM_set1_ip_asc(verify, expectedName.c_str())) == 1,
              "X509_VERIFY_PARAM_set1_host");
        std::vector<std::uint8_t> serverBuffer(payload.size());
        outcome.echoed.resize(payload.size());

        auto serverFailed = [&](boost::system::error_code error) {
            outcome.serverError = error;
            outcome.serverDone = true;
        };
        acceptor.async_accept(serverStream.next_layer(), [&](boost::system::error_code error) {
            if (error)
                return serverFailed(error);
            serverStream.async_handshake(ssl::stream_base::server, [&](auto error) {
                if (error)
                    return serverFailed(error);
                asio::async_read(serverStream, asio::buffer(serverBuffer), [&](auto error, auto) {
                    if (error)
                        return serverFailed(error);
                    asio::async_write(serverStream, asio::buffer(serverBuffer),
                                      [&](auto error, auto) { serverFailed(error); });
                });
            });
        });

        auto clientFailed = [&](boost::system::error_code error) {
            outcome.clientError = error;
            outcome.clientDone = true;
            outcome.verifyResult = SSL_get_verify_result(clientStream.native_handle());
        };
        clientStream.next_layer().async_connect(acceptor.local_endpoint(), [&](auto error) {
            if (error)
                return clientFailed(error);
            clientStream.async_handshake(ssl::stream_base::client, [&](auto error) {
                if (error)
                    return clientFailed(error);
                outcome.version = SSL_get_version(clientStream.native_handle());
                outcome.cipher = SSL_get_cipher_name(clientStream.native_handle());
                asio::async_write(clientStream, asio::buffer(payload), [&](auto error, auto) {
                    if (error)
                        return clientFailed(error);
                    asio::async_read(clientStream, asio::buffer(outcome.echoed),
                                     [&](auto error, auto) { clientFailed(error); });
                });
            });
        });

        // A failed handshake on one side leaves the other waiting for bytes that never come:
        // when the client is done, the server's socket is closed (and the other way round).
        const auto deadline = std::chrono::steady_clock::now() + 20s;
        while (!(outcome.clientDone && outcome.serverDone) &&
               std::chrono::steady_clock::now() < deadline) {
            io_.run_one_for(100ms);
            boost::system::error_code ignored;
            if (outcome.clientDone && !outcome.serverDone)
                serverStream.next_layer().close(ignored);
            if (outcome.serverDone && !outcome.clientDone && outcome.serverError)
                clientStream.next_layer().close(ignored);
        }
        EXPECT_TRUE(outcome.clientDone && outcome.serverDone) << "the exchange did not end in 20 s";
        return outcome;
    }

private:
    asio::io_context io_;
    ssl::context serverContext_{ssl::context::tls_server};
    ssl::context clientContext_{ssl::context::tls_client};
};

TEST(TlsLibrary, TrustedAuthorityVerifiesNameAndChainAndBytesCrossUnchanged) {
    Authority authority;
    const auto payload = randomBytes(100'000); // several TLS records each way
    for (const char* name : {"127.0.0.1", "vorn.test"}) {
        LoopbackPair pair(authority, authority);
        const Outcome outcome = pair.run(name, payload);
        ASSERT_FALSE(outcome.clientError) << name << ": " << outcome.clientError.message();
        ASSERT_FALSE(outcome.serverError) << name << ": " << outcome.serverError.message();
        EXPECT_EQ(outcome.verifyResult, X509_V_OK) << name;
        EXPECT_EQ(outcome.version, "TLSv1.3") << name;
        EXPECT_TRUE(outcome.echoed == payload) << name << ": the echoed bytes differ";
    }
}

TEST(TlsLibrary, Tls12WithEcdheAndAeadCompletes) {
    Authority authority;
    LoopbackPair pair(authority, authority);
    ASSERT_EQ(SSL_CTX_set_max_proto_version(pair.client(), TLS1_2_VERSION), 1);
    ASSERT_EQ(SSL_CTX_set_cipher_list(pair.client(), "ECDHE-ECDSA-AES128-GCM-SHA256"), 1);
    const Outcome outcome = pair.run("127.0.0.1", randomBytes(3000));
    ASSERT_FALSE(outcome.clientError) << outcome.clientError.message();
    EXPECT_EQ(outcome.version, "TLSv1.2");
    EXPECT_EQ(outcome.cipher, "ECDHE-ECDSA-AES128-GCM-SHA256");
    EXPECT_TRUE(outcome.echoed == randomBytes(3000));
}

TEST(TlsLibrary, NameNotInTheCertificateIsRefused) {
    Authority authority;
    const struct {
        const char* name;
        long error;
    } cases[] = {{"127.0.0.2", X509_V_ERR_IP_ADDRESS_MISMATCH},
                 {"other.test", X509_V_ERR_HOSTNAME_MISMATCH},
                 {"test", X509_V_ERR_HOSTNAME_MISMATCH}};
    for (const auto& c : cases) {
        LoopbackPair pair(authority, authority);
        const Outcome outcome = pair.run(c.name, randomBytes(16));
        EXPECT_TRUE(outcome.clientError) << c.name << ": the handshake succeeded";
        EXPECT_EQ(outcome.verifyResult, c.error) << c.name;
        EXPECT_TRUE(outcome.serverError) << c.name << ": the server saw no failure";
        EXPECT_TRUE(outcome.echoed != randomBytes(16)) << c.name;
    }
}

TEST(TlsLibrary, ServerOfAnotherAuthorityIsRefused) {
    Authority served;
    Authority trusted;
    LoopbackPair pair(served, trusted);
    const Outcome outcome = pair.run("127.0.0.1", randomBytes(16));
    EXPECT_TRUE(outcome.clientError) << "the handshake succeeded";
    // The server sends its authority along: a chain that ends in an authority not trusted.
    EXPECT_EQ(outcome.verifyResult, X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN);
}

} // namespace
