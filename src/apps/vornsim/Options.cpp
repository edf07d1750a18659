#include "Options.h"

#include "CliMessage.h"

#include <CLI/CLI.hpp>
#include <boost/asio/ip/address_v4.hpp>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace VornSim {

namespace {

constexpr std::uint64_t defaultFirstId = 0x0000010000000001ull;
constexpr unsigned defaultAddressLimit = 50;
constexpr std::uint8_t firstListedType = 10;
constexpr unsigned listedTypes = 4;

std::uint64_t parseUnsigned(const std::string& text, int base, std::uint64_t maximum,
                            const std::string& what) {
    std::uint64_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value, base);
    if (text.empty() || error != std::errc() || stop != end || value > maximum)
        throw UsageError("bad " + what + " '" + text + "'");
    return value;
}

std::string stripHexPrefix(const std::string& text) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        return text.substr(2);
    return text;
}

std::uint32_t parseAddress(const std::string& text, const std::string& what) {
    boost::system::error_code error;
    const auto address = boost::asio::ip::make_address_v4(text, error);
    if (error)
        throw UsageError("bad " + what + " '" + text + "'");
    return address.to_uint();
}

} // namespace

std::uint64_t parseNumber(const std::string& text, std::uint64_t maximum, const std::string& what) {
    const std::string digits = stripHexPrefix(text);
    return parseUnsigned(digits, digits.size() == text.size() ? 10 : 16, maximum, what);
}

std::int32_t parseSigned(const std::string& text, const std::string& what) {
    std::int32_t value = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, value);
    if (text.empty() || error != std::errc() || stop != end)
        throw UsageError("bad " + what + " '" + text + "'");
    return value;
}

std::uint64_t parseId(const std::string& text) {
    const auto colon = text.find(':');
    if (colon != std::string::npos) {
        const std::uint64_t high =
            parseUnsigned(text.substr(0, colon), 16, 0xFFFFFFFFu, "frame id");
        const std::uint64_t low =
            parseUnsigned(text.substr(colon + 1), 16, 0xFFFFFFFFu, "frame id");
        return (high << 32) | low;
    }
    return parseUnsigned(stripHexPrefix(text), 16, std::numeric_limits<std::uint64_t>::max(),
                         "frame id");
}

double parseProbability(const std::string& text) {
    char* stop = nullptr;
    const double value = std::strtod(text.c_str(), &stop);
    if (text.empty() || stop != text.c_str() + text.size() || !(value >= 0.0 && value <= 1.0))
        throw UsageError("bad probability '" + text + "' (0 to 1)");
    return value;
}

DeviceSetup parseDeviceSetup(const std::string& text) {
    DeviceSetup device;
    bool haveId = false;
    bool haveName = false;
    bool haveRecordSerial = false;
    std::size_t start = 0;
    while (start <= text.size()) {
        const std::size_t comma = std::min(text.find(',', start), text.size());
        const std::string item = text.substr(start, comma - start);
        start = comma + 1;
        if (item.empty())
            continue;
        const std::size_t equals = item.find('=');
        if (equals == std::string::npos)
            throw UsageError("device item '" + item + "' is not key=value");
        const std::string key = item.substr(0, equals);
        const std::string value = item.substr(equals + 1);
        if (key == "id") {
            device.id = parseId(value);
            haveId = true;
        } else if (key == "type") {
            device.deviceType = static_cast<std::uint8_t>(parseNumber(value, 0xFF, "device type"));
        } else if (key == "name") {
            if (value.size() >= 128)
                throw UsageError("device name longer than 127 bytes");
            device.name = value;
            haveName = true;
        } else if (key == "address") {
            parseAddress(value, "device address");
            device.address = value;
        } else if (key == "serial") {
            device.serial = static_cast<std::uint32_t>(parseNumber(value, 0xFFFFFFFFu, "serial"));
            haveRecordSerial = true;
        } else if (key == "mode") {
            device.modeFlags =
                static_cast<std::uint32_t>(parseNumber(value, 0xFFFFFFFFu, "mode flags"));
        } else if (key == "typeword") {
            device.typeWord = static_cast<std::uint16_t>(parseNumber(value, 0xFFFF, "type word"));
            if ((device.typeWord & 0x3FFF) == 6 || (device.typeWord & 0x3FFF) == 1)
                throw UsageError("type word " + value + " is not a device type (1 and 6 are not)");
        } else if (key == "wrapped") {
            device.wrapped = parseNumber(value, 1, "wrapped flag") == 1;
        } else if (key == "changemark") {
            device.changeMarkA = parseSigned(value, "change mark");
        } else if (key == "changemarkb") {
            device.changeMarkB = parseSigned(value, "change mark");
        } else if (key == "tag") {
            const std::uint64_t tag = parseId(value);
            device.stationTag = {static_cast<std::uint32_t>(tag >> 32),
                                 static_cast<std::uint32_t>(tag)};
        } else {
            throw UsageError("unknown device key '" + key + "'");
        }
    }
    if (!haveId)
        throw UsageError("device '" + text + "' has no id");
    if (!haveName)
        device.name = "sim-" + formatId(device.id).substr(9);
    if (!haveRecordSerial)
        device.serial = static_cast<std::uint32_t>(device.id);
    return device;
}

