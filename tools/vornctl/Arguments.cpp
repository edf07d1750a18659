#include "Arguments.h"

#include "JournalTime.h"
#include "Texts.h"

#include <cmath>

namespace Vornctl {
namespace {

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

struct KnownOption {
    std::string_view name;
    bool takesValue;
};

constexpr KnownOption knownOptions[] = {
    {"--interface", true}, {"--wait", true},
    {"--all", false},      {"--json", false},
    {"--yes", false},      {"--help", false},
    {"-h", false},         {"--csv", false},
    {"--dry-run", false},  {"--journal", true},
    {"--operator", true},  {"--device", true},
    {"--since", true},     {"--allow-duplicate", false},
};

const KnownOption* findOption(std::string_view name) {
    for (const auto& option : knownOptions)
        if (option.name == name)
            return &option;
    return nullptr;
}

std::string actionName(Action action) {
    switch (action) {
    case Action::Help:
        return "help";
    case Action::Interfaces:
        return "interfaces";
    case Action::List:
        return "list";
    case Action::Watch:
        return "watch";
    case Action::SerialGet:
        return "serial get";
    case Action::SerialSet:
        return "serial set";
    case Action::SerialProgram:
        return "serial program";
    case Action::Select:
        return "select";
    case Action::Deselect:
        return "deselect";
    case Action::Journal:
        return "journal";
    case Action::Inventory:
        return "inventory";
    }
    return "";
}

std::uint64_t deviceIdArgument(const std::string& text) {
    const auto id = parseDeviceId(text);
    if (!id)
        throw UsageError("invalid device ID \"" + text +
                         "\": expected 8 hex digits, a colon and 8 hex digits, as in "
                         "0001e240:000012ab");
    return *id;
}

void expectWords(const std::vector<std::string>& words, std::size_t count,
                 const std::string& form) {
    if (words.size() < count)
        throw UsageError("missing arguments: usage is vornctl " + form);
    if (words.size() > count)
        throw UsageError("unexpected argument \"" + words[count] + "\": usage is vornctl " + form);
}

} // namespace

std::optional<std::uint64_t> parseDeviceId(std::string_view text) {
    if (text.size() != 17 || text[8] != ':')
        return std::nullopt;
    std::uint64_t id = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i == 8)
            continue;
        const int digit = hexDigit(text[i]);
        if (digit < 0)
            return std::nullopt;
        id = (id << 4) | static_cast<std::uint64_t>(digit);
    }
    return id;
}

std::optional<std::uint32_t> parseSerial(std::string_view text) {
    if (text.empty() || text.size() > 10)
        return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (!isDigit(c))
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value > 0xFFFFFFFFull)
        return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

std::optional<std::chrono::milliseconds> parseWait(std::string_view text) {
    const auto point = text.find('.');
    const std::string_view whole = text.substr(0, point);
    const std::string_view fraction =
        point == std::string_view::npos ? std::string_view() : text.substr(point + 1);
    if (whole.empty() || whole.size() > 4 || (point != std::string_view::npos && fraction.empty()))
        return std::nullopt;
    std::int64_t seconds = 0;
    for (char c : whole) {
        if (!isDigit(c))
            return std::nullopt;
        seconds = seconds * 10 + (c - '0');
    }
    // Milliseconds from the first three fraction digits, rounded by the fourth.
    std::int64_t millis = 0;
    int scale = 100;
    bool roundUp = false;
    for (std::size_t i = 0; i < fraction.size(); ++i) {
        const char c = fraction[i];
        if (!isDigit(c))
            return std::nullopt;
        if (i < 3) {
            millis += (c - '0') * scale;
            scale /= 10;
        } else if (i == 3) {
            roundUp = c >= '5';
        }
    }
    const std::chrono::milliseconds total(seconds * 1000 + millis + (roundUp ? 1 : 0));
    if (total > maximumWait)
        return std::nullopt;
    return total;
}

