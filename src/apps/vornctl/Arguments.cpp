#include "Arguments.h"

#include "CliMessage.h"
#include "ConfigFile.h"
#include "JournalTime.h"
#include "Texts.h"
#include "Values.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <map>

namespace Vornctl {
namespace {

// How an option relates to the commands.
enum class Scope {
    Command, // taken by the commands that list it
    Leading, // required by the commands that list it, and written before them
    Global,  // taken by every command; the Options section lists it, usage lines do not
    Program, // about the program, not a command: taken anywhere, ends the parse
};

// Every option vornctl knows; the help lists them in this order. Options may
// stand anywhere on the line, before or after the command.
struct OptionSpec {
    std::string_view name;  // "--wait"; "-h,--help" for one with several names
    std::string_view value; // the value's name in the help; empty for a flag
    std::string_view help;  // a '\n' continues the description on another line
    Scope scope;
    std::string_view hint;                       // Leading: where to find the value
    void (*store)(Options&, const std::string&); // stores one value; throws UsageError
};

// The arguments commands take after their name.
struct ArgumentSpec {
    std::string_view name;
    void (*store)(Options&, const std::string&);
};

// Every command. The usage lines, the help, the parser and the checks of which
// option goes with which command are made from this table: a new command is a
// new row (and its Action).
struct CommandSpec {
    std::string_view path; // its words: "serial set"
    Action action;
    std::string_view arguments; // ArgumentSpec names, in order: "ID NUMBER"
    // The options it takes, in the order of its usage line; "--json|--csv":
    // either, not both.
    std::string_view options;
    std::string_view help; // the Commands section; empty: not listed
    // Why it takes no OPTION that the others take: "OPTION: reason".
    std::string_view refuses = "";
};

std::uint64_t deviceIdArgument(const std::string& text) {
    const auto id = parseDeviceId(text);
    if (!id)
        throw UsageError("invalid device ID \"" + text +
                         "\": expected 8 hex digits, a colon and 8 hex digits, as in "
                         "0001e240:000012ab");
    return *id;
}

// A value given once, not empty, stored in `field`.
void storeOnce(std::string& field, const std::string& value, const char* name, const char* what) {
    if (!field.empty())
        throw UsageError(std::string(name) + " given more than once");
    if (value.empty())
        throw UsageError(std::string(name) + " needs " + what);
    field = value;
}

const OptionSpec optionSpecs[] = {
    {"--interface", "ADDRESS",
     "the adapter on the device network: its name or its IPv4\naddress, as listed by vornctl "
     "interfaces",
     Scope::Leading, "see vornctl interfaces",
     [](Options& options, const std::string& value) {
         if (!options.interfaceAddress.empty())
             throw UsageError("--interface given more than once");
         if (value.empty())
             throw UsageError("--interface needs an IPv4 address");
         options.interfaceAddress = value;
     }},
    {"--wait", "SECONDS",
     "how long to discover (list, inventory: default 2) or\nhow long to wait for the devices to "
     "appear (others,\ndefault 3)",
     Scope::Command, "",
     [](Options& options, const std::string& value) {
         if (options.wait)
             throw UsageError("--wait given more than once");
         options.wait = parseWait(value);
         if (!options.wait)
             throw UsageError("invalid --wait \"" + value +
                              "\": expected seconds from 0 to 3600, such as 2 or 0.5");
     }},
    {"--all", "",
     "list, or act on, every device type, not only the\nOndal 2 and Ondal 4 products (type "
     "codes 10 to 13)",
     Scope::Command, "", [](Options& options, const std::string&) { options.all = true; }},
    {"--json", "", "print a JSON array (watch: one JSON object per line)", Scope::Command, "",
     [](Options& options, const std::string&) { options.json = true; }},
    {"--csv", "", "list, inventory, journal: print comma-separated values\nwith a header line",
     Scope::Command, "", [](Options& options, const std::string&) { options.csv = true; }},
    {"--dry-run", "", "serial program: show what would change, write nothing", Scope::Command, "",
     [](Options& options, const std::string&) { options.dryRun = true; }},
    {"--yes", "", "do not ask for the serial number a second time", Scope::Command, "",
     [](Options& options, const std::string&) { options.yes = true; }},
    {"--allow-duplicate", "",
     "serial set: write a number another device holds now;\nserial program: let the file give "
     "a number twice",
     Scope::Command, "",
     [](Options& options, const std::string&) { options.allowDuplicate = true; }},
    {"--device", "ID", "journal, fleet: only this device's entries", Scope::Command, "",
     [](Options& options, const std::string& value) {
         options.journalDevice = deviceIdArgument(value);
     }},
    {"--since", "TIME",
     "journal, fleet: only entries from this UTC time on\n(2026-12-07 or 2026-12-07T14:05:09Z)",
     Scope::Command, "",
     [](Options& options, const std::string& value) {
         options.since = Journal::parseUtc(value);
         if (!options.since)
             throw UsageError("invalid --since \"" + value +
                              "\": expected a UTC time such as 2026-12-07 or "
                              "2026-12-07T14:05:09Z");
     }},
    {"--journal", "FILE",
     "record serial writes in FILE instead of\n$XDG_STATE_HOME/vornctl/journal.jsonl "
     "(without it\n~/.local/state/..., on Windows %LOCALAPPDATA%\\vornctl\\...)",
     Scope::Global, "",
     [](Options& options, const std::string& value) {
         if (value.empty())
             throw UsageError("--journal needs a file name");
         options.journal = value;
     }},
    {"--operator", "NAME", "the name recorded with each write (default: the login)", Scope::Global,
     "",
     [](Options& options, const std::string& value) {
         if (value.empty())
             throw UsageError("--operator needs a name");
         options.operatorName = value;
     }},
    {"--listen", "HOST:PORT", "serve: where to listen (default 127.0.0.1:8017)", Scope::Command, "",
     [](Options& options, const std::string& value) {
         if (!options.listen.empty())
             throw UsageError("--listen given more than once");
         if (value.empty())
             throw UsageError("--listen needs HOST:PORT, as in 127.0.0.1:8017");
         options.listen = value;
     }},
    {"--token-file", "FILE",
     "serve: take the token from FILE's first line instead of\na new random one", Scope::Command,
     "",
     [](Options& options, const std::string& value) {
         if (!options.tokenFile.empty())
             throw UsageError("--token-file given more than once");
         if (value.empty())
             throw UsageError("--token-file needs a file name");
         options.tokenFile = value;
     }},
    {"--allow-host", "NAME", "serve: answer to this host name too (repeatable)", Scope::Command, "",
     [](Options& options, const std::string& value) { options.allowHosts.push_back(value); }},
    {"--config", "FILE",
     "serve, fleet: take options from FILE, one name = value a\nline (interface = eth0, allow-host "
     "= "
     "rack-3.local, # comments);\nthe command line wins",
     Scope::Command, "",
     [](Options& options, const std::string& value) {
         if (!options.configFile.empty())
             throw UsageError("--config given more than once");
         if (value.empty())
             throw UsageError("--config needs a file name");
         options.configFile = value;
     }},
    {"--tls-cert", "FILE",
     "serve: HTTPS with this PEM certificate (a chain allowed)\ninstead of one of serve's own "
     "authority; needs --tls-key",
     Scope::Command, "",
     [](Options& options, const std::string& value) {
         if (!options.tlsCertificate.empty())
             throw UsageError("--tls-cert given more than once");
         if (value.empty())
             throw UsageError("--tls-cert needs a file name");
         options.tlsCertificate = value;
     }},
    {"--tls-key", "FILE", "serve: the PEM private key of --tls-cert", Scope::Command, "",
     [](Options& options, const std::string& value) {
         if (!options.tlsKey.empty())
             throw UsageError("--tls-key given more than once");
         if (value.empty())
             throw UsageError("--tls-key needs a file name");
         options.tlsKey = value;
     }},
    {"--insecure-http", "",
     "serve: plain HTTP on an address that is not loopback\n(the token crosses the network "
     "readable)",
     Scope::Command, "", [](Options& options, const std::string&) { options.insecureHttp = true; }},
    {"--qr", "",
     "serve: print the link as a QR code also when stdout is not\na terminal (on one it always "
     "is)",
     Scope::Command, "", [](Options& options, const std::string&) { options.qr = true; }},
    {"--access-file", "FILE",
     "serve, access: the people with links of their own\n(default: access.json beside "
     "--token-file, else\nbeside the journal)",
     Scope::Command, "",
     [](Options& options, const std::string& value) {
         if (!options.accessFile.empty())
             throw UsageError("--access-file given more than once");
         if (value.empty())
             throw UsageError("--access-file needs a file name");
         options.accessFile = value;
     }},
    {"--read-only", "", "access add: the person may look, not write", Scope::Command, "",
     [](Options& options, const std::string&) { options.readOnly = true; }},
    {"--expires", "DAYS", "access add: the link ends after DAYS days (1 to 3650)", Scope::Command,
     "",
     [](Options& options, const std::string& value) {
         if (options.expiresIn)
             throw UsageError("--expires given more than once");
         const auto days = parseSerial(value);
         if (!days || *days < 1 || *days > 3650)
             throw UsageError("invalid --expires \"" + value +
                              "\": expected a number of days from 1 to 3650");
         options.expiresIn = static_cast<unsigned>(*days);
     }},
    {"--report", "URL",
     "serve: report to the fleet's broker, mqtts://HOST:PORT\n(mqtt:// only to loopback or with "
     "--report-insecure)",
     Scope::Command, "",
     [](Options& options, const std::string& value) {
         storeOnce(options.report, value, "--report", "a broker's URL, as in mqtts://broker:8883");
     }},
    {"--report-ca", "FILE",
     "serve --report: verify the broker by this authority (PEM)\ninstead of the system's",
     Scope::Command, "",
     [](Options& options, const std::string& value) {
         storeOnce(options.reportCa, value, "--report-ca", "a file name");
     }},
    {"--report-user", "NAME", "serve --report: the box's account on the broker", Scope::Command, "",
     [](Options& options, const std::string& value) {
         storeOnce(options.reportUser, value, "--report-user", "a name");
     }},
    {"--report-password-file", "FILE",
     "serve --report: the account's password, the first line of\nFILE (mode 0600; SIGHUP reads "
     "it again)",
     Scope::Command, "",
     [](Options& options, const std::string& value) {
         storeOnce(options.reportPasswordFile, value, "--report-password-file", "a file name");
     }},
    {"--report-cert", "FILE", "serve --report: log in with this client certificate (PEM)",
     Scope::Command, "",
     [](Options& options, const std::string& value) {
         storeOnce(options.reportCert, value, "--report-cert", "a file name");
     }},
    {"--report-key", "FILE", "serve --report: the key of --report-cert (PEM)", Scope::Command, "",
     [](Options& options, const std::string& value) {
         storeOnce(options.reportKey, value, "--report-key", "a file name");
     }},
    {"--report-insecure", "",
     "serve --report: allow plain mqtt:// to a broker off loopback\n(everything crosses the "
     "network readable)",
     Scope::Command, "",
     [](Options& options, const std::string&) { options.reportInsecure = true; }},
    {"--box", "NAME",
     "serve --report: this box's name, [a-z0-9-] (default: the\nhost name); fleet: only this box",
     Scope::Command, "",
     [](Options& options, const std::string& value) {
         storeOnce(options.box, value, "--box", "a name");
     }},
    {"--site", "TEXT", "serve --report: where this box is; fleet: only this site", Scope::Command,
     "",
     [](Options& options, const std::string& value) {
         if (options.site)
             throw UsageError("--site given more than once");
         options.site = value;
     }},
    {"--broker", "URL", "fleet: a broker to take the boxes' reports from\n(repeatable)",
     Scope::Command, "",
     [](Options& options, const std::string& value) {
         if (value.empty())
             throw UsageError("--broker needs a broker's URL, as in mqtts://broker:8883");
         options.brokers.push_back(value);
     }},
    {"--archive", "FILE", "fleet: the archive's database (SQLite)", Scope::Command, "",
     [](Options& options, const std::string& value) {
         storeOnce(options.archive, value, "--archive", "a file name");
     }},
    {"--broker-ca", "FILE", "fleet: verify the brokers by this authority (PEM)", Scope::Command, "",
     [](Options& options, const std::string& value) {
         storeOnce(options.brokerCa, value, "--broker-ca", "a file name");
     }},
    {"--broker-user", "NAME", "fleet: the archive's account on the brokers", Scope::Command, "",
     [](Options& options, const std::string& value) {
         storeOnce(options.brokerUser, value, "--broker-user", "a name");
     }},
    {"--broker-password-file", "FILE", "fleet: the account's password (mode 0600)", Scope::Command,
     "",
     [](Options& options, const std::string& value) {
         storeOnce(options.brokerPasswordFile, value, "--broker-password-file", "a file name");
     }},
    {"--broker-cert", "FILE", "fleet: log in with this client certificate (PEM)", Scope::Command,
     "",
     [](Options& options, const std::string& value) {
         storeOnce(options.brokerCert, value, "--broker-cert", "a file name");
     }},
    {"--broker-key", "FILE", "fleet: the key of --broker-cert (PEM)", Scope::Command, "",
     [](Options& options, const std::string& value) {
         storeOnce(options.brokerKey, value, "--broker-key", "a file name");
     }},
    {"--serial", "NUMBER", "fleet devices, journal: only this serial number", Scope::Command, "",
     [](Options& options, const std::string& value) {
         options.serialFilter = parseSerial(value);
         if (!options.serialFilter)
             throw UsageError("invalid --serial \"" + value +
                              "\": an unsigned 32-bit number, 0 to 4294967295");
     }},
    {"--version", "", "print vornctl's version", Scope::Program, "",
     [](Options& options, const std::string&) { options.action = Action::Version; }},
    {"-h,--help", "", "this text", Scope::Program, "",
     [](Options& options, const std::string&) { options.action = Action::Help; }},
};

const ArgumentSpec argumentSpecs[] = {
    {"ID",
     [](Options& options, const std::string& text) { options.deviceId = deviceIdArgument(text); }},
    {"NUMBER",
     [](Options& options, const std::string& text) {
         const auto serial = parseSerial(text);
         if (!serial)
             throw UsageError(std::string(Text::invalidSerialFormat) +
                              " (an unsigned 32-bit number, 0 to 4294967295)");
         options.serial = *serial;
     }},
    {"NAME", [](Options& options, const std::string& text) { options.person = text; }},
    {"FILE",
     [](Options& options, const std::string& text) {
         if (text.empty())
             throw UsageError("serial program needs a file name");
         options.file = text;
     }},
    {"BOX", [](Options& options, const std::string& text) { options.box = text; }},
};

const CommandSpec commandSpecs[] = {
    {"interfaces", Action::Interfaces, "", "--json",
     "list the network adapters (description, IPv4 address, MAC, mask)"},
    {"list", Action::List, "", "--interface --wait --all --json|--csv",
     "discover devices for a while (default 2 s) and list them"},
    {"watch", Action::Watch, "", "--interface --all --json",
     "print a line per device event (appeared, named, changed,\nremoved) until interrupted "
     "(Ctrl-C ends it with status 0)",
     "--wait: it runs until interrupted"},
    {"serial get", Action::SerialGet, "ID", "--interface --wait --all",
     "read a device's serial number"},
    {"serial set", Action::SerialSet, "ID NUMBER",
     "--interface --yes --allow-duplicate --wait --all",
     "write a device's serial number; the number is asked for a\nsecond time on stdin unless "
     "--yes is given, then read back;\nevery write is recorded in the journal first (--journal)"},
    {"serial program", Action::SerialProgram, "FILE",
     "--interface --dry-run --json --allow-duplicate --wait --all",
     "write the serial numbers of a CSV file of ID,SERIAL lines\n(a header line and # comments "
     "allowed): the whole file is\nchecked first, then each device is written and read back;\n"
     "devices already holding their number are skipped"},
    {"select", Action::Select, "ID", "--interface --wait --all",
     "mark a device as selected on the device itself"},
    {"deselect", Action::Deselect, "ID", "--interface --wait --all", "clear that mark"},
    {"inventory", Action::Inventory, "", "--interface --wait --all --json|--csv",
     "discover devices (default 2 s) and read every one's serial\nnumber in parallel; status 1 "
     "if any did not answer"},
    {"journal", Action::Journal, "", "--device --since --json|--csv",
     "show the recorded serial writes, intent and outcome joined\n(interrupted: the program "
     "ended between the two)"},
    {"serve", Action::Serve, "",
     "--interface --listen --token-file --access-file --allow-host --config --tls-cert --tls-key "
     "--insecure-http --qr --report --report-ca --report-user --report-password-file --report-cert "
     "--report-key --report-insecure --box --site",
     "serve the devices to a browser and as a JSON API until\ninterrupted (status 0); prints "
     "the address to open, with\nits token; HTTPS off loopback (SIGHUP reloads the certificate)"},
    {"access add", Action::AccessAdd, "NAME",
     "--access-file --read-only --expires --listen --token-file --config --tls-cert "
     "--insecure-http",
     "give a person a link of their own to a serve (printed, with\nits QR code); --read-only: "
     "no writes"},
    {"access list", Action::AccessList, "", "--access-file --token-file --config",
     "list the people with links: role, dates, last use"},
    {"access revoke", Action::AccessRevoke, "NAME", "--access-file --token-file --config",
     "end a person's link; a running serve closes their page\nwithin a second"},
    {"fleet", Action::Fleet, "",
     "--broker --archive --broker-ca --broker-user --broker-password-file --broker-cert "
     "--broker-key --config",
     "keep the fleet's archive: take every box's reports from the\nbrokers and store their "
     "journals in the archive (Linux)"},
    {"fleet boxes", Action::FleetBoxes, "", "--archive --box --site --json|--csv",
     "the boxes the archive knows: online or offline and since\nwhen, devices, records not "
     "acknowledged"},
    {"fleet devices", Action::FleetDevices, "",
     "--archive --box --site --device --serial --since --json|--csv",
     "the devices every box has seen, with where and when"},
    {"fleet journal", Action::FleetJournal, "",
     "--archive --box --site --device --serial --since --json|--csv",
     "every box's serial writes, intent and outcome joined"},
    {"fleet forget", Action::FleetForget, "BOX",
     "--broker --archive --broker-ca --broker-user --broker-password-file --broker-cert "
     "--broker-key",
     "clear a box's retained states on the broker and its devices\nin the archive"},
    {"help", Action::Help, "", "", ""},
};

const char* const helpTrailer = R"(
ID is the device ID as listed, high word first: 0001e240:000012ab.
NUMBER is an unsigned 32-bit decimal (0 to 4294967295).
Exit status: 0 success (serial program: every device verified or already
holding its number); 1 a device refused, did not answer, did not appear or is
not a serviced product, or the network or the journal could not be used;
2 usage error (including an unknown interface, a bad number, a bad file, a
failed confirmation or a number another device holds); 3 serve: the adapter's
address changed or went away (started again, serve takes the new one).
)";

std::vector<std::string_view> words(std::string_view text, char separator = ' ') {
    std::vector<std::string_view> out;
    while (!text.empty()) {
        const auto end = text.find(separator);
        if (end != 0)
            out.push_back(text.substr(0, end));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return out;
}

// The last name of an option: "--help" of "-h,--help".
std::string_view longName(const OptionSpec& option) {
    return words(option.name, ',').back();
}

const OptionSpec& optionNamed(std::string_view name) {
    for (const OptionSpec& option : optionSpecs)
        if (longName(option) == name)
            return option;
    throw std::logic_error("vornctl: no option " + std::string(name));
}

const ArgumentSpec& argumentNamed(std::string_view name) {
    for (const ArgumentSpec& argument : argumentSpecs)
        if (argument.name == name)
            return argument;
    throw std::logic_error("vornctl: no argument " + std::string(name));
}

// "--wait SECONDS", "--all".
std::string optionForm(const OptionSpec& option) {
    std::string form(longName(option));
    if (!option.value.empty())
        form += " " + std::string(option.value);
    return form;
}

bool takes(const CommandSpec& command, std::string_view option) {
    if (optionNamed(option).scope == Scope::Global)
        return true;
    for (const auto choice : words(command.options))
        for (const auto name : words(choice, '|'))
            if (name == option)
                return true;
    return false;
}

// "a", "a and b", "a, b and c".
std::string enumeration(const std::vector<std::string>& items, const char* last) {
    std::string out;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0)
            out += i + 1 == items.size() ? std::string(" ") + last + " " : ", ";
        out += items[i];
    }
    return out;
}