std::vector<DeviceSetup> generateDevices(std::size_t count, std::uint64_t firstId,
                                         const std::string& addressBase, unsigned addressCount) {
    const std::uint32_t base = parseAddress(addressBase, "address base");
    if (addressCount == 0)
        throw UsageError("the address count must be at least 1");
    if (addressCount - 1 > 0xFFFFFFFFu - base)
        throw UsageError("the addresses run past 255.255.255.255");
    std::vector<DeviceSetup> devices;
    devices.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        DeviceSetup device;
        device.id = firstId + i;
        device.deviceType = static_cast<std::uint8_t>(firstListedType + i % listedTypes);
        char name[32];
        std::snprintf(name, sizeof name, "sim-%04llu", static_cast<unsigned long long>(i + 1));
        device.name = name;
        device.address = formatAddress(base + static_cast<std::uint32_t>(i % addressCount));
        device.serial = static_cast<std::uint32_t>(100001 + i);
        devices.push_back(std::move(device));
    }
    return devices;
}

std::vector<DeviceSetup> defaultDevices() {
    struct Default {
        std::uint8_t type;
        const char* name;
        const char* address;
        bool wrapped;
    };
    const Default defaults[] = {{10, "FOH-Processor", "127.0.0.2", false},
                                {11, "Amp-Rack-Left", "127.0.0.3", false},
                                {12, "Amp-Rack-Right", "127.0.0.3", false},
                                {13, "Stage-Card", "127.0.0.4", true}};
    std::vector<DeviceSetup> devices;
    std::uint32_t n = 0;
    for (const Default& d : defaults) {
        DeviceSetup device;
        device.id = 0x0000000A0000000Bull + n;
        device.deviceType = d.type;
        device.name = d.name;
        device.address = d.address;
        device.serial = 1001 + n;
        device.wrapped = d.wrapped;
        devices.push_back(std::move(device));
        ++n;
    }
    return devices;
}

