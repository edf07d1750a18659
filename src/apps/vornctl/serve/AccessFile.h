#pragma once

#include "JournalTime.h"

#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The people a vornctl serve lets in, each with a link of their own: the
// access file (`vornctl access add|list|revoke` writes it, serve reads it).
// It holds a SHA-256 of each token, never the token itself.
namespace Vornctl::Serve {

enum class Role {
    Write,    // everything the page and the API offer
    ReadOnly, // looks: no serial write, no program run
};
// "write", "read-only".
const char* roleName(Role role);
std::optional<Role> parseRole(std::string_view name);

struct Person {
    std::string name;
    Role role = Role::Write;
    Journal::SystemTime created;
    std::optional<Journal::SystemTime> expires; // none: never
    std::string tokenSha256;                    // 64 lowercase hex digits
};

// When and from where a person's link was last used; serve keeps it in a
// file of its own beside the access file (FILE.last-used), so that serve
// never rewrites the file a person at the box edits.
struct LastUse {
    Journal::SystemTime time;
    std::string from; // the client's address
};
// By tokenSha256.
using LastUses = std::map<std::string, LastUse>;

// The name serve's own token (--token-file, or the one printed at the start)
// goes by in the journal and on the page; no person may take it.
constexpr std::string_view ownerName = "owner";

// SHA-256 of the token as 64 lowercase hex digits.
std::string tokenSha256(std::string_view token);

// Why `name` cannot name a person (empty: it can): 1 to 32 letters, digits
// and ".-_", starting with a letter or a digit, and not ownerName.
std::string nameProblem(std::string_view name);

// The access file's text (JSON), and back. parseAccess: nothing, with `error`
// set, when it is not an access file.
std::string formatAccess(const std::vector<Person>& people);
std::optional<std::vector<Person>> parseAccess(std::string_view text, std::string& error);

// The access file `path`: no people when it does not exist. Nothing, with
// `error` set for a person, when it cannot be read, is not an access file,
// or others than its owner may read it.
std::optional<std::vector<Person>> readAccessFile(const std::filesystem::path& path,
                                                  std::string& error);
// Writes it whole (0600, beside it first, then renamed into place); the
// folder is made when missing. Throws std::runtime_error naming the file.
void writeAccessFile(const std::filesystem::path& path, const std::vector<Person>& people);

// The last-use file beside `accessFile`; empty when missing or unreadable
// (it is only a record of what happened).
std::filesystem::path lastUsePath(const std::filesystem::path& accessFile);
LastUses readLastUses(const std::filesystem::path& accessFile);
// Throws std::runtime_error naming the file.
void writeLastUses(const std::filesystem::path& accessFile, const LastUses& uses);

// Whether `person` may come in at `now`.
bool expired(const Person& person, Journal::SystemTime now);

} // namespace Vornctl::Serve
