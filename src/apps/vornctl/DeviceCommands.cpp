#include "DeviceCommands.h"

#include "Commands.h"
#include "DeviceSession.h"
#include "Exception.h"
#include "Output.h"
#include "ProductName.h"
#include "Reports.h"
#include "StopSignal.h"
#include "Texts.h"
#include "Values.h"
#include "VornService.h"

#include <istream>
#include <ostream>

namespace Vornctl {
namespace {

using Clock = DeviceSession::Clock;

// Waits for the device of the command line; none (after reporting) when it
// does not appear in time or is not one of the serviced products.
std::optional<Vorn::FrameInfo> awaitDevice(DeviceSession& session, const Options& options,
                                           Console& console) {
    const auto wait = waitFor(options);
    const std::string id = formatDeviceId(options.deviceId);
    const auto info = session.awaitDevice(options.deviceId, Clock::now() + wait);
    if (!info) {
        reportError(console, "device " + id + " did not appear on " + options.interfaceAddress +
                                 " within " + formatSeconds(wait) + ".");
        return std::nullopt;
    }
    if (!options.all && !isServicedType(info->deviceType)) {
        reportError(console, "device " + id + " is a " + productName(info->deviceType) +
                                 " (type code " + std::to_string(info->deviceType) +
                                 "), not an Ondal 2 or Ondal 4; add --all to act on it anyway.");
        return std::nullopt;
    }
    return info;
}

// The second entry of the serial number, as the window's confirmation asks for it.
int confirm(const Options& options, Console& console) {
    console.err << Text::confirmSerial << ' ' << std::flush;
    std::string line;
    if (!std::getline(console.in, line)) {
        console.err << std::endl;
        reportError(console, "no confirmation given; nothing was written.");
        return Exit::usage;
    }
    const auto second = parseSerial(trim(line));
    if (!second) {
        reportError(console, Text::invalidSerialFormat);
        return Exit::usage;
    }
    if (*second != options.serial) {
        report(console, Text::mismatchCaption, Text::serialMismatch);
        return Exit::usage;
    }
    return Exit::success;
}

// What serial set says of a write's outcome: its lines, its errors and its
// exit status, one row each. `shown` is the report's outcome, or for one the
// journal did not record, what the device did.
int reportWrite(Console& console, const SerialWriteReport& report, WriteOutcome shown) {
    const auto failed = [&console](const std::string& error) {
        reportError(console, error);
        return Exit::failed;
    };
    const auto current = [&console](std::uint32_t serial) {
        console.out << formatCurrentSerial(serial) << std::endl;
    };
    switch (shown) {
    case WriteOutcome::Verified:
        console.out << Text::serialChanged << std::endl;
        current(*report.readBack);
        return Exit::success;
    case WriteOutcome::Unverified:
        console.out << Text::serialChanged << std::endl;
        return failed(Text::serialReadFailed);
    case WriteOutcome::Mismatch:
        current(*report.readBack);
        return failed("the device reports serial number " + std::to_string(*report.readBack) +
                      " after writing " + std::to_string(report.target) + ".");
    case WriteOutcome::Refused:
    case WriteOutcome::NoAnswer:
        return failed(Text::serialSetFailed);
    case WriteOutcome::AlreadySet:
        current(*report.before);
        console.out << "The device holds this serial number already; nothing was written."
                    << std::endl;
        return Exit::success;
    case WriteOutcome::Duplicate:
        reportError(console, duplicateRefusal(report) + " --allow-duplicate writes it anyway.");
        return Exit::usage;
    case WriteOutcome::NotFound:
    case WriteOutcome::Unreadable:
        return failed(Text::serialReadFailed + std::string(" Nothing was written."));
    case WriteOutcome::JournalUnwritable:
        return failed(report.error + "; no further write was sent.");
    case WriteOutcome::Unrecorded:
        reportWrite(console, report, writeOutcomeOf(*report.unrecorded));
        return failed(report.error);
    case WriteOutcome::Failed:
        return failed(report.error);
    }
    return failed(report.error);
}

} // namespace

int reportSerialWrite(Console& console, const SerialWriteReport& report) {
    return reportWrite(console, report, report.outcome);
}

bool startSession(DeviceSession& session, Console& console) {
    try {
        session.start();
        return true;
    } catch (const Network::AddressInUseException&) {
        reportError(console, Text::addressInUse);
    } catch (const Exception& failure) {
        reportError(console, failure.message());
    }
    return false;
}

std::vector<FoundDevice> discover(DeviceSession& session, const Options& options, Console& console,
                                  std::chrono::milliseconds wait) {
    const std::string label = "Discovering devices on " + options.interfaceAddress + ": ";
    std::size_t found = 0;
    session.devices().watchUntil(Clock::now() + wait, [&](std::size_t count) {
        found = count;
        if (console.interactive)
            console.err << '\r' << label << count << " found" << std::flush;
    });
    if (console.interactive)
        console.err << '\r';
    console.err << label << found << " found in " << formatSeconds(wait) << std::endl;
    if (const std::uint64_t dropped = session.service().devicesDropped())
        reportError(console, formatNotListed(dropped));

    return session.listedDevices(options.all);
}

int list(DeviceSession& session, const Options& options, Console& console) {
    std::vector<FoundDevice> rows = discover(session, options, console, waitFor(options));
    std::vector<std::uint64_t> ids;
    for (const FoundDevice& row : rows)
        ids.push_back(row.id);
    const auto names = session.readNames(ids);
    for (std::size_t i = 0; i < rows.size(); ++i)
        rows[i].name = names[i];
    if (options.csv)
        console.out << formatDeviceCsv(rows);
    else
        console.out << (options.json ? formatDeviceJson(rows) : formatDeviceTable(rows));
    // A list that left devices out is no success, whatever form it took.
    return session.service().devicesDropped() ? Exit::failed : Exit::success;
}

int watch(DeviceSession& session, const Options& options, Console& console) {
    if (console.stop)
        console.stop->listen([&session] { session.stopEvents(); });
    int status = Exit::success;
    session.relayEvents(
        [&](const DeviceEvent& event) {
            console.out << formatDeviceEvent(event, options.json) << std::endl;
            if (console.out)
                return true;
            status = Exit::failed; // the reader has gone
            return false;
        },
        NameRounds::Once, options.all);
    if (console.stop)
        console.stop->listen({});
    return status;
}

int serialGet(DeviceSession& session, const Options& options, Console& console) {
    if (!awaitDevice(session, options, console))
        return Exit::failed;
    const auto serial = session.readSerial(options.deviceId);
    if (!serial.ok) {
        reportError(console, Text::serialReadFailed);
        return Exit::failed;
    }
    console.out << formatCurrentSerial(serial.serial) << std::endl;
    return Exit::success;
}

int serialSet(DeviceSession& session, const Options& options, Console& console) {
    const auto device = awaitDevice(session, options, console);
    if (!device)
        return Exit::failed;
    if (!options.yes) {
        const int confirmed = confirm(options, console);
        if (confirmed != Exit::success)
            return confirmed;
    }
    SerialWriteRequest request;
    request.id = options.deviceId;
    request.target = options.serial;
    request.allowDuplicate = options.allowDuplicate;
    if (!request.allowDuplicate)
        request.listed = session.settledListing(options.all);
    const SerialWriteReport report = session.write(std::move(request));
    reportWarnings(console, report);

    return reportSerialWrite(console, report);
}

int select(DeviceSession& session, const Options& options, Console& console, bool selected) {
    if (!awaitDevice(session, options, console))
        return Exit::failed;
    if (selected)
        session.service().selectDevice(options.deviceId);
    else
        session.service().deselectDevice(options.deviceId);
    console.out << (selected ? "Select" : "Deselect") << " request sent to device "
                << formatDeviceId(options.deviceId) << "." << std::endl;
    return Exit::success;
}

} // namespace Vornctl
