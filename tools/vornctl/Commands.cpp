#include "Commands.h"

#include "Enumerator.h"
#include "Exception.h"
#include "Inventory.h"
#include "JournalPlace.h"
#include "JournalView.h"
#include "Output.h"
#include "SerialJournal.h"
#include "SerialPlan.h"
#include "SerialProgrammer.h"
#include "SerialRecord.h"
#include "Session.h"
#include "Texts.h"
#include "VornVersion.h"

#include <algorithm>
#include <fstream>
#include <ostream>
#include <sstream>
#include <string>

namespace Vornctl {

std::filesystem::path journalPath(const Options& options) {
    return options.journal.empty() ? Journal::defaultJournalPath()
                                   : std::filesystem::path(options.journal);
}

namespace {

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

int program(Session& session, const Options& options, Console& console,
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

int runOnNetwork(const Options& options, Console& console) {
    std::optional<std::vector<PlannedSerial>> plan;
    if (options.action == Action::SerialProgram) {
        plan = readPlan(options, console);
        if (!plan)
            return Exit::usage;
    }

    const auto adapters = readAdapters();
    const bool known = options.interfaceAddress != "0.0.0.0" &&
                       std::any_of(adapters.begin(), adapters.end(), [&](const AdapterInfo& a) {
                           return a.ipAddress == options.interfaceAddress;
                       });
    if (!known) {
        reportError(console, std::string(Text::invalidInterface) + ": " + options.interfaceAddress +
                                 " is not the IPv4 address of a network adapter (see vornctl "
                                 "interfaces).");
        return Exit::usage;
    }

    // Nothing is written without a record: the journal opens before the network.
    std::optional<Journal::SerialJournal> journal;
    try {
        openJournal(options, journal);
    } catch (const Journal::JournalError& failure) {
        reportError(console, std::string(failure.what()) + "; nothing was written.");
        return Exit::failed;
    }
    Session session(options, console, journal ? &*journal : nullptr);
    if (options.action == Action::Serve) {
        if (!console.serve)
            return Exit::usage;
        session.publishEvents();
    }
    if (!session.start())
        return Exit::failed;
    switch (options.action) {
    case Action::List:
        return session.list();
    case Action::Watch:
        return session.watch();
    case Action::SerialGet:
        return session.serialGet();
    case Action::SerialSet:
        return session.serialSet();
    case Action::SerialProgram:
        return program(session, options, console, *plan);
    case Action::Inventory:
        return inventory(session, options, console);
    case Action::Select:
        return session.select(true);
    case Action::Deselect:
        return session.select(false);
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
