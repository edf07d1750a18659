#include "LocalAuthority.h"

#include "PrivateFile.h"
#include "TlsContext.h"

#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <ctime>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <stdexcept>

namespace Vornctl::Serve {
namespace {

template <class T, void (*Free)(T*)> struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;
using OctetPtr =
    std::unique_ptr<ASN1_OCTET_STRING, Deleter<ASN1_OCTET_STRING, ASN1_OCTET_STRING_free>>;
using ExtensionPtr = std::unique_ptr<X509_EXTENSION, Deleter<X509_EXTENSION, X509_EXTENSION_free>>;
using NamesPtr = std::unique_ptr<GENERAL_NAMES, Deleter<GENERAL_NAMES, GENERAL_NAMES_free>>;

constexpr std::chrono::hours authorityValidity{3650 * 24};

void check(bool ok, const std::string& what) {
    if (!ok) {
        const unsigned long code = ERR_get_error();
        ERR_clear_error();
        char text[256] = "unknown error";
        if (code)
            ERR_error_string_n(code, text, sizeof text);
        throw std::runtime_error("cannot " + what + ": " + text);
    }
}

std::optional<std::string> readText(const std::filesystem::path& file) {
    std::error_code error;
    if (!std::filesystem::exists(file, error))
        return std::nullopt;
    std::ifstream in(file, std::ios::binary);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in && !in.eof())
        throw std::runtime_error("cannot read " + file.string());
    return text;
}

BioPtr memoryOf(const std::string& text) {
    return BioPtr(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
}

X509Ptr parseCertificate(const std::string& pem) {
    return X509Ptr(PEM_read_bio_X509(memoryOf(pem).get(), nullptr, nullptr, nullptr));
}

KeyPtr parseKey(const std::string& pem) {
    return KeyPtr(PEM_read_bio_PrivateKey(memoryOf(pem).get(), nullptr, nullptr, nullptr));
}

std::string pemOf(X509* certificate) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    check(PEM_write_bio_X509(bio.get(), certificate) == 1, "encode a certificate");
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

std::string pemOf(EVP_PKEY* key) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    check(PEM_write_bio_PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "encode a key");
    char* data = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &data);
    return std::string(data, static_cast<std::size_t>(length));
}

std::string derOf(X509* certificate) {
    unsigned char* der = nullptr;
    const int length = i2d_X509(certificate, &der);
    check(length > 0, "encode a certificate");
    std::string bytes(reinterpret_cast<const char*>(der), static_cast<std::size_t>(length));
    OPENSSL_free(der);
    return bytes;
}

bool dnsName(const std::string& name) {
    if (name.empty() || name.size() > 253)
        return false;
    return std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '.';
    });
}

// The text of an IP address entry (4 or 16 bytes), in the form a2i_IPADDRESS reads.
std::string addressText(const ASN1_OCTET_STRING* address) {
    const unsigned char* bytes = ASN1_STRING_get0_data(address);
    const int length = ASN1_STRING_length(address);
    std::string text;
    if (length == 4) {
        for (int i = 0; i < 4; ++i)
            text += (i ? "." : "") + std::to_string(bytes[i]);
    } else if (length == 16) {
        static constexpr char hex[] = "0123456789abcdef";
        for (int i = 0; i < 16; i += 2) {
            if (i)
                text += ':';
            const unsigned group = (static_cast<unsigned>(bytes[i]) << 8) | bytes[i + 1];
            std::string digits;
            for (int shift = 12; shift >= 0; shift -= 4)
                digits += hex[(group >> shift) & 15];
            text += digits;
        }
    }
    return text;
}

struct NameEntry {
    bool ip = false;
    std::string text;  // as given or read
    std::string bytes; // an address's 4 or 16 bytes; a name in lowercase
};

std::optional<NameEntry> entryOf(const std::string& name) {
    if (OctetPtr address{a2i_IPADDRESS(name.c_str())}) {
        const auto* data = ASN1_STRING_get0_data(address.get());
        return NameEntry{true, addressText(address.get()),
                         std::string(reinterpret_cast<const char*>(data),
                                     static_cast<std::size_t>(ASN1_STRING_length(address.get())))};
    }
    if (!dnsName(name))
        return std::nullopt;
    std::string lower = name;
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
    return NameEntry{false, lower, lower};
}

std::vector<NameEntry> namesOf(X509* certificate) {
    std::vector<NameEntry> entries;
    NamesPtr names(static_cast<GENERAL_NAMES*>(
        X509_get_ext_d2i(certificate, NID_subject_alt_name, nullptr, nullptr)));
    if (!names)
        return entries;
    for (int i = 0; i < sk_GENERAL_NAME_num(names.get()); ++i) {
        const GENERAL_NAME* name = sk_GENERAL_NAME_value(names.get(), i);
        if (name->type == GEN_IPADD) {
            if (auto entry = entryOf(addressText(name->d.iPAddress)))
                entries.push_back(*entry);
        } else if (name->type == GEN_DNS) {
            const auto* data = ASN1_STRING_get0_data(name->d.dNSName);
            const std::string text(reinterpret_cast<const char*>(data),
                                   static_cast<std::size_t>(ASN1_STRING_length(name->d.dNSName)));
            if (auto entry = entryOf(text))
                entries.push_back(*entry);
        }
    }
    return entries;
}

