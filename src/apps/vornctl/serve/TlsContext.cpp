#include "TlsContext.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <fstream>
#include <iterator>
#include <stdexcept>
#include <vector>

namespace Vornctl::Serve {
namespace {

// TLS 1.2's ECDHE suites with an AEAD cipher; TLS 1.3 has no others.
constexpr const char* tls12Ciphers = "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
                                     "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
                                     "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
constexpr const char* tls13Ciphers =
    "TLS_AES_128_GCM_SHA256:TLS_AES_256_GCM_SHA384:TLS_CHACHA20_POLY1305_SHA256";
// Elliptic-curve groups only: no finite-field Diffie-Hellman in TLS 1.3 either.
constexpr const char* groups = "X25519:P-256:P-384";

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
struct X509Free {
    void operator()(X509* certificate) const { X509_free(certificate); }
};
struct KeyFree {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
using X509Ptr = std::unique_ptr<X509, X509Free>;
using KeyPtr = std::unique_ptr<EVP_PKEY, KeyFree>;

std::string readFile(const std::filesystem::path& file, const std::string& what) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read the " + what + " " + file.string());
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        throw std::runtime_error("cannot read the " + what + " " + file.string());
    return text;
}

std::string lastOpenSslError() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return "no PEM data";
    char text[256] = {};
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

std::unique_ptr<BIO, BioFree> memoryOf(const std::string& text) {
    return std::unique_ptr<BIO, BioFree>(
        BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

std::vector<X509Ptr> readChain(const std::filesystem::path& file) {
    const std::string pem = readFile(file, "certificate");
    const auto bio = memoryOf(pem);
    std::vector<X509Ptr> chain;
    ERR_clear_error();
    while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr))
        chain.emplace_back(certificate);
    ERR_clear_error(); // the end of the data reads as an error
    if (chain.empty())
        throw std::runtime_error("the certificate file " + file.string() +
                                 " holds no PEM certificate");
    return chain;
}

KeyPtr readKey(const std::filesystem::path& file) {
    const std::string pem = readFile(file, "key");
    const auto bio = memoryOf(pem);
    ERR_clear_error();
    KeyPtr key(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!key)
        throw std::runtime_error("the key file " + file.string() +
                                 " holds no usable PEM private key (" + lastOpenSslError() + ")");
    return key;
}

std::string derOf(X509* certificate) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate, &der);
    if (length <= 0)
        throw std::runtime_error("cannot encode a certificate");
    std::string bytes(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return bytes;
}

void require(int result, const char* what) {
    if (result != 1)
        throw std::runtime_error(std::string("TLS set-up failed: ") + what + " (" +
                                 lastOpenSslError() + ")");
}

} // namespace

std::string sha256Fingerprint(const std::string& der) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(der.data(), der.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("cannot compute a SHA-256 digest");
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        if (i)
            text += ':';
        text += hex[digest[i] >> 4];
        text += hex[digest[i] & 15];
    }
    return text;
}

TlsCredentials loadTlsCredentials(const std::filesystem::path& certificateFile,
                                  const std::filesystem::path& keyFile) {
    std::vector<X509Ptr> chain = readChain(certificateFile);
    const KeyPtr key = readKey(keyFile);
    if (X509_check_private_key(chain.front().get(), key.get()) != 1) {
        ERR_clear_error();
        throw std::runtime_error("the key file " + keyFile.string() +
                                 " does not hold the key of the certificate in " +
                                 certificateFile.string());
    }

    namespace ssl = boost::asio::ssl;
    auto context = std::make_shared<ssl::context>(ssl::context::tls_server);
    SSL_CTX* native = context->native_handle();
    require(SSL_CTX_set_min_proto_version(native, TLS1_2_VERSION), "TLS versions");
    SSL_CTX_set_options(native, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION |
                                    SSL_OP_CIPHER_SERVER_PREFERENCE | SSL_OP_SINGLE_ECDH_USE);
    require(SSL_CTX_set_cipher_list(native, tls12Ciphers), "TLS 1.2 ciphers");
    require(SSL_CTX_set_ciphersuites(native, tls13Ciphers), "TLS 1.3 ciphers");
    require(SSL_CTX_set1_groups_list(native, groups), "key exchange groups");
    require(SSL_CTX_use_certificate(native, chain.front().get()), "the certificate");
    for (std::size_t i = 1; i < chain.size(); ++i)
        require(SSL_CTX_add1_chain_cert(native, chain[i].get()), "the certificate chain");
    require(SSL_CTX_use_PrivateKey(native, key.get()), "the key");
    require(SSL_CTX_check_private_key(native), "the key");
    return {std::move(context), sha256Fingerprint(derOf(chain.front().get()))};
}

} // namespace Vornctl::Serve
