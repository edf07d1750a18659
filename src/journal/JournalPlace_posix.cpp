#include "JournalPlace.h"

#include "JournalFile.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace Journal {
namespace {

const passwd* ownAccount(std::vector<char>& buffer, passwd& entry) {
    buffer.resize(16384);
    passwd* found = nullptr;
    if (::getpwuid_r(::geteuid(), &entry, buffer.data(), buffer.size(), &found) != 0)
        return nullptr;
    return found;
}

} // namespace

std::filesystem::path defaultJournalPath() {
    const std::filesystem::path file = std::filesystem::path("vornctl") / "journal.jsonl";
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && std::filesystem::path(state).is_absolute())
        return std::filesystem::path(state) / file;
    const char* home = std::getenv("HOME");
    std::vector<char> buffer;
    passwd entry{};
    if ((!home || !*home)) {
        const passwd* account = ownAccount(buffer, entry);
        home = account ? account->pw_dir : nullptr;
    }
    if (!home || !*home)
        throw JournalError("no place for the journal: neither XDG_STATE_HOME nor HOME is set");
    return std::filesystem::path(home) / ".local" / "state" / file;
}

std::string loginName() {
    // The login's name, also under sudo; the account's when there is no login.
    char name[256] = {};
    if (::getlogin_r(name, sizeof name) == 0 && name[0] != '\0')
        return name;
    std::vector<char> buffer;
    passwd entry{};
    if (const passwd* account = ownAccount(buffer, entry); account && account->pw_name)
        return account->pw_name;
    const char* user = std::getenv("USER");
    return user && *user ? user : "unknown";
}

std::string hostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) == 0 && name[0] != '\0')
        return name;
    return "unknown";
}

} // namespace Journal
