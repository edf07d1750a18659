// tls_probe: one TLS client connection as the programs make it (Boost.Asio's ssl stream over
// the build's OpenSSL), for the test that puts it against another TLS implementation.
//
//   tls_probe HOST PORT AUTHORITY_PEM NAME
//
// Trusts AUTHORITY_PEM alone, checks the chain and that the certificate is NAME's (an address
// or a host name), sends "GET / HTTP/1.0" and prints
//   verified VERSION CIPHER SHA256
//   FIRST_LINE_OF_THE_ANSWER
// with SHA256 the certificate's digest in lowercase hex. On any failure: the reason on stderr,
// exit status 1 (2 for a wrong command line).

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/streambuf.hpp>
#include <boost/asio/write.hpp>

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <exception>
#include <iostream>
#include <istream>
#include <memory>
#include <string>

namespace {

namespace asio = boost::asio;
namespace ssl = boost::asio::ssl;

std::string verifyText(long result) {
    return X509_verify_cert_error_string(result);
}

std::string digestOf(X509* certificate) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &size) != 1)
        throw std::runtime_error("cannot digest the certificate");
    std::string hex;
    char pair[3];
    for (unsigned int i = 0; i < size; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

int probe(const std::string& host, const std::string& port, const std::string& authority,
          const std::string& name) {
    asio::io_context io;
    ssl::context context(ssl::context::tls_client);
    context.load_verify_file(authority);
    context.set_verify_mode(ssl::verify_peer);
    ssl::stream<asio::ip::tcp::socket> stream(io, context);

    X509_VERIFY_PARAM* verify = SSL_get0_param(stream.native_handle());
    boost::system::error_code notAnAddress;
    asio::ip::make_address(name, notAnAddress);
    if ((notAnAddress ? X509_VERIFY_PARAM_set1_host(verify, name.c_str(), 0)
                      : X509_VERIFY_PARAM_set1_ip_asc(verify, name.c_str())) != 1)
        throw std::runtime_error("cannot check for the name " + name);
    if (notAnAddress && !SSL_set_tlsext_host_name(stream.native_handle(), name.c_str()))
        throw std::runtime_error("cannot send the name " + name);

    asio::ip::tcp::resolver resolver(io);
    asio::connect(stream.next_layer(), resolver.resolve(host, port));
    boost::system::error_code error;
    stream.handshake(ssl::stream_base::client, error);
    if (error) {
        const long result = SSL_get_verify_result(stream.native_handle());
        std::cerr << "tls_probe: handshake failed: " << error.message();
        if (result != X509_V_OK)
            std::cerr << " (certificate: " << verifyText(result) << ")";
        std::cerr << "\n";
        return 1;
    }
    const std::unique_ptr<X509, decltype(&X509_free)> served(
        SSL_get1_peer_certificate(stream.native_handle()), &X509_free);
    if (!served)
        throw std::runtime_error("the server sent no certificate");
    std::cout << "verified " << SSL_get_version(stream.native_handle()) << " "
              << SSL_get_cipher_name(stream.native_handle()) << " " << digestOf(served.get())
              << "\n";

    const std::string request = "GET / HTTP/1.0\r\n\r\n";
    asio::write(stream, asio::buffer(request));
    asio::streambuf answer;
    asio::read_until(stream, answer, "\r\n");
    std::istream in(&answer);
    std::string line;
    std::getline(in, line);
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    std::cout << line << std::endl;
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::cerr << "usage: tls_probe HOST PORT AUTHORITY_PEM NAME\n";
        return 2;
    }
    try {
        return probe(argv[1], argv[2], argv[3], argv[4]);
    } catch (const std::exception& error) {
        std::cerr << "tls_probe: " << error.what() << "\n";
        return 1;
    }
}
