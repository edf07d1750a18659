#include "LocalAuthority.h"
#include "RequestGuard.h"
#include "TemporaryFolder.h"
#include "TlsContext.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

namespace {

using namespace std::chrono_literals;
using namespace Vornctl::Serve;

std::string readAll(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

TEST(ServeLocalAuthority, MadeOnceReusedAndReissuedForNewNamesOrExpiry) {
    TestSupport::TemporaryFolder folder;
    const auto tls = folder.path() / "tls";
    const auto first = ensureLocalCertificate(tls, {"192.0.2.1", "rack-pc"});
    ASSERT_EQ(first.notices.size(), 2u); // the authority, the server certificate
    EXPECT_EQ(certificateNames(first.certificateFile),
              (std::vector<std::string>{"192.0.2.1", "rack-pc"}));
    // Who may read the keys: the POSIX modes below, the Windows build's access lists in
    // tests/win32.
    const std::string served = readAll(first.certificateFile);
    const auto loaded = loadTlsCredentials(first.certificateFile, first.keyFile);

    // A second start reuses both.
    const auto again = ensureLocalCertificate(tls, {"192.0.2.1", "rack-pc"});
    EXPECT_TRUE(again.notices.empty());
    EXPECT_EQ(readAll(again.certificateFile), served);
    EXPECT_EQ(again.authorityFingerprint, first.authorityFingerprint);
    EXPECT_EQ(loadTlsCredentials(again.certificateFile, again.keyFile).fingerprint,
              loaded.fingerprint);

    // A new name: issued anew by the same authority, the old names kept.
    const auto grown = ensureLocalCertificate(tls, {"192.0.2.7"});
    ASSERT_EQ(grown.notices.size(), 1u);
    EXPECT_EQ(grown.authorityFingerprint, first.authorityFingerprint);
    EXPECT_EQ(certificateNames(grown.certificateFile),
              (std::vector<std::string>{"192.0.2.7", "192.0.2.1", "rack-pc"}));

    // Near its end: issued anew.
    const auto later =
        ensureLocalCertificate(tls, {"192.0.2.7"}, std::chrono::system_clock::now() + 380 * 24h);
    ASSERT_EQ(later.notices.size(), 1u);
    EXPECT_NE(later.notices[0].find("expire"), std::string::npos);
}

#ifndef _WIN32
// The process's umask set for one scope: 0 shows every permission a file is created with.
class Umask {
public:
    explicit Umask(mode_t mask) : old_(::umask(mask)) {}
    ~Umask() { ::umask(old_); }
    Umask(const Umask&) = delete;
    Umask& operator=(const Umask&) = delete;

private:
    const mode_t old_;
};

TEST(ServeLocalAuthority, KeysAndTheirFolderAreTheOwnersAloneWhateverTheUmask) {
    namespace fs = std::filesystem;
    const Umask open(0);
    TestSupport::TemporaryFolder folder;
    const auto tls = folder.path() / "state" / "tls";
    const auto local = ensureLocalCertificate(tls, {"192.0.2.1"});
    constexpr fs::perms ownerOnly = fs::perms::owner_read | fs::perms::owner_write;
    EXPECT_EQ(fs::status(tls).permissions(), fs::perms::owner_all);
    EXPECT_EQ(fs::status(tls / "authority.key").permissions(), ownerOnly);
    EXPECT_EQ(fs::status(local.keyFile).permissions(), ownerOnly);
    // A key issued anew replaces a file others could read with one they cannot.
    fs::permissions(local.keyFile, fs::perms::all);
    ensureLocalCertificate(tls, {"192.0.2.1", "192.0.2.9"});
    EXPECT_EQ(fs::status(local.keyFile).permissions(), ownerOnly);
    EXPECT_FALSE(fs::exists(local.keyFile.string() + ".new"));
}
#endif

TEST(ServeLocalAuthority, AKeyThatIsNotTheCertificatesIsRefusedNamingTheFile) {
    TestSupport::TemporaryFolder folder;
    const auto one = ensureLocalCertificate(folder.path() / "a", {"192.0.2.1"});
    const auto other = ensureLocalCertificate(folder.path() / "b", {"192.0.2.1"});
    try {
        loadTlsCredentials(one.certificateFile, other.keyFile);
        FAIL() << "a mismatched pair was taken";
    } catch (const std::runtime_error& failure) {
        EXPECT_NE(std::string(failure.what()).find(other.keyFile.string()), std::string::npos)
            << failure.what();
    }
    // A damaged authority is never replaced silently.
    std::ofstream(folder.path() / "a" / "authority.key") << "not a key";
    EXPECT_THROW(ensureLocalCertificate(folder.path() / "a", {"192.0.2.1"}), std::runtime_error);
}

TEST(ServeRules, UnderTlsTheOriginIsHttpsAndTheCookieSecure) {
    GuardConfig config;
    config.hosts = {"192.0.2.1:8017"};
    config.token = std::string(48, 'a');
    config.secure = true;
    RequestHead head;
    head.method = "PUT";
    head.target = "/api/devices/00000001:00000002/serial";
    head.host = "192.0.2.1:8017";
    const std::string bearer = "Bearer " + config.token;
    head.authorization = bearer;
    head.origin = "https://192.0.2.1:8017";
    EXPECT_EQ(checkRequest(config, head).kind, GuardVerdict::Kind::Pass);
    head.origin = "http://192.0.2.1:8017";
    EXPECT_EQ(checkRequest(config, head).status, 403);
    EXPECT_NE(tokenCookie("c", "t", true).find("; Secure"), std::string::npos);
    EXPECT_EQ(tokenCookie("c", "t", false).find("Secure"), std::string::npos);
    // The authority's certificate needs no token.
    RequestHead authority;
    authority.method = "GET";
    authority.target = "/ca.crt";
    authority.host = "192.0.2.1:8017";
    EXPECT_EQ(checkRequest(config, authority).kind, GuardVerdict::Kind::Public);
}

} // namespace