namespace {

// What the command line has said so far; the generated devices are made at the end.
struct Parse {
    ProgramOptions options;
    std::size_t generated = 0;
    std::uint64_t firstId = defaultFirstId;
    std::string addressBase = "127.0.0.2";
    unsigned addressCount = 0;
};

// Every option, in the order and the groups of the help. A new option is a new row.
struct OptionSpec {
    std::string_view group;                    // starts a group of the help when not empty
    std::string_view name;                     // "--port"; "-h,--help" for one with several names
    std::string_view value;                    // the value's name in the help; empty for a flag
    std::string_view help;                     // a '\n' continues the description on another line
    void (*store)(Parse&, const std::string&); // throws UsageError
};

SimulatorConfig& config(Parse& parse) {
    return parse.options.config;
}

const OptionSpec optionSpecs[] = {
    {"Network:", "--port", "N", "listening port (default 6017; 0: the system chooses)",
     [](Parse& p, const std::string& v) {
         config(p).port = static_cast<std::uint16_t>(parseNumber(v, 0xFFFF, "port"));
     }},
    {"", "--bind", "ADDRESS", "listening address (default 0.0.0.0)",
     [](Parse& p, const std::string& v) {
         parseAddress(v, "bind address");
         config(p).bindAddress = v;
     }},
    {"", "--reuse-address", "", "set SO_REUSEADDR on the listening socket",
     [](Parse& p, const std::string&) { config(p).reuseAddress = true; }},
    {"", "--threads", "N", "I/O threads, 1 or 2 (default 2)",
     [](Parse& p, const std::string& v) {
         config(p).threads = static_cast<unsigned>(parseNumber(v, 2, "thread count"));
         if (config(p).threads == 0)
             throw UsageError("--threads takes 1 or 2");
     }},
    {"", "--interval", "MS", "presence interval (default 1000)",
     [](Parse& p, const std::string& v) {
         config(p).presenceInterval =
             std::chrono::milliseconds(parseNumber(v, 3600000, "presence interval"));
         if (config(p).presenceInterval.count() == 0)
             throw UsageError("the presence interval must be at least 1 ms");
     }},
    {"Devices (without any, four default devices on 127.0.0.2..127.0.0.4):", "--device",
     "id=HEX,type=N,name=TEXT,address=A,serial=N[,mode=FLAGS]\n"
     "           [,typeword=N][,wrapped=1][,changemark=N][,changemarkb=N][,tag=HEX]",
     "one device (repeatable); id as 16 hex digits or\nHIGH:LOW; numbers decimal or 0x hex",
     [](Parse& p, const std::string& v) { config(p).devices.push_back(parseDeviceSetup(v)); }},
    {"", "--devices", "N", "N generated devices, types cycling 10..13",
     [](Parse& p, const std::string& v) { p.generated = parseNumber(v, 100000, "device count"); }},
    {"", "--first-id", "HEX", "id of the first generated device (default 0000010000000001)",
     [](Parse& p, const std::string& v) { p.firstId = parseId(v); }},
    {"", "--address-base", "A", "first address of generated devices (default 127.0.0.2)",
     [](Parse& p, const std::string& v) { p.addressBase = v; }},
    {"", "--address-count", "K", "generated devices spread over K addresses (default min(N, 50))",
     [](Parse& p, const std::string& v) {
         p.addressCount = static_cast<unsigned>(parseNumber(v, 65536, "address count"));
     }},
    {"Faults (for every device; per device at run time with --stdin-control):", "--drop", "P",
     "ignore this share of received requests (0..1)",
     [](Parse& p, const std::string& v) {
         config(p).faults.dropProbability = parseProbability(v);
     }},
    {"", "--delay", "MS", "send replies MS milliseconds late",
     [](Parse& p, const std::string& v) {
         config(p).faults.delayMs = static_cast<std::uint32_t>(parseNumber(v, 3600000, "delay"));
     }},
    {"", "--duplicate", "", "send every reply twice",
     [](Parse& p, const std::string&) { config(p).faults.duplicate = true; }},
    {"", "--refuse-writes", "", "refuse board-id writes (acknowledgement status 0)",
     [](Parse& p, const std::string&) { config(p).faults.refuseWrites = true; }},
    {"", "--keep-serial", "", "acknowledge board-id writes but keep the old number",
     [](Parse& p, const std::string&) { config(p).faults.keepSerial = true; }},
    {"", "--mute-after-write", "", "answer a board-id write, then answer nothing more",
     [](Parse& p, const std::string&) { config(p).faults.muteAfterWrite = true; }},
    {"", "--silent", "", "act on requests but send nothing at all",
     [](Parse& p, const std::string&) { config(p).faults.silent = true; }},
    {"", "--malformed", "", "replies carry a wrong command code (code + 1000)",
     [](Parse& p, const std::string&) { config(p).faults.malformed = true; }},
    {"", "--short", "", "replies one byte below their minimum size",
     [](Parse& p, const std::string&) { config(p).faults.shortReplies = true; }},
    {"", "--seed", "N", "seed of the drop decisions (default 1)",
     [](Parse& p, const std::string& v) {
         config(p).seed = parseNumber(v, std::numeric_limits<std::uint64_t>::max(), "seed");
     }},
    {"Output and control:", "--quiet", "", "no per-request lines, only the summary",
     [](Parse& p, const std::string&) { p.options.quiet = true; }},
    {"", "--stdin-control", "",
     "read commands from stdin; the end of stdin ends the run:\n"
     "  dump | faults | quit\n"
     "  silent|duplicate|refuse-writes|keep-serial|mute-after-write|\n"
     "  malformed|short [ID] on|off\n"
     "  gone [ID] on|off   the device leaves: no presence, no answers\n"
     "  drop [ID] P | delay [ID] MS | clear [ID]\n"
     "  lose-replies ID N [CODE]  act on the next N requests, lose\n"
     "           their replies (only replies with command CODE)\n"
     "  serial ID N | mode ID FLAGS | changemark ID A [B]",
     [](Parse& p, const std::string&) { p.options.stdinControl = true; }},
    {"", "--version", "", "print vornsim's version",
     [](Parse& p, const std::string&) { p.options.version = true; }},
    {"", "-h,--help", "", "this text", [](Parse& p, const std::string&) { p.options.help = true; }},
};

constexpr std::string_view helpIntroduction = R"(
Simulates devices of the device network over UDP: answers the presence of
every tool it hears and the requests the tool sends to the devices.
)";

