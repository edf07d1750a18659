// serve's private files on Windows: the state folder and the keys carry an access list that
// grants the user running serve alone (Wine shows the system account beside it, mapped from
// the file's mode); nothing for Everyone or other groups, whatever the folder above allows.

#include "PrivateFile.h"

#include "TemporaryFolder.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

namespace {

struct LocalFree_ {
    void operator()(void* memory) const { LocalFree(memory); }
};

std::vector<unsigned char> currentUser() {
    HANDLE token = nullptr;
    EXPECT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<unsigned char> user(size);
    EXPECT_TRUE(GetTokenInformation(token, TokenUser, user.data(), size, &size));
    CloseHandle(token);
    return user;
}

// Describes each entry of `path`'s access list that is not an allowing one for the current
// user or the system account; empty when there is none, and "no entry for the user" when the
// user has none.
std::string foreignEntries(const std::filesystem::path& path) {
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &dacl, nullptr, &descriptor) != ERROR_SUCCESS)
        return "no access list readable";
    const std::unique_ptr<void, LocalFree_> holder(descriptor);
    if (!dacl)
        return "no access list (everyone has full access)";
    const auto user = currentUser();
    PSID userSid = reinterpret_cast<const TOKEN_USER*>(user.data())->User.Sid;
    std::string foreign;
    bool userFound = false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        void* entry = nullptr;
        if (!GetAce(dacl, i, &entry))
            return "unreadable entry";
        const auto* header = static_cast<const ACE_HEADER*>(entry);
        if (header->AceType != ACCESS_ALLOWED_ACE_TYPE) {
            foreign += " entry of type " + std::to_string(header->AceType);
            continue;
        }
        PSID sid = &static_cast<ACCESS_ALLOWED_ACE*>(entry)->SidStart;
        if (EqualSid(sid, userSid))
            userFound = true;
        else if (!IsWellKnownSid(sid, WinLocalSystemSid))
            foreign += " an entry for another account or group";
    }
    if (!userFound)
        foreign += " no entry for the user";
    return foreign;
}

std::string contents(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(PrivateFileWindows, FolderAndFilesAreTheUsersAlone) {
    TestSupport::TemporaryFolder temporary;
    const auto folder = temporary.path() / "state" / "serve";
    Vornctl::Serve::makePrivateFolder(folder);
    ASSERT_TRUE(std::filesystem::is_directory(folder));
    EXPECT_EQ(foreignEntries(folder), "");

    const auto key = folder / "server.key";
    Vornctl::Serve::writePrivateFile(key, "first key");
    EXPECT_EQ(contents(key), "first key");
    EXPECT_EQ(foreignEntries(key), "");

    // Replaced in one step, still the user's alone, nothing left beside it.
    const std::string second(3 << 20, 'k'); // more than one write call
    Vornctl::Serve::writePrivateFile(key, second);
    EXPECT_TRUE(contents(key) == second);
    EXPECT_EQ(foreignEntries(key), "");
    EXPECT_FALSE(std::filesystem::exists(key.string() + ".new"));
}

// A key written into a folder that everyone may read (made by someone else) is still the
// user's alone; so is one that replaces the leftover of an interrupted write.
TEST(PrivateFileWindows, KeyInASharedFolderIsTheUsersAlone) {
    TestSupport::TemporaryFolder temporary;
    const auto shared = temporary.path() / "shared";
    std::filesystem::create_directories(shared);
    ASSERT_NE(foreignEntries(shared), "") << "the folder is not shared, the test proves nothing";
    Vornctl::Serve::makePrivateFolder(shared); // exists: left as it is
    std::ofstream(shared / "ca.key.new") << "leftover";

    Vornctl::Serve::writePrivateFile(shared / "ca.key", "authority key");
    EXPECT_EQ(contents(shared / "ca.key"), "authority key");
    EXPECT_EQ(foreignEntries(shared / "ca.key"), "");
    EXPECT_FALSE(std::filesystem::exists(shared / "ca.key.new"));
}

TEST(PrivateFileWindows, UnwritablePlaceNamesTheFile) {
    TestSupport::TemporaryFolder temporary;
    const auto file = temporary.path() / "missing" / "server.key";
    try {
        Vornctl::Serve::writePrivateFile(file, "key");
        FAIL() << "writing into a missing folder succeeded";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("server.key"), std::string::npos) << error.what();
    }
}

} // namespace
