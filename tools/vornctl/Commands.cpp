#include "Commands.h"

#include "DeviceWatch.h"
#include "Enumerator.h"
#include "Exception.h"
#include "Handoff.h"
#include "Output.h"
#include "ProductName.h"
#include "Texts.h"
#include "VornService.h"

#include <algorithm>
#include <istream>
#include <memory>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>

namespace Vornctl {
namespace {

using Clock = std::chrono::steady_clock;

void error(Console& console, const std::string& message, const char* caption = Text::errorCaption) {
    console.err << caption << ": " << message << std::endl;
}

std::string seconds(std::chrono::milliseconds duration) {
    std::ostringstream text;
    text << static_cast<double>(duration.count()) / 1000.0 << " s";
    return text.str();
}

std::vector<AdapterInfo> readAdapters() {
    Enumerator enumerator;
    std::vector<AdapterInfo> adapters;
    const unsigned count = enumerator.adapterCount();
    for (unsigned i = 0; i < count; ++i)
        adapters.push_back(enumerator.adapterAt(i));
    return adapters;
}

int listInterfaces(const Options& options, Console& console) {
    const auto adapters = readAdapters();
    console.out << (options.json ? formatInterfaceJson(adapters) : formatInterfaceTable(adapters));
    return Exit::success;
}

std::string trim(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    return text.substr(first, text.find_last_not_of(" \t\r\n") - first + 1);
}

struct SerialResult {
    bool ok = false;
    std::uint32_t serial = 0;
};

// One run of the controller on the chosen interface.
class Session {
public:
    Session(const Options& options, Console& console) : options_(options), console_(console) {}

    // Starts the controller; false (after reporting) when it cannot start.
    bool start() {
        try {
            service_ = std::make_unique<VornService>(options_.interfaceAddress);
            service_->deviceAddedHandlers.push_back([this](std::uint64_t id) { watch_.added(id); });
            service_->deviceRemovedHandlers.push_back(
                [this](std::uint64_t id) { watch_.removed(id); });
            service_->start();
            return true;
        } catch (const Network::AddressInUseException&) {
            error(console_, Text::addressInUse);
        } catch (const Exception& failure) {
            error(console_, failure.message());
        }
        return false;
    }

    int list() {
        const auto wait = waitFor(options_);
        const std::string label = "Discovering devices on " + options_.interfaceAddress + ": ";
        std::size_t found = 0;
        watch_.watchUntil(Clock::now() + wait, [&](std::size_t count) {
            found = count;
            if (console_.interactive)
                console_.err << '\r' << label << count << " found" << std::flush;
        });
        if (console_.interactive)
            console_.err << '\r';
        console_.err << label << found << " found in " << seconds(wait) << std::endl;

        std::vector<DeviceRow> rows;
        for (std::uint64_t id : watch_.present()) {
            try {
                const Vorn::FrameInfo info = service_->getDevice(id);
                if (options_.all || isServicedType(info.deviceType))
                    rows.push_back({id, std::nullopt, info.deviceType, info.address, info.mode});
            } catch (const Vorn::UnknownFrameIdException&) {
                // Gone again since it was reported.
            }
        }

        // Ask every device for its name at once, then collect the answers.
        std::vector<std::optional<Handoff<std::optional<std::string>>>> names;
        for (const DeviceRow& row : rows) {
            Handoff<std::optional<std::string>> name;
            const bool sent = service_->requestDeviceName(
                row.id, [name](std::uint64_t, bool ok, std::string text) {
                    name.deliver(ok ? std::optional<std::string>(std::move(text)) : std::nullopt);
                });
            names.push_back(sent ? std::optional(name) : std::nullopt);
        }
        const auto deadline = Clock::now() + requestDeadline;
        for (std::size_t i = 0; i < rows.size(); ++i)
            if (names[i])
                rows[i].name = names[i]->waitUntil(deadline).value_or(std::nullopt);

        std::sort(rows.begin(), rows.end(),
                  [](const DeviceRow& a, const DeviceRow& b) { return a.id < b.id; });
        console_.out << (options_.json ? formatDeviceJson(rows) : formatDeviceTable(rows));
        return Exit::success;
    }

    int serialGet() {
        if (!awaitDevice())
            return Exit::failed;
        const auto serial = readSerial();
        if (!serial.ok) {
            error(console_, Text::serialReadFailed);
            return Exit::failed;
        }
        console_.out << formatCurrentSerial(serial.serial) << std::endl;
        return Exit::success;
    }

