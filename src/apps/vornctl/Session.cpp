#include "Session.h"

#include "Exception.h"
#include "Output.h"
#include "ProductName.h"
#include "SerialJournal.h"
#include "SerialRecord.h"
#include "StopSignal.h"
#include "Texts.h"
#include "Values.h"
#include "VornService.h"

#include <algorithm>
#include <condition_variable>
#include <istream>
#include <mutex>
#include <ostream>
#include <set>
#include <sstream>

namespace Vornctl {
namespace {

void error(Console& console, const std::string& message, const char* caption) {
    console.err << caption << ": " << message << std::endl;
}

} // namespace

void reportError(Console& console, const std::string& message) {
    error(console, message, Text::errorCaption);
}

std::string formatSeconds(std::chrono::milliseconds duration) {
    std::ostringstream text;
    text << static_cast<double>(duration.count()) / 1000.0 << " s";
    return text.str();
}

Session::Session(const Options& options, Console& console, Journal::SerialJournal* journal)
    : options_(options), console_(console), journal_(journal) {}

Session::~Session() = default;

bool Session::start() {
    try {
        service_ = std::make_unique<VornService>(options_.interfaceAddress);
        service_->deviceAddedHandlers.push_back([this](std::uint64_t id) { devices_.added(id); });
        service_->deviceRemovedHandlers.push_back(
            [this](std::uint64_t id) { devices_.removed(id); });
        if (publishEvents_ || options_.action == Action::Watch) {
            service_->deviceAddedHandlers.push_back(
                [this](std::uint64_t id) { pushWatchEvent(WatchEvent::Kind::Added, id); });
            service_->deviceChangedHandlers.push_back(
                [this](std::uint64_t id) { pushWatchEvent(WatchEvent::Kind::Changed, id); });
            service_->deviceRemovedHandlers.push_back(
                [this](std::uint64_t id) { pushWatchEvent(WatchEvent::Kind::Removed, id); });
        }
        service_->start();
        flow_ = std::make_unique<SerialWriteFlow>(*service_);
        return true;
    } catch (const Network::AddressInUseException&) {
        reportError(console_, Text::addressInUse);
    } catch (const Exception& failure) {
        reportError(console_, failure.message());
    }
    return false;
}

// On the frame list's worker: reads the device's record (still present for
// an addition or a change) and hands the event over.
void Session::pushWatchEvent(WatchEvent::Kind kind, std::uint64_t id) {
    WatchEvent event;
    event.kind = kind;
    event.time = std::chrono::system_clock::now();
    event.id = id;
    if (kind != WatchEvent::Kind::Removed) {
        try {
            const Vorn::FrameInfo info = service_->getDevice(id);
            event.deviceType = info.deviceType;
            event.address = info.address;
            event.mode = info.mode;
        } catch (const Vorn::UnknownFrameIdException&) {
            return; // gone again; its removal follows
        }
    }
    feed_.push(std::move(event));
}

std::vector<DeviceRow> Session::discover(std::chrono::milliseconds wait) {
    const std::string label = "Discovering devices on " + options_.interfaceAddress + ": ";
    std::size_t found = 0;
    devices_.watchUntil(Clock::now() + wait, [&](std::size_t count) {
        found = count;
        if (console_.interactive)
            console_.err << '\r' << label << count << " found" << std::flush;
    });
    if (console_.interactive)
        console_.err << '\r';
    console_.err << label << found << " found in " << formatSeconds(wait) << std::endl;

    return listedDevices();
}

std::vector<DeviceRow> Session::listedDevices() {
    std::vector<DeviceRow> rows;
    for (std::uint64_t id : devices_.present()) {
        try {
            const Vorn::FrameInfo info = service_->getDevice(id);
            if (options_.all || isServicedType(info.deviceType))
                rows.push_back({id, std::nullopt, info.deviceType, info.address, info.mode});
        } catch (const Vorn::UnknownFrameIdException&) {
            // Gone again since it was reported.
        }
    }
    std::sort(rows.begin(), rows.end(),
              [](const DeviceRow& a, const DeviceRow& b) { return a.id < b.id; });
    return rows;
}

int Session::list() {
    std::vector<DeviceRow> rows = discover(waitFor(options_));
    std::vector<std::uint64_t> ids;
    for (const DeviceRow& row : rows)
        ids.push_back(row.id);
    const auto names = readNames(ids);
    for (std::size_t i = 0; i < rows.size(); ++i)
        rows[i].name = names[i];
    if (options_.csv)
        console_.out << formatDeviceCsv(rows);
    else
        console_.out << (options_.json ? formatDeviceJson(rows) : formatDeviceTable(rows));
    return Exit::success;
}

int Session::watch() {
    if (console_.stop)
        console_.stop->listen([this] { feed_.stop(); });
    int status = Exit::success;
    relayEvents(
        [&](const WatchEvent& event) {
            console_.out << formatWatchEvent(event, options_.json) << std::endl;
            if (console_.out)
                return true;
            status = Exit::failed; // the reader has gone
            return false;
        },
        NameRounds::Once, options_.all);
    if (console_.stop)
        console_.stop->listen({});
    return status;
}

void Session::relayEvents(const EventSink& sink, NameRounds rounds, bool all) {
    std::set<std::uint64_t> shown; // devices whose addition was handed on
    while (const auto event = feed_.next()) {
        using Kind = WatchEvent::Kind;
        if (event->kind == Kind::Added) {
            if (!all && !isServicedType(event->deviceType))
                continue;
            shown.insert(event->id);
            service_->requestDeviceName(
                event->id,
                [this](std::uint64_t id, bool ok, std::string name) {
                    WatchEvent named;
                    named.kind = ok ? Kind::Named : Kind::NameUnread;
                    named.time = std::chrono::system_clock::now();
                    named.id = id;
                    named.name = std::move(name);
                    feed_.push(std::move(named));
                },
                rounds);
        } else if (shown.count(event->id) == 0) {
            continue;
        } else if (event->kind == Kind::Removed) {
            shown.erase(event->id);
        }
        if (!sink(*event))
            return;
    }
}

int Session::serialGet() {
    if (!awaitDevice())
        return Exit::failed;
    const auto serial = readSerial(options_.deviceId);
    if (!serial.ok) {
        reportError(console_, Text::serialReadFailed);
        return Exit::failed;
    }
    console_.out << formatCurrentSerial(serial.serial) << std::endl;
    return Exit::success;
}

int Session::serialSet() {
    const auto device = awaitDevice();
    if (!device)
        return Exit::failed;
    if (!options_.yes) {
        const int confirmed = confirm();
        if (confirmed != Exit::success)
            return confirmed;
    }
    SerialWriteRequest request;
    request.id = options_.deviceId;
    request.target = options_.serial;
    request.allowDuplicate = options_.allowDuplicate;
    if (!request.allowDuplicate)
        request.listed = settledListing();
    const SerialWriteReport report = write(std::move(request));
    reportWarnings(console_, report);

    using Journal::WriteResult;
    if (report.result == WriteResult::Duplicate) {
        reportError(console_, duplicateRefusal(report) + " --allow-duplicate writes it anyway.");
        return Exit::usage;
    }
    if (!report.found || !report.before) {
        reportError(console_, Text::serialReadFailed + std::string(" Nothing was written."));
        return Exit::failed;
    }
    if (report.result == WriteResult::AlreadySet) {
        console_.out << formatCurrentSerial(*report.before) << std::endl;
        console_.out << "The device holds this serial number already; nothing was written."
                     << std::endl;
        return Exit::success;
    }
    if (!report.intentRecorded) {
        reportError(console_, report.journalError + "; no further write was sent.");
        return Exit::failed;
    }

    int status = Exit::success;
    if (!report.acknowledged && report.result != WriteResult::Verified) {
        reportError(console_, Text::serialSetFailed);
        status = Exit::failed;
    } else {
        console_.out << Text::serialChanged << std::endl;
        if (!report.readBack) {
            reportError(console_, Text::serialReadFailed);
            status = Exit::failed;
        } else {
            console_.out << formatCurrentSerial(*report.readBack) << std::endl;
            if (*report.readBack != options_.serial) {
                reportError(console_, "the device reports serial number " +
                                          std::to_string(*report.readBack) + " after writing " +
                                          std::to_string(options_.serial) + ".");
                status = Exit::failed;
            }
        }
    }
    if (!report.journalError.empty()) {
        reportError(console_, report.journalError);
        status = Exit::failed;
    }
    return status;
}

int Session::select(bool selected) {
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

SerialResult Session::readSerial(std::uint64_t id) {
    Handoff<SerialResult> result;
    const bool sent =
        service_->requestSerialNumber(id, [result](std::uint64_t, bool ok, unsigned serial) {
            result.deliver({ok, serial});
        });
    if (!sent)
        return {};
    return result.waitUntil(Clock::now() + requestDeadline).value_or(SerialResult{});
}

std::vector<std::optional<std::string>> Session::readNames(const std::vector<std::uint64_t>& ids) {
    return collectNames(requestNames(ids));
}

Session::PendingNames Session::requestNames(const std::vector<std::uint64_t>& ids) {
    // Ask every device at once; the answers are collected afterwards.
    PendingNames pending;
    for (const std::uint64_t id : ids) {
        Handoff<std::optional<std::string>> name;
        const bool sent =
            service_->requestDeviceName(id, [name](std::uint64_t, bool ok, std::string text) {
                name.deliver(ok ? std::optional<std::string>(std::move(text)) : std::nullopt);
            });
        pending.push_back(sent ? std::optional(name) : std::nullopt);
    }
    return pending;
}

std::vector<std::optional<std::string>> Session::collectNames(const PendingNames& pending) {
    const auto deadline = Clock::now() + requestDeadline;
    std::vector<std::optional<std::string>> names;
    for (const auto& name : pending)
        names.push_back(name ? name->waitUntil(deadline).value_or(std::nullopt) : std::nullopt);
    return names;
}

std::vector<std::optional<std::uint32_t>>
Session::readSerials(const std::vector<std::uint64_t>& ids, Clock::time_point deadline,
                     const std::function<void(std::size_t)>& progress, std::size_t outstanding) {
    // Shared with the completions, which may come after this returns.
    struct Reads {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<std::optional<std::uint32_t>> serials; // guarded by mutex
        std::size_t done = 0;                              // guarded by mutex
    };
    const auto reads = std::make_shared<Reads>();
    reads->serials.resize(ids.size());
    std::size_t sent = 0;
    std::size_t reported = 0;
    std::unique_lock lock(reads->mutex);
    while (reads->done < ids.size()) {
        if (reported != reads->done && progress) {
            reported = reads->done;
            lock.unlock();
            progress(reported);
            lock.lock();
        }
        if (sent < ids.size() && sent - reads->done < outstanding) {
            const std::size_t index = sent++;
            lock.unlock();
            const bool accepted = service_->requestSerialNumber(
                ids[index], [reads, index](std::uint64_t, bool ok, unsigned serial) {
                    {
                        const std::lock_guard done(reads->mutex);
                        if (ok)
                            reads->serials[index] = serial;
                        ++reads->done;
                    }
                    reads->changed.notify_all();
                });
            lock.lock();
            if (!accepted)
                ++reads->done;
            continue;
        }
        if (reads->changed.wait_until(lock, deadline) == std::cv_status::timeout &&
            Clock::now() >= deadline)
            break;
    }
    if (progress && reported != reads->done) {
        const std::size_t done = reads->done;
        lock.unlock();
        progress(done);
        lock.lock();
    }
    return reads->serials;
}

bool Session::submitWrite(SerialWriteRequest request, SerialWriteFlow::Done done,
                          bool waitForRoom) {
    if (!journal_)
        throw std::logic_error("a serial write without a journal");
    request.journal = journal_;
    return flow_->submit(std::move(request), std::move(done), waitForRoom);
}

SerialWriteReport Session::write(SerialWriteRequest request) {
    Handoff<SerialWriteReport> report;
    // Behind the writes others asked for (serve), in turn.
    if (!submitWrite(
            std::move(request), [report](const SerialWriteReport& done) { report.deliver(done); },
            true))
        throw std::runtime_error("serial writes are shutting down");
    // The flow always reports: the engine ends every request it sends.
    const auto done = report.waitUntil(Clock::now() + std::chrono::hours(1));
    if (!done)
        throw std::runtime_error("the serial write did not end within an hour");
    return *done;
}

std::vector<ListedDevice> Session::settledListing() {
    // Before the list is taken, no new device for this long.
    constexpr std::chrono::milliseconds segmentSettles{300};
    devices_.waitUntilQuiet(segmentSettles, Clock::now() + duplicateCheckWait);
    std::vector<ListedDevice> listed;
    for (const DeviceRow& row : listedDevices())
        listed.push_back({row.id, std::nullopt});
    return listed;
}

std::string duplicateRefusal(const SerialWriteReport& report) {
    const std::uint64_t holder = report.holder ? report.holder->id : 0;
    const std::string name =
        report.holder && report.holder->name ? *report.holder->name : Text::unknownName;
    return "serial number " + std::to_string(report.target) + " is held by device " +
           formatDeviceId(holder) + " (" + printable(name) + "); nothing was written.";
}

void reportWarnings(Console& console, const SerialWriteReport& report) {
    for (const std::string& warning : silentWarnings(report))
        console.err << "Warning: " << warning << std::endl;
}

// Waits for the device of the command line; none (after reporting) when it
// does not appear in time or is not one of the serviced products.
std::optional<Vorn::FrameInfo> Session::awaitDevice() {
    const auto wait = waitFor(options_);
    const std::string id = formatDeviceId(options_.deviceId);
    std::optional<Vorn::FrameInfo> info;
    if (devices_.waitFor(options_.deviceId, Clock::now() + wait)) {
        try {
            info = service_->getDevice(options_.deviceId);
        } catch (const Vorn::UnknownFrameIdException&) {
        }
    }
    if (!info) {
        reportError(console_, "device " + id + " did not appear on " + options_.interfaceAddress +
                                  " within " + formatSeconds(wait) + ".");
        return std::nullopt;
    }
    if (!options_.all && !isServicedType(info->deviceType)) {
        reportError(console_, "device " + id + " is a " + productName(info->deviceType) +
                                  " (type code " + std::to_string(info->deviceType) +
                                  "), not an Ondal 2 or Ondal 4; add --all to act on it anyway.");
        return std::nullopt;
    }
    return info;
}

// The second entry of the serial number, as the window's confirmation asks for it.
int Session::confirm() {
    console_.err << Text::confirmSerial << ' ' << std::flush;
    std::string line;
    if (!std::getline(console_.in, line)) {
        console_.err << std::endl;
        reportError(console_, "no confirmation given; nothing was written.");
        return Exit::usage;
    }
    const auto second = parseSerial(trim(line));
    if (!second) {
        reportError(console_, Text::invalidSerialFormat);
        return Exit::usage;
    }
    if (*second != options_.serial) {
        error(console_, Text::serialMismatch, Text::mismatchCaption);
        return Exit::usage;
    }
    return Exit::success;
}

} // namespace Vornctl