Options parseArguments(const std::vector<std::string>& arguments) {
    Options options;
    std::vector<std::string> words;
    bool help = false;
    bool interfaceGiven = false;
    bool waitGiven = false;

    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.size() < 2 || argument[0] != '-' || (argument[1] != '-' && argument != "-h")) {
            words.push_back(argument);
            continue;
        }
        std::string name = argument;
        std::optional<std::string> value;
        if (const auto equals = argument.find('='); equals != std::string::npos) {
            name = argument.substr(0, equals);
            value = argument.substr(equals + 1);
        }
        const KnownOption* known = findOption(name);
        if (known == nullptr)
            throw UsageError("unknown option " + name);
        if (known->takesValue && !value) {
            if (i + 1 == arguments.size())
                throw UsageError(name + " needs a value");
            value = arguments[++i];
        }
        if (!known->takesValue && value)
            throw UsageError(name + " takes no value");

        if (name == "--interface") {
            if (interfaceGiven)
                throw UsageError("--interface given more than once");
            if (value->empty())
                throw UsageError("--interface needs an IPv4 address");
            interfaceGiven = true;
            options.interfaceAddress = *value;
        } else if (name == "--wait") {
            if (waitGiven)
                throw UsageError("--wait given more than once");
            waitGiven = true;
            options.wait = parseWait(*value);
            if (!options.wait)
                throw UsageError("invalid --wait \"" + *value +
                                 "\": expected seconds from 0 to 3600, such as 2 or 0.5");
        } else if (name == "--all") {
            options.all = true;
        } else if (name == "--json") {
            options.json = true;
        } else if (name == "--yes") {
            options.yes = true;
        } else if (name == "--csv") {
            options.csv = true;
        } else if (name == "--dry-run") {
            options.dryRun = true;
        } else if (name == "--journal") {
            if (value->empty())
                throw UsageError("--journal needs a file name");
            options.journal = *value;
        } else if (name == "--allow-duplicate") {
            options.allowDuplicate = true;
        } else if (name == "--device") {
            options.journalDevice = deviceIdArgument(*value);
        } else if (name == "--since") {
            options.since = Journal::parseUtc(*value);
            if (!options.since)
                throw UsageError("invalid --since \"" + *value +
                                 "\": expected a UTC time such as 2026-12-07 or "
                                 "2026-12-07T14:05:09Z");
        } else if (name == "--operator") {
            if (value->empty())
                throw UsageError("--operator needs a name");
            options.operatorName = *value;
        } else {
            help = true;
        }
    }

    if (help || (!words.empty() && words[0] == "help")) {
        options.action = Action::Help;
        return options;
    }
    if (words.empty())
        throw UsageError("no command given");

    const std::string& command = words[0];
    if (command == "interfaces") {
        expectWords(words, 1, "interfaces [--json]");
        options.action = Action::Interfaces;
    } else if (command == "list") {
        expectWords(words, 1, "--interface ADDRESS list [--wait SECONDS] [--all] [--json | --csv]");
        options.action = Action::List;
    } else if (command == "watch") {
        expectWords(words, 1, "--interface ADDRESS watch [--all] [--json]");
        options.action = Action::Watch;
    } else if (command == "serial") {
        if (words.size() < 2)
            throw UsageError("missing arguments: usage is vornctl --interface ADDRESS serial "
                             "get ID | serial set ID NUMBER | serial program FILE");
        if (words[1] == "get") {
            expectWords(words, 3, "--interface ADDRESS serial get ID");
            options.action = Action::SerialGet;
            options.deviceId = deviceIdArgument(words[2]);
        } else if (words[1] == "set") {
            expectWords(words, 4, "--interface ADDRESS serial set ID NUMBER [--yes]");
            options.action = Action::SerialSet;
            options.deviceId = deviceIdArgument(words[2]);
            const auto serial = parseSerial(words[3]);
            if (!serial)
                throw UsageError(std::string(Text::invalidSerialFormat) +
                                 " (an unsigned 32-bit number, 0 to 4294967295)");
            options.serial = *serial;
        } else if (words[1] == "program") {
            expectWords(words, 3,
                        "--interface ADDRESS serial program FILE [--dry-run] [--json] [--all]");
            options.action = Action::SerialProgram;
            options.file = words[2];
            if (options.file.empty())
                throw UsageError("serial program needs a file name");
        } else {
            throw UsageError("unknown serial command \"" + words[1] +
                             "\": use get, set or program");
        }
    } else if (command == "journal") {
        expectWords(words, 1, "journal [--device ID] [--since TIME] [--json | --csv]");
        options.action = Action::Journal;
    } else if (command == "inventory") {
        expectWords(words, 1,
                    "--interface ADDRESS inventory [--wait SECONDS] [--all] [--json | --csv]");
        options.action = Action::Inventory;
    } else if (command == "select" || command == "deselect") {
        expectWords(words, 2, "--interface ADDRESS " + command + " ID");
        options.action = command == "select" ? Action::Select : Action::Deselect;
        options.deviceId = deviceIdArgument(words[1]);
    } else {
        throw UsageError("unknown command \"" + command + "\"");
    }

    const Action action = options.action;
    if (action == Action::Interfaces) {
        if (interfaceGiven || waitGiven || options.all || options.yes)
            throw UsageError("interfaces takes only --json");
    } else if (action == Action::Journal) {
        if (interfaceGiven || waitGiven || options.all || options.yes)
            throw UsageError("journal takes only --device, --since, --json or --csv");
    } else if (!interfaceGiven) {
        throw UsageError(actionName(action) +
                         " needs --interface ADDRESS (see vornctl interfaces)");
    }
    if (options.json && action != Action::Interfaces && action != Action::List &&
        action != Action::Watch && action != Action::SerialProgram && action != Action::Journal &&
        action != Action::Inventory)
        throw UsageError("--json applies to list, watch, serial program, interfaces, journal and "
                         "inventory only");
    if (options.csv && action != Action::List && action != Action::Journal &&
        action != Action::Inventory)
        throw UsageError("--csv applies to list, journal and inventory only");
    if ((options.journalDevice || options.since) && action != Action::Journal)
        throw UsageError("--device and --since apply to journal only");
    if (options.csv && options.json)
        throw UsageError("--csv and --json exclude each other");
    if (options.dryRun && action != Action::SerialProgram)
        throw UsageError("--dry-run applies to serial program only");
    if (waitGiven && action == Action::Watch)
        throw UsageError("watch runs until interrupted and takes no --wait");
    if (options.yes && action != Action::SerialSet)
        throw UsageError("--yes applies to serial set only");
    if (options.allowDuplicate && action != Action::SerialSet && action != Action::SerialProgram)
        throw UsageError("--allow-duplicate applies to serial set and serial program only");
    return options;
}

