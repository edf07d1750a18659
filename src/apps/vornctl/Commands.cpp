#include "Commands.h"

#include "AdapterChoice.h"
#include "DeviceCommands.h"
#include "DeviceSession.h"
#include "Exception.h"
#include "Inventory.h"
#include "JournalPlace.h"
#include "JournalView.h"
#include "Output.h"
#include "Reports.h"
#include "SerialJournal.h"
#include "SerialPlan.h"
#include "SerialProgrammer.h"
#include "SerialRecord.h"
#include "StopSignal.h"
#include "Texts.h"
#include "VornVersion.h"
#include "transport/Enumerator.h"

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <ostream>
#include <sstream>
#include <string>

namespace Vornctl {

std::filesystem::path journalPath(const Options& options) {
    return options.journal.empty() ? Journal::defaultJournalPath()
                                   : std::filesystem::path(options.journal);
}

namespace {

std::vector<Network::AdapterInfo> readAdapters() {
    Network::Enumerator enumerator;
    std::vector<Network::AdapterInfo> adapters;
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

// The serial-number file, checked whole; nothing when it cannot be used
// (after reporting every bad line).
std::optional<std::vector<PlannedSerial>> readPlan(const Options& options, Console& console) {
    std::ifstream file(options.file, std::ios::binary);
    std::ostringstream text;
    if (file)
        text << file.rdbuf();
    if (!file || file.bad()) {
        reportError(console, "cannot read " + options.file + "; nothing was written.");
        return std::nullopt;
    }
    SerialPlan plan = parseSerialPlan(text.str(), options.allowDuplicate);
    if (!plan.errors.empty()) {
        console.err << formatPlanErrors(plan.errors);
        reportError(console, options.file + " has " + std::to_string(plan.errors.size()) +
                                 (plan.errors.size() == 1 ? " bad line" : " bad lines") +
                                 "; nothing was written.");
        return std::nullopt;
    }
    return std::move(plan.entries);
}

// The commands that write serial numbers record them.
bool writesSerials(const Options& options) {
    return options.action == Action::SerialSet || options.action == Action::Serve ||
           (options.action == Action::SerialProgram && !options.dryRun);
}

// Opens the journal of a command that writes. Throws Journal::JournalError.
void openJournal(const Options& options, std::optional<Journal::SerialJournal>& journal) {
    if (!writesSerials(options))
        return;
    Journal::Writer writer{
        options.operatorName.empty() ? Journal::loginName() : options.operatorName,
        Journal::hostName(), SerialRecord::toolName("vornctl"), options.interfaceAddress};
    journal.emplace(journalPath(options), std::move(writer));
}

int program(DeviceSession& session, const Options& options, Console& console,
            const std::vector<PlannedSerial>& plan) {
    // A device that does not answer holds the run up for seconds: say how far it is.
    const auto rows =
        SerialProgrammer(session, options).run(plan, [&](const ProgramRow& row, std::size_t index) {
            console.err << "[" << index + 1 << "/" << plan.size() << "] " << formatDeviceId(row.id)
                        << " " << resultName(row.result) << std::endl;
        });
    console.out << (options.json ? formatProgramJson(rows) : formatProgramTable(rows))
                << std::flush;
    const auto good = static_cast<std::size_t>(std::count_if(
        rows.begin(), rows.end(), [](const ProgramRow& row) { return succeeded(row.result); }));
    console.err << good << " of " << rows.size() << " devices "
                << (options.dryRun ? "checked" : "hold their serial number") << std::endl;
    return good == rows.size() ? Exit::success : Exit::failed;
}

// The adapter's record, or the exit status when there is none to use.
class ChosenAdapter {
public:
    ChosenAdapter(Network::AdapterInfo adapter) : adapter_(std::move(adapter)) {}
    static ChosenAdapter none(int status) {
        ChosenAdapter out{Network::AdapterInfo{}};
        out.adapter_.reset();
        out.status_ = status;
        return out;
    }
    explicit operator bool() const { return adapter_.has_value(); }
    const Network::AdapterInfo* operator->() const { return &*adapter_; }
    int status() const { return status_; }

private:
    std::optional<Network::AdapterInfo> adapter_;
    int status_ = Exit::success;
};

ChosenAdapter waitForAdapter(const Options& options, Console& console) {
    const std::string& given = options.interfaceAddress;
    AdapterChoice choice = lookUpSystemAdapter(given);
    if (choice.kind == AdapterChoice::Kind::unknown) {
        std::vector<Network::AdapterInfo> adapters;
        try {
            adapters = readAdapters();
        } catch (const Exception&) {
        }
        reportError(console, std::string(Text::invalidInterface) + ": " + given +
                                 " is neither the name nor the IPv4 address of a network adapter; "
                                 "the adapters are " +
                                 adapterList(adapters) + " (see vornctl interfaces).");
        return ChosenAdapter::none(Exit::usage);
    }
    if (choice.kind == AdapterChoice::Kind::found)
        return choice.adapter;
    if (options.action != Action::Serve) {
        reportError(console, "the network adapter " + given + " has no IPv4 address.");
        return ChosenAdapter::none(Exit::failed);
    }
    // A box that boots, or waits for its DHCP lease: serve starts once the address comes.
    console.err << "Waiting for an IPv4 address on " << given << "..." << std::endl;
    std::mutex mutex;
    std::condition_variable wake;
    bool stopped = false; // guarded by mutex
    if (console.stop)
        console.stop->listen([&] {
            const std::lock_guard lock(mutex);
            stopped = true;
            wake.notify_all();
        });
    std::unique_lock lock(mutex);
    while (!stopped && choice.kind != AdapterChoice::Kind::found) {
        wake.wait_for(lock, adapterPollInterval, [&] { return stopped; });
        lock.unlock();
        choice = lookUpSystemAdapter(given);
        lock.lock();
    }
    const bool interrupted = stopped;
    lock.unlock();
    if (console.stop)
        console.stop->listen({});
    if (interrupted)
        return ChosenAdapter::none(Exit::success);
    console.err << given << " has the address " << choice.adapter.ipAddress << std::endl;
    return choice.adapter;
}

int runOnAdapter(const Options& options, Console& console,
                 const std::optional<std::vector<PlannedSerial>>& plan);

int runOnNetwork(const Options& options, Console& console) {
    std::optional<std::vector<PlannedSerial>> plan;
    if (options.action == Action::SerialProgram) {
        plan = readPlan(options, console);
        if (!plan)
            return Exit::usage;
    }

    // --interface by address or name; serve waits for an adapter that has no address yet.
    Options resolved = options;
    const auto adapter = waitForAdapter(options, console);
    if (!adapter)
        return adapter.status();
    resolved.interfaceAddress = adapter->ipAddress;
    resolved.interfaceName = options.interfaceAddress;
    return runOnAdapter(resolved, console, plan);
}

int runSession(const Options& options, Console& console,
               const std::optional<std::vector<PlannedSerial>>& plan,
               Journal::SerialJournal* journal);

// A journal file this run made and recorded nothing in (a write ended before
// it started: a wrong confirmation, a device that did not appear) is removed,
// so that no empty file is left behind.
void removeIfLeftEmpty(const std::filesystem::path& path) {
    std::error_code error;
    if (std::filesystem::file_size(path, error) == 0 && !error)
        std::filesystem::remove(path, error);
}

int runOnAdapter(const Options& options, Console& console,
                 const std::optional<std::vector<PlannedSerial>>& plan) {
    // Nothing is written without a record: the journal opens before the network.
    std::error_code error;
    const bool made =
        writesSerials(options) && !std::filesystem::exists(journalPath(options), error);
    std::optional<Journal::SerialJournal> journal;
    try {
        openJournal(options, journal);
    } catch (const Journal::JournalError& failure) {
        reportError(console, std::string(failure.what()) + "; nothing was written.");
        return Exit::failed;
    }
    const int status = runSession(options, console, plan, journal ? &*journal : nullptr);
    journal.reset(); // closed: a file open cannot be removed on Windows
    if (made)
        removeIfLeftEmpty(journalPath(options));
    return status;
}

int runSession(const Options& options, Console& console,
               const std::optional<std::vector<PlannedSerial>>& plan,
               Journal::SerialJournal* journal) {
    DeviceSession session(options.interfaceAddress, journal);
    if (options.action == Action::Serve && !console.serve)
        return Exit::usage;
    // watch prints the device events; serve keeps its device table by them.
    if (options.action == Action::Watch || options.action == Action::Serve)
        session.publishEvents();
    if (!startSession(session, console))
        return Exit::failed;
    switch (options.action) {
    case Action::List:
        return list(session, options, console);
    case Action::Watch:
        return watch(session, options, console);
    case Action::SerialGet:
        return serialGet(session, options, console);
    case Action::SerialSet:
        return serialSet(session, options, console);
    case Action::SerialProgram:
        return program(session, options, console, *plan);
    case Action::Inventory:
        return inventory(session, options, console);
    case Action::Select:
        return select(session, options, console, true);
    case Action::Deselect:
        return select(session, options, console, false);
    case Action::Serve:
        return console.serve(session, options, console);
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
        case Action::Version:
            console.out << "vornctl " << Vorn::version << "\n";
            return Exit::success;
        case Action::Interfaces:
            return listInterfaces(options, console);
        case Action::Journal:
            return showJournal(options, console);
        case Action::AccessAdd:
        case Action::AccessList:
        case Action::AccessRevoke:
            return console.access ? console.access(options, console) : Exit::usage;
        default:
            return runOnNetwork(options, console);
        }
    } catch (const Exception& failure) {
        // The adapter list could not be read.
        reportError(console, failure.message());
        return Exit::failed;
    } catch (const Journal::JournalError& failure) {
        reportError(console, std::string(failure.what()) + "; no further write was sent.");
        return Exit::failed;
    }
}

} // namespace Vornctl