    int serialSet() {
        if (!awaitDevice())
            return Exit::failed;
        if (!options_.yes) {
            const int confirmed = confirm();
            if (confirmed != Exit::success)
                return confirmed;
        }

        Handoff<bool> written;
        const bool sent =
            service_->setSerialNumber(options_.deviceId, options_.serial,
                                      [written](std::uint64_t, bool ok) { written.deliver(ok); });
        // Two round trips: the record is read, then written back.
        if (!sent || !written.waitUntil(Clock::now() + 2 * requestDeadline).value_or(false)) {
            error(console_, Text::serialSetFailed);
            return Exit::failed;
        }
        console_.out << Text::serialChanged << std::endl;

        const auto serial = readSerial();
        if (!serial.ok) {
            error(console_, Text::serialReadFailed);
            return Exit::failed;
        }
        console_.out << formatCurrentSerial(serial.serial) << std::endl;
        if (serial.serial != options_.serial) {
            error(console_, "the device reports serial number " + std::to_string(serial.serial) +
                                " after writing " + std::to_string(options_.serial) + ".");
            return Exit::failed;
        }
        return Exit::success;
    }

    int select(bool selected) {
        if (!awaitDevice())
            return Exit::failed;
        if (selected)
            service_->selectDevice(options_.deviceId);
        else
            service_->deselectDevice(options_.deviceId);
        console_.out << (selected ? "Select" : "Deselect") << " request sent to device "
                     << formatDeviceId(options_.deviceId) << "." << std::endl;
        return Exit::success;
    }

private:
    // Waits for the device of the command line; false (after reporting) when
    // it does not appear in time or is not one of the serviced products.
    bool awaitDevice() {
        const auto wait = waitFor(options_);
        const std::string id = formatDeviceId(options_.deviceId);
        std::optional<Vorn::FrameInfo> info;
        if (watch_.waitFor(options_.deviceId, Clock::now() + wait)) {
            try {
                info = service_->getDevice(options_.deviceId);
            } catch (const Vorn::UnknownFrameIdException&) {
            }
        }
        if (!info) {
            error(console_, "device " + id + " did not appear on " + options_.interfaceAddress +
                                " within " + seconds(wait) + ".");
            return false;
        }
        if (!options_.all && !isServicedType(info->deviceType)) {
            error(console_, "device " + id + " is a " + productName(info->deviceType) +
                                " (type code " + std::to_string(info->deviceType) +
                                "), not an Ondal 2 or Ondal 4; add --all to act on it anyway.");
            return false;
        }
        return true;
    }

    SerialResult readSerial() {
        Handoff<SerialResult> result;
        const bool sent = service_->requestSerialNumber(
            options_.deviceId, [result](std::uint64_t, bool ok, unsigned serial) {
                result.deliver({ok, serial});
            });
        if (!sent)
            return {};
        return result.waitUntil(Clock::now() + requestDeadline).value_or(SerialResult{});
    }

    // The second entry of the serial number, as the window's confirmation asks for it.
    int confirm() {
        console_.err << Text::confirmSerial << ' ' << std::flush;
        std::string line;
        if (!std::getline(console_.in, line)) {
            console_.err << std::endl;
            error(console_, "no confirmation given; nothing was written.");
            return Exit::usage;
        }
        const auto second = parseSerial(trim(line));
        if (!second) {
            error(console_, Text::invalidSerialFormat);
            return Exit::usage;
        }
        if (*second != options_.serial) {
            error(console_, Text::serialMismatch, Text::mismatchCaption);
            return Exit::usage;
        }
        return Exit::success;
    }

    const Options& options_;
    Console& console_;
    DeviceWatch watch_; // outlives the controller, whose handlers use it
    std::unique_ptr<VornService> service_;
};

int runOnNetwork(const Options& options, Console& console) {
    const auto adapters = readAdapters();
    const bool known = options.interfaceAddress != "0.0.0.0" &&
                       std::any_of(adapters.begin(), adapters.end(), [&](const AdapterInfo& a) {
                           return a.ipAddress == options.interfaceAddress;
                       });
    if (!known) {
        error(console, std::string(Text::invalidInterface) + ": " + options.interfaceAddress +
                           " is not the IPv4 address of a network adapter (see vornctl "
                           "interfaces).");
        return Exit::usage;
    }

    Session session(options, console);
    if (!session.start())
        return Exit::failed;
    switch (options.action) {
    case Action::List:
        return session.list();
    case Action::SerialGet:
        return session.serialGet();
    case Action::SerialSet:
        return session.serialSet();
    case Action::Select:
        return session.select(true);
    case Action::Deselect:
        return session.select(false);
    default:
        return Exit::usage;
    }
}

} // namespace

int run(const Options& options, Console& console) {
    try {
        switch (options.action) {
        case Action::Help:
            console.out << usage();
            return Exit::success;
        case Action::Interfaces:
            return listInterfaces(options, console);
        default:
            return runOnNetwork(options, console);
        }
    } catch (const Exception& failure) {
        // The adapter list could not be read.
        error(console, failure.message());
        return Exit::failed;
    }
}

} // namespace Vornctl