std::chrono::milliseconds waitFor(const Options& options) {
    if (options.wait)
        return *options.wait;
    return options.action == Action::List ? defaultListWait : defaultDeviceWait;
}

std::string usage() {
    return R"(Usage:
  vornctl interfaces [--json]
  vornctl --interface ADDRESS list [--wait SECONDS] [--all] [--json | --csv]
  vornctl --interface ADDRESS watch [--all] [--json]
  vornctl --interface ADDRESS serial get ID [--wait SECONDS] [--all]
  vornctl --interface ADDRESS serial set ID NUMBER [--yes] [--allow-duplicate]
                                             [--wait SECONDS] [--all]
  vornctl --interface ADDRESS serial program FILE [--dry-run] [--json]
                                             [--allow-duplicate] [--wait SECONDS] [--all]
  vornctl --interface ADDRESS select ID [--wait SECONDS] [--all]
  vornctl --interface ADDRESS deselect ID [--wait SECONDS] [--all]
  vornctl --interface ADDRESS inventory [--wait SECONDS] [--all] [--json | --csv]
  vornctl journal [--device ID] [--since TIME] [--json | --csv]

Commands:
  interfaces    list the network adapters (description, IPv4 address, MAC, mask)
  list          discover devices for a while (default 2 s) and list them
  watch         print a line per device event (appeared, named, changed,
                removed) until interrupted (Ctrl-C ends it with status 0)
  serial get    read a device's serial number
  serial set    write a device's serial number; the number is asked for a
                second time on stdin unless --yes is given, then read back;
                every write is recorded in the journal first (--journal)
  serial program
                write the serial numbers of a CSV file of ID,SERIAL lines
                (a header line and # comments allowed): the whole file is
                checked first, then each device is written and read back;
                devices already holding their number are skipped
  select        mark a device as selected on the device itself
  deselect      clear that mark
  inventory     discover devices (default 2 s) and read every one's serial
                number in parallel; status 1 if any did not answer
  journal       show the recorded serial writes, intent and outcome joined
                (interrupted: the program ended between the two)

Options:
  --interface ADDRESS  IPv4 address of the adapter on the device network, as
                       listed by vornctl interfaces
  --wait SECONDS       how long to discover (list, default 2) or how long to
                       wait for the devices to appear (others, default 3)
  --all                list, or act on, every device type, not only the
                       Ondal 2 and Ondal 4 products (type codes 10 to 13)
  --json               print a JSON array (watch: one JSON object per line)
  --csv                list: print comma-separated values with a header line
  --dry-run            serial program: show what would change, write nothing
  --yes                do not ask for the serial number a second time
  --allow-duplicate    serial set: write a number another device holds now;
                       serial program: let the file give a number twice
  --journal FILE       record serial writes in FILE instead of
                       $XDG_STATE_HOME/vornctl/journal.jsonl (without it
                       ~/.local/state/..., on Windows %LOCALAPPDATA%\vornctl\...)
  --operator NAME      the name recorded with each write (default: the login)
  --device ID          journal: only this device's entries
  --since TIME         journal: only entries from this UTC time on
                       (2026-12-07 or 2026-12-07T14:05:09Z)
  -h, --help           this text

ID is the device ID as listed, high word first: 0001e240:000012ab.
NUMBER is an unsigned 32-bit decimal (0 to 4294967295).
Exit status: 0 success (serial program: every device verified or already
holding its number); 1 a device refused, did not answer, did not appear or is
not a serviced product, or the network could not be used; 2 usage error
(including an unknown interface, a bad number, a bad file or a failed
confirmation).
)";
}

} // namespace Vornctl
