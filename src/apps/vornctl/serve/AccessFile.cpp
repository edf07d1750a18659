#include "AccessFile.h"

#include "PrivateFile.h"

#include <nlohmann/json.hpp>
#include <openssl/evp.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace Vornctl::Serve {
namespace {

using Json = nlohmann::ordered_json;

const char* const roleNames[] = {"write", "read-only"};

bool hexDigest(std::string_view text) {
    return text.size() == 64 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

std::optional<Journal::SystemTime> timeField(const Json& object, const char* key) {
    const auto found = object.find(key);
    if (found == object.end() || !found->is_string())
        return std::nullopt;
    return Journal::parseUtc(found->get<std::string>());
}

std::optional<Person> parsePerson(const Json& object) {
    if (!object.is_object())
        return std::nullopt;
    Person person;
    const auto name = object.find("name");
    const auto role = object.find("role");
    const auto hash = object.find("tokenSha256");
    const auto expires = object.find("expires");
    if (name == object.end() || !name->is_string() || role == object.end() || !role->is_string() ||
        hash == object.end() || !hash->is_string() || expires == object.end() ||
        !(expires->is_null() || expires->is_string()))
        return std::nullopt;
    person.name = name->get<std::string>();
    const auto parsedRole = parseRole(role->get<std::string>());
    const auto created = timeField(object, "created");
    person.tokenSha256 = hash->get<std::string>();
    if (!nameProblem(person.name).empty() || !parsedRole || !created ||
        !hexDigest(person.tokenSha256))
        return std::nullopt;
    person.role = *parsedRole;
    person.created = *created;
    if (expires->is_string()) {
        person.expires = timeField(object, "expires");
        if (!person.expires)
            return std::nullopt;
    }
    return person;
}

std::string readWhole(const std::filesystem::path& path, bool& ok) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    ok = static_cast<bool>(file) || file.eof();
    return text.str();
}

} // namespace

const char* roleName(Role role) {
    return roleNames[static_cast<int>(role)];
}

std::optional<Role> parseRole(std::string_view name) {
    for (int i = 0; i < 2; ++i)
        if (name == roleNames[i])
            return static_cast<Role>(i);
    return std::nullopt;
}

std::string tokenSha256(std::string_view token) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (EVP_Digest(token.data(), token.size(), digest, &size, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("cannot compute a SHA-256");
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned int i = 0; i < size; ++i) {
        hex += digits[digest[i] >> 4];
        hex += digits[digest[i] & 0x0F];
    }
    return hex;
}

std::string nameProblem(std::string_view name) {
    if (name.empty() || name.size() > 32)
        return "a name has 1 to 32 characters";
    auto alphanumeric = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    };
    if (!alphanumeric(name.front()))
        return "a name starts with a letter or a digit";
    for (char c : name)
        if (!alphanumeric(c) && c != '.' && c != '-' && c != '_')
            return "a name holds letters, digits and .-_ only";
    if (name == ownerName)
        return "\"owner\" names the holder of serve's own token";
    return {};
}

std::string formatAccess(const std::vector<Person>& people) {
    Json list = Json::array();
    for (const Person& person : people)
        list.push_back({{"name", person.name},
                        {"role", roleName(person.role)},
                        {"created", Journal::formatUtc(person.created)},
                        {"expires", person.expires ? Json(Journal::formatUtc(*person.expires))
                                                   : Json(nullptr)},
                        {"tokenSha256", person.tokenSha256}});
    return Json{{"people", list}}.dump(1) + "\n";
}

std::optional<std::vector<Person>> parseAccess(std::string_view text, std::string& error) {
    const Json whole = Json::parse(text, nullptr, false);
    const auto list = whole.is_object() ? whole.find("people") : whole.end();
    if (whole.is_discarded() || list == whole.end() || !list->is_array()) {
        error = "not an access file (a JSON object with a list \"people\")";
        return std::nullopt;
    }
    std::vector<Person> people;
    for (std::size_t i = 0; i < list->size(); ++i) {
        auto person = parsePerson((*list)[i]);
        if (!person) {
            error = "person " + std::to_string(i + 1) + " lacks a field or has a bad one";
            return std::nullopt;
        }
        people.push_back(std::move(*person));
    }
    return people;
}

std::optional<std::vector<Person>> readAccessFile(const std::filesystem::path& path,
                                                  std::string& error) {
    std::error_code missing;
    if (!std::filesystem::exists(path, missing) && !missing)
        return std::vector<Person>{};
    const std::string others = readableByOthers(path);
    if (!others.empty()) {
        error = "the access file " + path.string() + " may be read by others (" + others +
                "); allow its owner only (chmod 600 " + path.string() + ")";
        return std::nullopt;
    }
    bool ok = false;
    const std::string text = readWhole(path, ok);
    if (!ok) {
        error = "cannot read the access file " + path.string();
        return std::nullopt;
    }
    std::string why;
    auto people = parseAccess(text, why);
    if (!people)
        error = "the access file " + path.string() + ": " + why;
    return people;
}

void writeAccessFile(const std::filesystem::path& path, const std::vector<Person>& people) {
    if (path.has_parent_path())
        makePrivateFolder(path.parent_path());
    writePrivateFile(path, formatAccess(people));
}

std::filesystem::path lastUsePath(const std::filesystem::path& accessFile) {
    return accessFile.string() + ".last-used";
}

LastUses readLastUses(const std::filesystem::path& accessFile) {
    bool ok = false;
    const Json whole = Json::parse(readWhole(lastUsePath(accessFile), ok), nullptr, false);
    LastUses uses;
    if (!ok || !whole.is_object())
        return uses;
    for (const auto& [hash, use] : whole.items()) {
        const auto time = timeField(use, "time");
        const auto from = use.is_object() ? use.find("from") : use.end();
        if (time && from != use.end() && from->is_string())
            uses[hash] = LastUse{*time, from->get<std::string>()};
    }
    return uses;
}

void writeLastUses(const std::filesystem::path& accessFile, const LastUses& uses) {
    Json whole = Json::object();
    for (const auto& [hash, use] : uses)
        whole[hash] = {{"time", Journal::formatUtc(use.time)}, {"from", use.from}};
    writePrivateFile(lastUsePath(accessFile), whole.dump(1) + "\n");
}

bool expired(const Person& person, Journal::SystemTime now) {
    return person.expires && *person.expires <= now;
}

} // namespace Vornctl::Serve
