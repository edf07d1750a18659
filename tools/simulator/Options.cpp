#include "Options.h"

#include <boost/asio/ip/address_v4.hpp>

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

// The value of an option that takes one.
const std::string& valueOf(const std::vector<std::string>& arguments, std::size_t& i) {
    if (i + 1 >= arguments.size())
        throw UsageError(arguments[i] + " needs a value");
    return arguments[++i];
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

ProgramOptions parseOptions(const std::vector<std::string>& arguments) {
    ProgramOptions options;
    SimulatorConfig& config = options.config;
    std::size_t generated = 0;
    std::uint64_t firstId = defaultFirstId;
    std::string addressBase = "127.0.0.2";
    unsigned addressCount = 0;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& option = arguments[i];
        if (option == "--help" || option == "-h") {
            options.help = true;
        } else if (option == "--port") {
            config.port =
                static_cast<std::uint16_t>(parseNumber(valueOf(arguments, i), 0xFFFF, "port"));
        } else if (option == "--bind") {
            const std::string& address = valueOf(arguments, i);
            parseAddress(address, "bind address");
            config.bindAddress = address;
        } else if (option == "--reuse-address") {
            config.reuseAddress = true;
        } else if (option == "--threads") {
            config.threads =
                static_cast<unsigned>(parseNumber(valueOf(arguments, i), 2, "thread count"));
            if (config.threads == 0)
                throw UsageError("--threads takes 1 or 2");
        } else if (option == "--device") {
            config.devices.push_back(parseDeviceSetup(valueOf(arguments, i)));
        } else if (option == "--devices") {
            generated = parseNumber(valueOf(arguments, i), 100000, "device count");
        } else if (option == "--first-id") {
            firstId = parseId(valueOf(arguments, i));
        } else if (option == "--address-base") {
            addressBase = valueOf(arguments, i);
        } else if (option == "--address-count") {
            addressCount =
                static_cast<unsigned>(parseNumber(valueOf(arguments, i), 65536, "address count"));
        } else if (option == "--interval") {
            config.presenceInterval = std::chrono::milliseconds(
                parseNumber(valueOf(arguments, i), 3600000, "presence interval"));
            if (config.presenceInterval.count() == 0)
                throw UsageError("the presence interval must be at least 1 ms");
        } else if (option == "--drop") {
            config.faults.dropProbability = parseProbability(valueOf(arguments, i));
        } else if (option == "--delay") {
            config.faults.delayMs =
                static_cast<std::uint32_t>(parseNumber(valueOf(arguments, i), 3600000, "delay"));
        } else if (option == "--duplicate") {
            config.faults.duplicate = true;
        } else if (option == "--refuse-writes") {
            config.faults.refuseWrites = true;
        } else if (option == "--silent") {
            config.faults.silent = true;
        } else if (option == "--malformed") {
            config.faults.malformed = true;
        } else if (option == "--short") {
            config.faults.shortReplies = true;
        } else if (option == "--seed") {
            config.seed = parseNumber(valueOf(arguments, i),
                                      std::numeric_limits<std::uint64_t>::max(), "seed");
        } else if (option == "--quiet") {
            options.quiet = true;
        } else if (option == "--stdin-control") {
            options.stdinControl = true;
        } else {
            throw UsageError("unknown option '" + option + "'");
        }
    }
    if (generated > 0) {
        if (addressCount == 0)
            addressCount =
                static_cast<unsigned>(std::min<std::size_t>(generated, defaultAddressLimit));
        for (DeviceSetup& device : generateDevices(generated, firstId, addressBase, addressCount))
            config.devices.push_back(std::move(device));
    }
    if (config.devices.empty())
        config.devices = defaultDevices();
    return options;
}

std::string usage(const std::string& program) {
    return "Usage: " + program + R"( [options]
Simulates devices of the device network over UDP: answers the presence of
every tool it hears and the requests the tool sends to the devices.

Network:
  --port N              listening port (default 6017; 0: the system chooses)
  --bind ADDRESS        listening address (default 0.0.0.0)
  --reuse-address       set SO_REUSEADDR on the listening socket
  --threads N           I/O threads, 1 or 2 (default 2)
  --interval MS         presence interval (default 1000)

Devices (without any, four default devices on 127.0.0.2..127.0.0.4):
  --device id=HEX,type=N,name=TEXT,address=A,serial=N[,mode=FLAGS]
           [,typeword=N][,wrapped=1][,changemark=N][,changemarkb=N][,tag=HEX]
                        one device (repeatable); id as 16 hex digits or
                        HIGH:LOW; numbers decimal or 0x hex
  --devices N           N generated devices, types cycling 10..13
  --first-id HEX        id of the first generated device (default 0000010000000001)
  --address-base A      first address of generated devices (default 127.0.0.2)
  --address-count K     generated devices spread over K addresses (default min(N, 50))

Faults (for every device; per device at run time with --stdin-control):
  --drop P              ignore this share of received requests (0..1)
  --delay MS            send replies MS milliseconds late
  --duplicate           send every reply twice
  --refuse-writes       refuse board-id writes (acknowledgement status 0)
  --silent              act on requests but send nothing at all
  --malformed           replies carry a wrong command code (code + 1000)
  --short               replies one byte below their minimum size
  --seed N              seed of the drop decisions (default 1)

Output and control:
  --quiet               no per-request lines, only the summary
  --stdin-control       read commands from stdin; the end of stdin ends the run:
                          dump | faults | quit
                          silent|duplicate|refuse-writes|malformed|short [ID] on|off
                          gone [ID] on|off   the device leaves: no presence, no answers
                          drop [ID] P | delay [ID] MS | clear [ID]
                          lose-replies ID N [CODE]  act on the next N requests, lose
                                   their replies (only replies with command CODE)
                          serial ID N | mode ID FLAGS | changemark ID A [B]
  --help                this text

Without --stdin-control the run ends on SIGINT or SIGTERM. Every event is one
line on stdout, key=value, ids as HIGH:LOW in hex, e.g.
  ready port=6017 devices=4 addresses=3
  tool-heard address=127.0.0.1 port=40000
  request device=0000000a:0000000b command=814 sequence=123 from=127.0.0.1:40000
  reply device=0000000a:0000000b command=813 sequence=123 to=127.0.0.1:40000 bytes=100
  serial-set device=0000000a:0000000b value=12345678
  select device=0000000a:0000000b mark=ffff
)";
}

} // namespace VornSim
