// The Windows build of the TLS library reads its configuration file when TLS starts, and may
// load engines and modules from folders named in it: all of them must be folders only
// administrators may write to, or any user could plant code in a program another user runs.

#include <gtest/gtest.h>

#include <openssl/crypto.h>

#include <string>

namespace {

TEST(TlsLibraryWindows, FoldersCompiledInAreForAdministratorsOnly) {
    const struct {
        int which;
        const char* label;
    } folders[] = {{OPENSSL_DIR, "OPENSSLDIR"},
                   {OPENSSL_ENGINES_DIR, "ENGINESDIR"},
                   {OPENSSL_MODULES_DIR, "MODULESDIR"}};
    for (const auto& folder : folders) {
        const std::string text = OpenSSL_version(folder.which);
        EXPECT_EQ(text.rfind(std::string(folder.label) + ": \"C:/Program Files/", 0), 0u) << text;
    }
}

} // namespace
