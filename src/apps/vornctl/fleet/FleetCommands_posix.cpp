#include "FleetCommands.h"

#include "ArchiveStore.h"
#include "BoxStateFolder.h"
#include "Commands.h"
#include "FleetArchive.h"
#include "FleetTopics.h"
#include "JournalEntries.h"
#include "JournalJson.h"
#include "JournalPlace.h"
#include "JournalTime.h"
#include "JournalView.h"
#include "Output.h"
#include "Reports.h"
#include "StopSignal.h"
#include "Texts.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <ostream>
#include <set>
#include <stdexcept>
#include <thread>

namespace Vornctl::Fleet {
namespace {

using namespace ::Fleet;
using Journal::Json;

// A command line that cannot be used: status 2.
struct Usage : std::invalid_argument {
    using std::invalid_argument::invalid_argument;
};

// The brokers of --broker, with the archive's TLS and login options.
std::vector<MqttSettings> brokerSettings(const Options& options) {
    if (options.brokers.empty())
        throw Usage("give the broker with --broker URL (mqtts://HOST:PORT)");
    if (options.brokerCert.empty() != options.brokerKey.empty())
        throw Usage("--broker-cert and --broker-key go together");
    if (!options.brokerPasswordFile.empty() && options.brokerUser.empty())
        throw Usage("--broker-password-file needs --broker-user");
    const std::string password = options.brokerPasswordFile.empty()
                                     ? std::string()
                                     : readPasswordFile(options.brokerPasswordFile);
    std::vector<MqttSettings> brokers;
    std::set<std::string> seen;
    for (const std::string& url : options.brokers) {
        MqttSettings settings;
        try {
            settings.broker = parseBrokerUrl(url);
        } catch (const MqttError& error) {
            throw Usage(error.what());
        }
        if (!settings.broker.tls && !isLoopbackHost(settings.broker.host))
            throw Usage("plain mqtt:// to " + settings.broker.host +
                        " would carry the journals readable by anyone on the network: use "
                        "mqtts://");
        if (!seen.insert(settings.broker.host + ":" + std::to_string(settings.broker.port)).second)
            throw Usage("the broker " + url + " is given twice");
        settings.caFile = options.brokerCa;
        settings.certFile = options.brokerCert;
        settings.keyFile = options.brokerKey;
        settings.user = options.brokerUser;
        settings.password = password;
        settings.clientId =
            "vorn-archive-" + Journal::hostName() + "-" + std::to_string(brokers.size() + 1);
        brokers.push_back(std::move(settings));
    }
    return brokers;
}

std::string archivePath(const Options& options) {
    if (options.archive.empty())
        throw Usage("give the archive's database with --archive FILE");
    return options.archive;
}

int keepArchive(const Options& options, Console& console) {
    ArchiveSettings settings;
    settings.database = archivePath(options);
    settings.brokers = brokerSettings(options);
    FleetArchive archive(std::move(settings),
                         [&console](const std::string& line) { console.err << line << std::endl; });
    if (console.stop)
        console.stop->listen([&archive] { archive.stop(); });
    console.err << "fleet: archiving into " << options.archive << std::endl;
    archive.run();
    if (console.stop)
        console.stop->listen({});
    return Exit::success;
}

ArchiveFilter filterOf(const Options& options) {
    ArchiveFilter filter;
    if (!options.box.empty())
        filter.box = options.box;
    filter.site = options.site;
    if (options.journalDevice)
        filter.device = formatDeviceId(*options.journalDevice);
    filter.serial = options.serialFilter;
    if (options.since)
        filter.since = Journal::formatUtc(*options.since);
    return filter;
}

std::string text(std::uint64_t number) {
    return std::to_string(number);
}

// What the table and CSV show of a field that may be missing.
std::string orDash(const std::string& value) {
    return value.empty() ? "-" : value;
}

void printCsv(Console& console, const std::vector<std::string>& headers,
              const std::vector<std::vector<std::string>>& rows) {
    for (std::size_t i = 0; i < headers.size(); ++i)
        console.out << (i ? "," : "") << headers[i];
    console.out << "\n";
    for (const auto& row : rows) {
        for (std::size_t i = 0; i < row.size(); ++i)
            console.out << (i ? "," : "") << csvField(row[i]);
        console.out << "\n";
    }
}

int showBoxes(const Options& options, Console& console) {
    ArchiveStore store(archivePath(options), ArchiveStore::Mode::Read);
    const auto boxes = store.boxes(filterOf(options));
    if (options.json) {
        Json list = Json::array();
        for (const BoxRow& box : boxes)
            list.push_back({{"box", box.box},
                            {"site", box.site},
                            {"state", box.online ? "online" : "offline"},
                            {"since", box.since},
                            {"lastContact", box.lastContact},
                            {"session", box.session},
                            {"version", box.version},
                            {"adapter", box.adapter},
                            {"devices", box.devices},
                            {"acknowledged", box.acknowledged},
                            {"waiting", box.waiting},
                            {"dropped", box.dropped}});
        console.out << Journal::dumpJson(list) << "\n";
        return Exit::success;
    }
    const std::vector<std::string> headers = {"Box",     "Site",    "State",        "Since",
                                              "Contact", "Devices", "Acknowledged", "Waiting"};
    std::vector<std::vector<std::string>> rows;
    for (const BoxRow& box : boxes)
        rows.push_back({box.box, orDash(box.site), box.online ? "online" : "offline",
                        orDash(box.since), orDash(box.lastContact), text(box.devices),
                        text(box.acknowledged), text(box.waiting)});
    if (options.csv)
        printCsv(console, headers, rows);
    else
        console.out << formatTable(headers, rows);
    return Exit::success;
}

int showDevices(const Options& options, Console& console) {
    ArchiveStore store(archivePath(options), ArchiveStore::Mode::Read);
    const auto devices = store.devices(filterOf(options));
    if (options.json) {
        Json list = Json::array();
        for (const DeviceRow& row : devices) {
            Json device = Json::parse(formatDeviceState(row.state));
            device["box"] = row.box;
            device["site"] = row.site;
            list.push_back(std::move(device));
        }
        console.out << Journal::dumpJson(list) << "\n";
        return Exit::success;
    }
    const std::vector<std::string> headers = {"ID",         "Name",     "Product", "Serial",
                                              "Box",        "Site",     "Address", "Present",
                                              "First seen", "Last seen"};
    std::vector<std::vector<std::string>> rows;
    for (const DeviceRow& row : devices) {
        const DeviceState& device = row.state;
        rows.push_back({device.id, device.name.value_or("Unknown"), device.product,
                        device.serial ? text(*device.serial) : "-", row.box, orDash(row.site),
                        device.address, device.present ? "yes" : "no", device.firstSeen,
                        device.lastSeen});
    }
    if (options.csv)
        printCsv(console, headers, rows);
    else
        console.out << formatTable(headers, rows);
    return Exit::success;
}

int showFleetJournal(const Options& options, Console& console) {
    ArchiveStore store(archivePath(options), ArchiveStore::Mode::Read);
    // Each box's records joined as vornctl journal joins a journal's.
    std::map<std::string, std::string> lines, sites;
    for (const StoredRecord& record : store.records(filterOf(options))) {
        lines[record.box] += record.line + "\n";
        sites[record.box] = record.site;
    }
    struct Row {
        std::string box;
        Journal::JournalEntry entry;
    };
    std::vector<Row> rows;
    for (const auto& [box, text] : lines)
        for (Journal::JournalEntry& entry : Journal::readEntries(text).entries)
            rows.push_back({box, std::move(entry)});
    std::stable_sort(rows.begin(), rows.end(), [](const Row& a, const Row& b) {
        return a.entry.intent.time < b.entry.intent.time;
    });
    if (options.json || options.csv) {
        std::vector<Journal::JournalEntry> entries;
        for (const Row& row : rows)
            entries.push_back(row.entry);
        // vornctl journal's fields, with the box and its site first.
        const Json objects = Json::parse(formatJournalJson(entries));
        Json list = Json::array();
        for (std::size_t i = 0; i < rows.size(); ++i) {
            Json object{{"box", rows[i].box}, {"site", sites[rows[i].box]}};
            object.update(objects.at(i));
            list.push_back(std::move(object));
        }
        if (options.json) {
            console.out << Journal::dumpJson(list) << "\n";
            return Exit::success;
        }
        std::vector<std::string> headers = {"box", "site"};
        std::string header = formatJournalCsv({}); // the header line alone
        header.pop_back();
        for (std::size_t start = 0, comma = 0; comma != std::string::npos; start = comma + 1) {
            comma = header.find(',', start);
            headers.push_back(header.substr(start, comma - start));
        }
        std::vector<std::vector<std::string>> cells;
        for (const Json& object : list) {
            std::vector<std::string> row;
            for (const auto& value : object)
                row.push_back(value.is_string() ? value.get<std::string>()
                              : value.is_null() ? std::string()
                                                : Journal::dumpJson(value));
            cells.push_back(std::move(row));
        }
        printCsv(console, headers, cells);
        return Exit::success;
    }
    const std::vector<std::string> headers = {"Time", "Box",    "ID",       "Name", "Old",
                                              "New",  "Result", "Operator", "Host"};
    std::vector<std::vector<std::string>> cells;
    for (const Row& row : rows) {
        const auto& intent = row.entry.intent;
        cells.push_back({Journal::formatUtc(intent.time), row.box, intent.device.id,
                         intent.device.name.value_or("Unknown"),
                         intent.old ? text(*intent.old) : "-", text(intent.target),
                         Journal::entryResultName(row.entry), intent.operatorName, intent.host});
    }
    console.out << formatTable(headers, cells);
    return Exit::success;
}

// Clears the box's retained topics on every broker (those the broker holds,
// as a subscription finds them) and its devices in the archive.
int forgetBox(const Options& options, Console& console) {
    if (!validBoxName(options.box))
        throw Usage("\"" + options.box + "\" is not a box's name");
    const auto brokers = brokerSettings(options);
    MqttEvents events;
    std::vector<std::unique_ptr<MqttClient>> clients;
    for (const MqttSettings& settings : brokers)
        clients.push_back(
            std::make_unique<MqttClient>(settings, events, static_cast<int>(clients.size())));
    const std::string subtree = std::string(topicRoot) + options.box + "/#";
    std::vector<std::set<std::string>> retained(clients.size());
    std::vector<bool> connected(clients.size(), false);
    // Retained messages come at once after the subscription; a quiet second ends it.
    auto quietUntil = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (const auto event = events.next(quietUntil)) {
        const auto source = static_cast<std::size_t>(event->source);
        if (event->kind == MqttEvent::Kind::Connected && event->code == 0) {
            connected[source] = true;
            clients[source]->subscribe(subtree, 1);
            quietUntil = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        } else if (event->kind == MqttEvent::Kind::Message && event->retained &&
                   !event->payload.empty()) {
            retained[source].insert(event->topic);
            quietUntil = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        }
    }
    int status = Exit::success;
    for (std::size_t i = 0; i < clients.size(); ++i) {
        const auto& broker = brokers[i].broker;
        const std::string where = broker.host + ":" + std::to_string(broker.port);
        if (!connected[i]) {
            reportError(console, "could not reach the broker " + where);
            status = Exit::failed;
            continue;
        }
        retained[i].insert(statusTopic(options.box));
        retained[i].insert(ackTopic(options.box));
        for (const std::string& topic : retained[i])
            clients[i]->publish(topic, "", 1, true);
        console.out << "cleared " << retained[i].size() << " retained topics of " << options.box
                    << " on " << where << "\n";
    }
    clients.clear(); // each disconnect sends what was queued first
    if (!options.archive.empty()) {
        ArchiveStore(options.archive).forgetBox(options.box);
        console.out << "forgot the devices of " << options.box << " in " << options.archive << "\n";
    }
    return status;
}

} // namespace

int runFleet(const Options& options, Console& console) {
    try {
        switch (options.action) {
        case Action::Fleet:
            return keepArchive(options, console);
        case Action::FleetBoxes:
            return showBoxes(options, console);
        case Action::FleetDevices:
            return showDevices(options, console);
        case Action::FleetJournal:
            return showFleetJournal(options, console);
        case Action::FleetForget:
            return forgetBox(options, console);
        default:
            return Exit::usage;
        }
    } catch (const Usage& failure) {
        reportError(console, failure.what());
        return Exit::usage;
    } catch (const std::exception& failure) {
        reportError(console, failure.what());
        return Exit::failed;
    }
}

} // namespace Vornctl::Fleet