bool holds(const std::vector<NameEntry>& entries, const NameEntry& wanted) {
    return std::any_of(entries.begin(), entries.end(), [&](const NameEntry& entry) {
        return entry.ip == wanted.ip && entry.bytes == wanted.bytes;
    });
}

std::string joined(const std::vector<NameEntry>& entries) {
    std::string text;
    for (const NameEntry& entry : entries)
        text += (text.empty() ? "" : ", ") + entry.text;
    return text;
}

void addExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    ExtensionPtr extension(X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str()));
    check(extension != nullptr, "make the certificate extension " + value);
    check(X509_add_ext(certificate, extension.get(), -1) == 1, "add a certificate extension");
}

void setName(X509_NAME* name, const std::string& commonName) {
    check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_UTF8,
                                     reinterpret_cast<const unsigned char*>(commonName.c_str()), -1,
                                     -1, 0) == 1,
          "name a certificate");
}

KeyPtr newKey() {
    KeyPtr key(EVP_EC_gen("P-256"));
    check(key != nullptr, "make a P-256 key");
    return key;
}

// A certificate for `key`'s public half, valid from an hour before `now`.
X509Ptr newCertificate(EVP_PKEY* key, const std::string& commonName,
                       std::chrono::system_clock::time_point now, std::chrono::hours validity) {
    X509Ptr certificate(X509_new());
    check(certificate != nullptr, "make a certificate");
    check(X509_set_version(certificate.get(), 2) == 1, "make a certificate");
    unsigned char serial[16];
    check(RAND_bytes(serial, sizeof serial) == 1, "draw a serial number");
    serial[0] &= 0x7f; // positive
    std::unique_ptr<BIGNUM, Deleter<BIGNUM, BN_free>> number(
        BN_bin2bn(serial, sizeof serial, nullptr));
    check(number && BN_to_ASN1_INTEGER(number.get(), X509_get_serialNumber(certificate.get())),
          "set a serial number");
    std::time_t start = std::chrono::system_clock::to_time_t(now);
    const long seconds = static_cast<long>(std::chrono::seconds(validity).count());
    check(X509_time_adj_ex(X509_getm_notBefore(certificate.get()), 0, -3600, &start) != nullptr &&
              X509_time_adj_ex(X509_getm_notAfter(certificate.get()), 0, seconds, &start) !=
                  nullptr,
          "set a validity");
    setName(X509_get_subject_name(certificate.get()), commonName);
    check(X509_set_pubkey(certificate.get(), key) == 1, "set a public key");
    return certificate;
}

void sign(X509* certificate, EVP_PKEY* key) {
    check(X509_sign(certificate, key, EVP_sha256()) > 0, "sign a certificate");
}

struct Authority {
    X509Ptr certificate;
    KeyPtr key;
    std::string pem;
};

Authority loadOrMakeAuthority(const std::filesystem::path& folder,
                              std::chrono::system_clock::time_point now,
                              std::vector<std::string>& notices) {
    const auto certificateFile = folder / "authority.crt";
    const auto keyFile = folder / "authority.key";
    const auto pem = readText(certificateFile);
    const auto keyPem = readText(keyFile);
    if (pem || keyPem) {
        if (!pem || !keyPem)
            throw std::runtime_error("the local certificate authority is incomplete: " +
                                     (pem ? keyFile : certificateFile).string() +
                                     " is missing (remove the other file to make a new one)");
        Authority authority{parseCertificate(*pem), parseKey(*keyPem), *pem};
        ERR_clear_error();
        if (!authority.certificate)
            throw std::runtime_error("the authority certificate " + certificateFile.string() +
                                     " holds no PEM certificate");
        if (!authority.key)
            throw std::runtime_error("the authority key " + keyFile.string() +
                                     " holds no PEM private key");
        if (X509_check_private_key(authority.certificate.get(), authority.key.get()) != 1) {
            ERR_clear_error();
            throw std::runtime_error("the authority key " + keyFile.string() +
                                     " is not the key of " + certificateFile.string());
        }
        std::time_t t = std::chrono::system_clock::to_time_t(now);
        if (X509_cmp_time(X509_get0_notAfter(authority.certificate.get()), &t) <= 0)
            throw std::runtime_error("the local certificate authority " + certificateFile.string() +
                                     " has expired (remove authority.crt and authority.key "
                                     "to make a new one)");
        return authority;
    }
    Authority authority;
    authority.key = newKey();
    authority.certificate = newCertificate(authority.key.get(), "vornctl serve local authority",
                                           now, authorityValidity);
    X509* self = authority.certificate.get();
    check(X509_set_issuer_name(self, X509_get_subject_name(self)) == 1, "name the issuer");
    addExtension(self, self, NID_basic_constraints, "critical,CA:TRUE,pathlen:0");
    addExtension(self, self, NID_key_usage, "critical,keyCertSign,cRLSign");
    addExtension(self, self, NID_subject_key_identifier, "hash");
    addExtension(self, self, NID_authority_key_identifier, "keyid:always");
    sign(self, authority.key.get());
    authority.pem = pemOf(self);
    makePrivateFolder(folder);
    writePrivateFile(keyFile, pemOf(authority.key.get()));
    writePrivateFile(certificateFile, authority.pem);
    notices.push_back("made a local certificate authority in " + folder.string() +
                      " (a browser that trusts it, from /ca.crt, trusts every certificate it "
                      "issues)");
    return authority;
}