// The words of a command's usage line after "vornctl": the leading options,
// the command and its arguments, then its other options.
std::vector<std::string> usageWords(const CommandSpec& command) {
    std::vector<std::string> out;
    const auto isLeading = [](std::string_view choice) {
        return optionNamed(words(choice, '|').front()).scope == Scope::Leading;
    };
    for (const auto choice : words(command.options))
        if (isLeading(choice))
            out.push_back(optionForm(optionNamed(choice)));
    out.emplace_back(command.path);
    if (!command.arguments.empty())
        out.emplace_back(command.arguments);
    for (const auto choice : words(command.options)) {
        if (isLeading(choice))
            continue;
        std::string alternatives;
        for (const auto name : words(choice, '|'))
            alternatives += (alternatives.empty() ? "" : " | ") + optionForm(optionNamed(name));
        out.push_back("[" + alternatives + "]");
    }
    return out;
}

std::string usageForm(const CommandSpec& command) {
    std::string line = "vornctl";
    for (const auto& word : usageWords(command))
        line += " " + word;
    return line;
}

// "  NAME" and then the description at `column`, its lines one under the other.
std::string describe(const std::string& name, std::string_view help, std::size_t column) {
    std::string out = "  " + name;
    if (out.size() + 2 > column)
        out += "\n" + std::string(column, ' ');
    else
        out.append(column - out.size(), ' ');
    const auto lines = words(help, '\n');
    for (std::size_t i = 0; i < lines.size(); ++i)
        out += (i > 0 ? "\n" + std::string(column, ' ') : std::string()) + std::string(lines[i]);
    return out + "\n";
}

