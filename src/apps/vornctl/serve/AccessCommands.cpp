#include "AccessCommands.h"

#include "AccessFile.h"
#include "AccessToken.h"
#include "Arguments.h"
#include "Commands.h"
#include "Output.h"
#include "QrCode.h"
#include "Reports.h"
#include "Serve.h"

#include <algorithm>
#include <ostream>

namespace Vornctl::Serve {
namespace {

using Clock = std::chrono::system_clock;

int add(const std::filesystem::path& file, std::vector<Person> people, const Options& options,
        Console& console) {
    const std::string problem = nameProblem(options.person);
    if (!problem.empty()) {
        reportError(console, "cannot give \"" + options.person + "\" a link: " + problem);
        return Exit::usage;
    }
    if (std::any_of(people.begin(), people.end(),
                    [&](const Person& person) { return person.name == options.person; })) {
        reportError(console, options.person + " has a link already (vornctl access revoke " +
                                 options.person + " ends it)");
        return Exit::usage;
    }
    std::string error;
    const auto origins = linkOrigins(options, error);
    if (!origins) {
        reportError(console, error);
        return Exit::usage;
    }
    const std::string token = newAccessToken();
    Person person;
    person.name = options.person;
    person.role = options.readOnly ? Role::ReadOnly : Role::Write;
    person.created = std::chrono::time_point_cast<std::chrono::milliseconds>(Clock::now());
    if (options.expiresIn)
        person.expires = person.created + std::chrono::hours(24) * *options.expiresIn;
    person.tokenSha256 = tokenSha256(token);
    people.push_back(person);
    writeAccessFile(file, people);
    console.err << person.name << " (" << roleName(person.role) << ") may come in "
                << (person.expires ? "until " + Journal::formatUtc(*person.expires)
                                   : std::string("until revoked"))
                << " with this link; it is not shown again:" << std::endl;
    for (const std::string& origin : *origins)
        console.out << origin << "/?token=" << token << "\n";
    console.out.flush();
    if (const auto code = QrCode::encode(origins->front() + "/?token=" + token))
        console.out << code->halfBlocks() << std::flush;
    return Exit::success;
}

int list(const std::filesystem::path& file, const std::vector<Person>& people, Console& console) {
    const LastUses uses = readLastUses(file);
    const auto now = Clock::now();
    std::vector<std::vector<std::string>> rows;
    for (const Person& person : people) {
        const auto use = uses.find(person.tokenSha256);
        rows.push_back(
            {person.name, roleName(person.role), Journal::formatUtc(person.created),
             person.expires
                 ? Journal::formatUtc(*person.expires) + (expired(person, now) ? " (expired)" : "")
                 : std::string("never"),
             use == uses.end() ? std::string("never") : Journal::formatUtc(use->second.time),
             use == uses.end() ? std::string("-") : use->second.from});
    }
    console.out << formatTable({"Name", "Role", "Created", "Expires", "Last used", "From"}, rows)
                << std::flush;
    if (people.empty())
        console.err << "nobody has a link of their own in " << file.string() << std::endl;
    return Exit::success;
}

int revoke(const std::filesystem::path& file, std::vector<Person> people, const Options& options,
           Console& console) {
    const auto found = std::find_if(people.begin(), people.end(), [&](const Person& person) {
        return person.name == options.person;
    });
    if (found == people.end()) {
        reportError(console, "nobody named \"" + options.person + "\" has a link in " +
                                 file.string() + " (vornctl access list shows who has)");
        return Exit::usage;
    }
    people.erase(found);
    writeAccessFile(file, people);
    console.err << options.person
                << "'s link is revoked; a running serve closes their pages within a second"
                << std::endl;
    return Exit::success;
}

} // namespace

int runAccessCommand(const Options& options, Console& console) {
    try {
        const std::filesystem::path file = accessFilePath(options);
        std::string error;
        auto people = readAccessFile(file, error);
        if (!people) {
            reportError(console, error);
            return Exit::usage;
        }
        switch (options.action) {
        case Action::AccessAdd:
            return add(file, std::move(*people), options, console);
        case Action::AccessRevoke:
            return revoke(file, std::move(*people), options, console);
        default:
            return list(file, *people, console);
        }
    } catch (const std::exception& failure) {
        reportError(console, failure.what());
        return Exit::failed;
    }
}

} // namespace Vornctl::Serve