// Why the server certificate must be issued anew; nothing when it can stay.
std::optional<std::string>
renewalReason(const std::optional<std::string>& pem, const std::optional<std::string>& keyPem,
              const Authority& authority, const std::vector<NameEntry>& wanted,
              std::chrono::system_clock::time_point now, std::vector<NameEntry>& held) {
    if (!pem || !keyPem)
        return "there was none";
    const X509Ptr certificate = parseCertificate(*pem);
    const KeyPtr key = parseKey(*keyPem);
    ERR_clear_error();
    if (!certificate || !key || X509_check_private_key(certificate.get(), key.get()) != 1) {
        ERR_clear_error();
        return "the old one or its key could not be read";
    }
    if (X509_verify(certificate.get(), authority.key.get()) != 1) {
        ERR_clear_error();
        return "the old one was not issued by this authority";
    }
    held = namesOf(certificate.get());
    std::time_t soon = std::chrono::system_clock::to_time_t(
        now + std::chrono::duration_cast<std::chrono::system_clock::duration>(renewBefore));
    if (X509_cmp_time(X509_get0_notAfter(certificate.get()), &soon) <= 0)
        return "the old one has expired or expires within 30 days";
    std::vector<NameEntry> missing;
    for (const NameEntry& entry : wanted)
        if (!holds(held, entry))
            missing.push_back(entry);
    if (!missing.empty())
        return "the old one did not name " + joined(missing);
    return std::nullopt;
}

} // namespace

std::vector<std::string> certificateNames(const std::filesystem::path& certificateFile) {
    const auto pem = readText(certificateFile);
    X509Ptr certificate = pem ? parseCertificate(*pem) : nullptr;
    ERR_clear_error();
    if (!certificate)
        throw std::runtime_error("cannot read a certificate from " + certificateFile.string());
    std::vector<std::string> names;
    for (const NameEntry& entry : namesOf(certificate.get()))
        names.push_back(entry.text);
    return names;
}

LocalCertificate ensureLocalCertificate(const std::filesystem::path& folder,
                                        const std::vector<std::string>& names,
                                        std::chrono::system_clock::time_point now) {
    LocalCertificate result;
    result.certificateFile = folder / "server.crt";
    result.keyFile = folder / "server.key";
    Authority authority = loadOrMakeAuthority(folder, now, result.notices);
    result.authorityPem = authority.pem;
    result.authorityFingerprint = sha256Fingerprint(derOf(authority.certificate.get()));

    std::vector<NameEntry> wanted;
    for (const std::string& name : names)
        if (auto entry = entryOf(name); entry && !holds(wanted, *entry))
            wanted.push_back(*entry);
    if (wanted.empty())
        throw std::runtime_error("no address or host name to issue a server certificate for");

    std::vector<NameEntry> held;
    const auto reason = renewalReason(readText(result.certificateFile), readText(result.keyFile),
                                      authority, wanted, now, held);
    if (!reason)
        return result;

    std::vector<NameEntry> all = wanted; // the names asked for first, then the old ones
    for (const NameEntry& entry : held)
        if (!holds(all, entry))
            all.push_back(entry);
    std::string alternatives;
    for (const NameEntry& entry : all)
        alternatives +=
            (alternatives.empty() ? "" : ",") + std::string(entry.ip ? "IP:" : "DNS:") + entry.text;

    const KeyPtr key = newKey();
    const X509Ptr certificate = newCertificate(key.get(), all.front().text, now, serverValidity);
    X509* server = certificate.get();
    check(X509_set_issuer_name(server, X509_get_subject_name(authority.certificate.get())) == 1,
          "name the issuer");
    addExtension(server, authority.certificate.get(), NID_basic_constraints, "critical,CA:FALSE");
    addExtension(server, authority.certificate.get(), NID_key_usage, "critical,digitalSignature");
    addExtension(server, authority.certificate.get(), NID_ext_key_usage, "serverAuth");
    addExtension(server, authority.certificate.get(), NID_subject_key_identifier, "hash");
    addExtension(server, authority.certificate.get(), NID_authority_key_identifier, "keyid:always");
    addExtension(server, authority.certificate.get(), NID_subject_alt_name, alternatives);
    sign(server, authority.key.get());
    makePrivateFolder(folder);
    // The key first: a certificate never stands beside a key that is not its own
    // for longer than between the two renames.
    writePrivateFile(result.keyFile, pemOf(key.get()));
    writePrivateFile(result.certificateFile, pemOf(server));
    result.notices.push_back("issued a new server certificate for " + joined(all) + " (" + *reason +
                             ")");
    return result;
}

} // namespace Vornctl::Serve