std::string buildUsage() {
    constexpr std::size_t width = 84; // the longest line, serial set's, fits
    std::string out = "Usage:\n";
    for (const CommandSpec& command : commandSpecs) {
        if (command.help.empty())
            continue;
        // Continuation lines start under the command's arguments.
        std::string line = "  vornctl";
        std::size_t indent = 0;
        for (const auto& word : usageWords(command)) {
            if (indent != 0 && line.size() + 1 + word.size() > width) {
                out += line + "\n";
                line = std::string(indent - 1, ' ');
            }
            line += " " + word;
            if (word == command.path)
                indent = line.size() + 1;
        }
        out += line + "\n";
    }
    out += "\nCommands:\n";
    for (const CommandSpec& command : commandSpecs)
        if (!command.help.empty())
            out += describe(std::string(command.path), command.help, 16);
    out += "\nOptions:\n";
    for (const OptionSpec& option : optionSpecs) {
        std::string names;
        for (const auto name : words(option.name, ','))
            names += (names.empty() ? "" : ", ") + std::string(name);
        if (!option.value.empty())
            names += " " + std::string(option.value);
        out += describe(names, option.help, 23);
    }
    return out + helpTrailer;
}

// The command-line grammar (option values, "=", the command's words) is
// CLI11's; which option and argument goes with which command is the tables'.
class CommandLine {
public:
    CommandLine() {
        app_.set_help_flag();
        app_.allow_extras();
        app_.require_subcommand(0, 1);
        for (const OptionSpec& option : optionSpecs) {
            if (longName(option) == configOption) {
                // CLI11 reads the file and sets what the command line left unset.
                app_.config_formatter(config_);
                options_.emplace_back(&option, app_.set_config(std::string(option.name)));
                continue;
            }
            CLI::Option* added = option.value.empty() ? app_.add_flag(std::string(option.name))
                                                      : app_.add_option(std::string(option.name));
            if (option.value.empty())
                added->disable_flag_override();
            else
                added->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
            options_.emplace_back(&option, added);
        }
        for (const CommandSpec& command : commandSpecs) {
            CLI::App* app = &app_;
            for (const auto word : words(command.path))
                app = subcommand(*app, std::string(word));
            commands_[app] = &command;
            for (const auto name : words(command.arguments))
                app->add_option(std::string(name));
        }
    }

