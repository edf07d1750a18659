// Access lists for the user alone: a folder made with one, files made with one in a folder
// everyone may read, and serve's private folder and files (the state folder, keys, token). Nothing
// for Everyone or other groups (Wine shows the system account beside the user, mapped from the
// file's mode).

#include "OwnerOnlyAccess.h"
#include "PrivateFile.h"

#include "TemporaryFolder.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <aclapi.h>

#include <filesystem>
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

void createFile(const std::filesystem::path& file, SECURITY_ATTRIBUTES* attributes) {
    const HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, attributes, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    CloseHandle(handle);
}

using Vornctl::Serve::OwnerOnlyAccess;

// Wine does not apply inherited entries to what is created inside (it derives the list from
// the file's mode), so only the folder's own list is checked; the keys get lists of their own.
TEST(OwnerOnlyAccess, FolderIsTheUsersAlone) {
    TestSupport::TemporaryFolder temporary;
    const auto folder = temporary.path() / "state";
    OwnerOnlyAccess access(OwnerOnlyAccess::Kind::Folder);
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), access.attributes())) << GetLastError();
    EXPECT_EQ(foreignEntries(folder), "");
    std::filesystem::create_directory(temporary.path() / "plain");
    EXPECT_NE(foreignEntries(temporary.path() / "plain"), "")
        << "folders are private anyway: the test would prove nothing";
}

TEST(OwnerOnlyAccess, FileInASharedFolderIsTheUsersAlone) {
    TestSupport::TemporaryFolder temporary;
    const auto shared = temporary.path() / "shared";
    std::filesystem::create_directories(shared);
    std::ofstream(shared / "plain.txt") << "x";
    ASSERT_NE(foreignEntries(shared / "plain.txt"), "")
        << "files in this folder are private anyway: the test would prove nothing";

    OwnerOnlyAccess access(OwnerOnlyAccess::Kind::File);
    createFile(shared / "server.key", access.attributes());
    EXPECT_EQ(foreignEntries(shared / "server.key"), "");
    // One description serves several files.
    createFile(shared / "ca.key", access.attributes());
    EXPECT_EQ(foreignEntries(shared / "ca.key"), "");
}

std::string contents(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::size_t filesIn(const std::filesystem::path& folder) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(folder))
        ++count;
    return count;
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
    EXPECT_EQ(filesIn(folder), 1u) << "a temporary file was left beside the key";

    // Created only where there is none: an existing key is kept as it is.
    EXPECT_FALSE(Vornctl::Serve::createPrivateFile(key, "third key"));
    EXPECT_TRUE(contents(key) == second);
    EXPECT_TRUE(Vornctl::Serve::createPrivateFile(folder / "token", "token"));
    EXPECT_EQ(contents(folder / "token"), "token");
    EXPECT_EQ(foreignEntries(folder / "token"), "");
    EXPECT_EQ(filesIn(folder), 2u);
}

// A key written into a folder that everyone may read (made by someone else) is still the
// user's alone.
TEST(PrivateFileWindows, KeyInASharedFolderIsTheUsersAlone) {
    TestSupport::TemporaryFolder temporary;
    const auto shared = temporary.path() / "shared";
    std::filesystem::create_directories(shared);
    ASSERT_NE(foreignEntries(shared), "") << "the folder is not shared, the test proves nothing";
    Vornctl::Serve::makePrivateFolder(shared); // exists: left as it is

    Vornctl::Serve::writePrivateFile(shared / "ca.key", "authority key");
    EXPECT_EQ(contents(shared / "ca.key"), "authority key");
    EXPECT_EQ(foreignEntries(shared / "ca.key"), "");
    EXPECT_EQ(filesIn(shared), 1u);
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