constexpr std::string_view helpTrailer = R"(
Without --stdin-control the run ends on SIGINT or SIGTERM. Every event is one
line on stdout, key=value, ids as HIGH:LOW in hex, e.g.
  ready port=6017 devices=4 addresses=3
  tool-heard address=127.0.0.1 port=40000
  request device=0000000a:0000000b command=814 sequence=123 from=127.0.0.1:40000
  reply device=0000000a:0000000b command=813 sequence=123 to=127.0.0.1:40000 bytes=100
  serial-set device=0000000a:0000000b value=12345678
  select device=0000000a:0000000b mark=ffff
)";

} // namespace

ProgramOptions parseOptions(const std::vector<std::string>& arguments) {
    CLI::App app{"", "vornsim"};
    app.set_help_flag();
    app.allow_extras();
    std::vector<CLI::Option*> parsed;
    for (const OptionSpec& option : optionSpecs)
        parsed.push_back(option.value.empty()
                             ? app.add_flag(std::string(option.name))->disable_flag_override()
                             : app.add_option(std::string(option.name))
                                   ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll));
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& failure) {
        throw UsageError(VornCli::message(failure));
    }
    if (!app.remaining().empty())
        throw UsageError("unknown option '" + app.remaining().front() + "'");

    Parse parse;
    for (std::size_t i = 0; i < parsed.size(); ++i) {
        if (parsed[i]->count() == 0)
            continue;
        if (optionSpecs[i].value.empty())
            optionSpecs[i].store(parse, "");
        else // each value in turn: the last one counts, every --device is one
            for (const std::string& value : parsed[i]->results())
                optionSpecs[i].store(parse, value);
    }
    ProgramOptions& options = parse.options;
    SimulatorConfig& config = options.config;
    if (parse.generated > 0) {
        if (parse.addressCount == 0)
            parse.addressCount =
                static_cast<unsigned>(std::min<std::size_t>(parse.generated, defaultAddressLimit));
        for (DeviceSetup& device :
             generateDevices(parse.generated, parse.firstId, parse.addressBase, parse.addressCount))
            config.devices.push_back(std::move(device));
    }
    if (config.devices.empty())
        config.devices = defaultDevices();
    return options;
}

std::string usage(const std::string& program) {
    constexpr std::size_t column = 24;
    std::string out = "Usage: " + program + " [options]" + std::string(helpIntroduction);
    for (const OptionSpec& option : optionSpecs) {
        if (!option.group.empty())
            out += "\n" + std::string(option.group) + "\n";
        std::string label = "  ";
        for (std::string_view names = option.name; !names.empty();) {
            const auto comma = std::min(names.find(','), names.size());
            label +=
                std::string(label.size() > 2 ? ", " : "") + std::string(names.substr(0, comma));
            names.remove_prefix(std::min(comma + 1, names.size()));
        }
        if (!option.value.empty())
            label += " " + std::string(option.value);
        out += label;
        // A label too wide for its column puts the description on the next line.
        const std::size_t lastLine = label.size() - label.rfind('\n') - 1;
        if (label.find('\n') != std::string::npos || lastLine + 2 > column)
            out += "\n" + std::string(column, ' ');
        else
            out.append(column - lastLine, ' ');
        for (std::size_t start = 0;;) {
            const auto end = option.help.find('\n', start);
            out += std::string(option.help.substr(start, end - start));
            if (end == std::string_view::npos)
                break;
            out += "\n" + std::string(column, ' ');
            start = end + 1;
        }
        out += "\n";
    }
    return out + std::string(helpTrailer);
}

} // namespace VornSim