    Options parse(const std::vector<std::string>& arguments) {
        std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
        try {
            app_.parse(reversed);
        } catch (const ConfigLineError& failure) {
            throw UsageError(configFile() + ":" + std::to_string(failure.line()) + ": " +
                             failure.what());
        } catch (const CLI::FileError&) {
            throw UsageError("cannot read the configuration file " + configFile());
        } catch (const CLI::ParseError& failure) {
            throw UsageError(VornCli::message(failure));
        }
        Options options;
        const std::vector<std::string> extra = app_.remaining(true);
        for (const auto& word : extra)
            if (word.size() > 1 && word[0] == '-' && !(word[1] >= '0' && word[1] <= '9'))
                throw UsageError("unknown option " + word.substr(0, word.find('=')));
        for (const auto& [option, parsed] : options_)
            if (option->scope == Scope::Program && parsed->count() > 0) {
                option->store(options, "");
                return options;
            }

        const CLI::App* chosen = &app_;
        while (!chosen->get_subcommands().empty())
            chosen = chosen->get_subcommands().front();
        const auto found = commands_.find(chosen);
        if (found == commands_.end())
            unfinished(*chosen, extra);
        const CommandSpec& command = *found->second;
        options.action = command.action;
        if (command.action == Action::Help)
            return options;

        for (const auto name : words(command.arguments))
            if (chosen->get_option(std::string(name))->count() == 0)
                throw UsageError("missing arguments: usage is " + usageForm(command));
        if (!extra.empty())
            throw UsageError("unexpected argument \"" + extra.front() + "\": usage is " +
                             usageForm(command));
        for (const auto name : words(command.arguments))
            argumentNamed(name).store(options,
                                      chosen->get_option(std::string(name))->as<std::string>());
        storeOptions(command, options, arguments);
        return options;
    }

private:
    CLI::App* subcommand(CLI::App& parent, const std::string& name) {
        for (CLI::App* existing : parent.get_subcommands({}))
            if (existing->get_name() == name)
                return existing;
        CLI::App* added = parent.add_subcommand(name);
        // Options belong to the whole line: the command passes them up.
        added->fallthrough();
        added->allow_extras();
        added->require_subcommand(0, 1);
        return added;
    }

