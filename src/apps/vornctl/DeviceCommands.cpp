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

} // namespace

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

    using Journal::WriteResult;
    if (report.result == WriteResult::Duplicate) {
        reportError(console, duplicateRefusal(report) + " --allow-duplicate writes it anyway.");
        return Exit::usage;
    }
    if (!report.found || !report.before) {
        reportError(console, Text::serialReadFailed + std::string(" Nothing was written."));
        return Exit::failed;
    }
    if (report.result == WriteResult::AlreadySet) {
        console.out << formatCurrentSerial(*report.before) << std::endl;
        console.out << "The device holds this serial number already; nothing was written."
                    << std::endl;
        return Exit::success;
    }
    if (!report.intentRecorded) {
        reportError(console, report.journalError + "; no further write was sent.");
        return Exit::failed;
    }

    int status = Exit::success;
    if (!report.acknowledged && report.result != WriteResult::Verified) {
        reportError(console, Text::serialSetFailed);
        status = Exit::failed;
    } else {
        console.out << Text::serialChanged << std::endl;
        if (!report.readBack) {
            reportError(console, Text::serialReadFailed);
            status = Exit::failed;
        } else {
            console.out << formatCurrentSerial(*report.readBack) << std::endl;
            if (*report.readBack != options.serial) {
                reportError(console, "the device reports serial number " +
                                         std::to_string(*report.readBack) + " after writing " +
                                         std::to_string(options.serial) + ".");
                status = Exit::failed;
            }
        }
    }
    if (!report.journalError.empty()) {
        reportError(console, report.journalError);
        status = Exit::failed;
    }
    return status;
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