    // No command, or a group's name ("serial") without one of its commands.
    [[noreturn]] void unfinished(const CLI::App& chosen, const std::vector<std::string>& extra) {
        if (&chosen == &app_) {
            if (!extra.empty())
                throw UsageError("unknown command \"" + extra.front() + "\"");
            throw UsageError("no command given");
        }
        std::vector<std::string> names;
        std::string forms;
        for (const CLI::App* member : chosen.get_subcommands({})) {
            names.push_back(member->get_name());
            // "--interface ADDRESS serial get ID | serial set ID NUMBER | ..."
            const CommandSpec& command = *commands_.at(member);
            std::string form;
            for (const auto& word : usageWords(command)) {
                const bool leading = form.empty() && word != command.path;
                if (word.front() == '[' || (leading && !forms.empty()))
                    continue;
                form += (form.empty() ? "" : " ") + word;
            }
            forms += (forms.empty() ? "" : " | ") + form;
        }
        if (!extra.empty())
            throw UsageError("unknown " + chosen.get_name() + " command \"" + extra.front() +
                             "\": use " + enumeration(names, "or"));
        throw UsageError("missing arguments: usage is vornctl " + forms);
    }

    void storeOptions(const CommandSpec& command, Options& options,
                      const std::vector<std::string>& arguments) {
        // What a file set is refused as the file itself, not by the names in it.
        const std::string config(configOption);
        if (app_.get_config_ptr()->count() > 0 && !takes(command, config))
            throw UsageError(refusal(command, config));
        for (const auto& [option, parsed] : options_) {
            const std::string name(longName(*option));
            if (parsed->count() == 0) {
                if (option->scope == Scope::Leading && takes(command, name))
                    throw UsageError(std::string(command.path) + " needs " + optionForm(*option) +
                                     " (" + std::string(option->hint) + ")");
                continue;
            }
            // CLI11 sets an option from the file only when the command line does not.
            const bool fromFile = name != configOption && !onCommandLine(arguments, name);
            // serve's configuration file also serves access, which takes a few of its names.
            if (!takes(command, name) && fromFile && command.action != Action::Serve)
                continue;
            if (!takes(command, name))
                throw UsageError(refusal(command, name));
            if (option->value.empty()) {
                option->store(options, "");
                continue;
            }
            const auto values = parsed->results();
            for (std::size_t i = 0; i < values.size(); ++i) {
                try { // each value in turn: a second one is refused
                    option->store(options, values[i]);
                } catch (const UsageError& failure) {
                    if (!fromFile)
                        throw;
                    throw UsageError(configFile() + ":" +
                                     std::to_string(config_->lineOf(name.substr(2), i)) + ": " +
                                     failure.what());
                }
            }
        }
        for (const auto choice : words(command.options)) {
            const auto names = words(choice, '|');
            std::vector<std::string> given;
            for (const auto name : names)
                if (app_.get_option(std::string(name))->count() > 0)
                    given.emplace_back(name);
            if (given.size() > 1)
                throw UsageError(enumeration(given, "and") + " exclude each other");
        }
    }

    // An option given to a command that does not take it.
    std::string refusal(const CommandSpec& command, const std::string& option) const {
        if (command.refuses.rfind(option + ":", 0) == 0)
            return std::string(command.path) + " takes no " + std::string(command.refuses);
        const auto taken = words(command.options);
        if (taken.size() <= 1)
            return std::string(command.path) + " takes only " +
                   (taken.empty() ? std::string("the program's options")
                                  : std::string(taken.front()));
        std::vector<std::string> users;
        for (const CommandSpec& other : commandSpecs)
            if (takes(other, option))
                users.emplace_back(other.path);
        return option + " applies to " + enumeration(users, "and") + " only";
    }

    static bool onCommandLine(const std::vector<std::string>& arguments, const std::string& name) {
        return std::any_of(arguments.begin(), arguments.end(), [&](const std::string& word) {
            return word == name || word.rfind(name + "=", 0) == 0;
        });
    }

    std::string configFile() const {
        const auto given = app_.get_config_ptr()->results();
        return given.empty() ? std::string("the configuration file") : given.front();
    }

    // What a configuration file may set: the options of serve and of the fleet's
    // archive, the file itself aside.
    static std::vector<std::string> configNames() {
        std::vector<std::string> names;
        for (const CommandSpec& command : commandSpecs)
            if (command.action == Action::Serve || command.action == Action::Fleet)
                for (const OptionSpec& option : optionSpecs)
                    if (longName(option) != configOption && option.scope != Scope::Program &&
                        takes(command, longName(option)))
                        names.emplace_back(longName(option).substr(2));
        return names;
    }

    static constexpr std::string_view configOption = "--config";
    std::shared_ptr<ConfigFile> config_ = std::make_shared<ConfigFile>(configNames());
    CLI::App app_{"", "vornctl"};
    std::vector<std::pair<const OptionSpec*, CLI::Option*>> options_;
    std::map<const CLI::App*, const CommandSpec*> commands_;
};

} // namespace

Options parseArguments(const std::vector<std::string>& arguments) {
    return CommandLine().parse(arguments);
}

std::chrono::milliseconds waitFor(const Options& options) {
    if (options.wait)
        return *options.wait;
    const bool discovers = options.action == Action::List || options.action == Action::Inventory;
    return discovers ? defaultListWait : defaultDeviceWait;
}

std::string usage() {
    static const std::string text = buildUsage();
    return text;
}

bool isFleetAction(Action action) {
    return action == Action::Fleet || action == Action::FleetBoxes ||
           action == Action::FleetDevices || action == Action::FleetJournal ||
           action == Action::FleetForget;
}

} // namespace Vornctl
