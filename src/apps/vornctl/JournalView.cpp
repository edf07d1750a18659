#include "JournalView.h"

#include "Arguments.h"
#include "Commands.h"
#include "JournalFile.h"
#include "JournalJson.h"
#include "JournalPlace.h"
#include "Output.h"
#include "Reports.h"
#include "Values.h"

#include <algorithm>
#include <iterator>
#include <ostream>

namespace Vornctl {
namespace {

using Journal::JournalEntry;
using Journal::Json;

// One entry as the JSON and CSV outputs name its fields.
Json entryObject(const JournalEntry& entry) {
    const Journal::SerialIntent& intent = entry.intent;
    Json object;
    object["entry"] = intent.entry;
    object["time"] = Journal::formatUtc(intent.time);
    Journal::addIntentFields(object, intent, false);
    object["result"] = Journal::entryResultName(entry);
    object["acknowledged"] = entry.outcome ? Json(entry.outcome->acknowledged) : Json(nullptr);
    object["readBack"] =
        entry.outcome ? Journal::optionalNumber(entry.outcome->readBack) : Json(nullptr);
    object["outcomeTime"] =
        entry.outcome ? Json(Journal::formatUtc(entry.outcome->time)) : Json(nullptr);
    // Where a write of serve came from; the operator is then the person whose link asked.
    object["client"] = intent.client ? Json(*intent.client) : Json(nullptr);
    return object;
}

std::string optionalNumber(const std::optional<std::uint32_t>& value) {
    return value ? std::to_string(*value) : std::string("-");
}

} // namespace

std::vector<JournalEntry> selectEntries(std::vector<JournalEntry> entries,
                                        const JournalFilter& filter) {
    std::erase_if(entries, [&](const JournalEntry& entry) {
        if (filter.device && parseDeviceId(entry.intent.device.id) != filter.device)
            return true;
        return filter.since && entry.intent.time < *filter.since;
    });
    return entries;
}

std::string formatJournalTable(const std::vector<JournalEntry>& entries) {
    std::vector<std::vector<std::string>> cells;
    for (const JournalEntry& entry : entries) {
        const auto& intent = entry.intent;
        cells.push_back({Journal::formatUtc(intent.time), printable(intent.device.id),
                         printable(intent.device.name.value_or("Unknown")),
                         optionalNumber(intent.old), std::to_string(intent.target),
                         Journal::entryResultName(entry),
                         printable(intent.operatorName +
                                   (intent.client ? " from " + *intent.client : std::string())),
                         printable(intent.host)});
    }
    return formatTable({"Time", "ID", "Name", "Old", "New", "Result", "Operator", "Host"}, cells);
}

std::string formatJournalJson(const std::vector<JournalEntry>& entries) {
    std::vector<Json> objects;
    for (const JournalEntry& entry : entries)
        objects.push_back(entryObject(entry));
    return objectLines(objects);
}

std::string formatJournalCsv(const std::vector<JournalEntry>& entries) {
    std::string out;
    const Json header = entryObject(JournalEntry{});
    for (auto field = header.begin(); field != header.end(); ++field)
        out += (field == header.begin() ? "" : ",") + field.key();
    out += "\n";
    for (const JournalEntry& entry : entries) {
        const Json object = entryObject(entry);
        bool first = true;
        for (const auto& value : object) {
            if (!first)
                out += ",";
            first = false;
            if (value.is_string())
                out += csvField(value.get<std::string>());
            else if (!value.is_null())
                out += Journal::dumpJson(value);
        }
        out += "\n";
    }
    return out;
}

int showJournal(const Options& options, Console& console) {
    std::filesystem::path path;
    // The rotated files and the journal, oldest first, read as one text (a
    // write's outcome may follow its intent into the next file); each file's
    // first line number in it, to name the file of a skipped line.
    std::vector<std::pair<std::filesystem::path, std::size_t>> files;
    std::string text;
    try {
        path = journalPath(options);
        std::size_t lines = 0;
        for (const auto& file : Journal::JournalFile::withRotated(path)) {
            std::string part = Journal::JournalFile::read(file);
            if (!part.empty() && part.back() != '\n')
                part += '\n';
            files.emplace_back(file, lines + 1);
            lines += static_cast<std::size_t>(std::count(part.begin(), part.end(), '\n'));
            text += part;
        }
    } catch (const Journal::JournalError& failure) {
        reportError(console, failure.what());
        return Exit::failed;
    }
    std::error_code error;
    if (text.empty() && !std::filesystem::exists(path, error))
        console.err << "No journal at " << Journal::displayPath(path) << " yet." << std::endl;
    Journal::JournalReading reading = Journal::readEntries(text);
    for (const Journal::SkippedLine& line : reading.skipped) {
        auto file = files.begin();
        while (std::next(file) != files.end() && std::next(file)->second <= line.line)
            ++file;
        console.err << Journal::displayPath(file->first) << ": line "
                    << line.line - file->second + 1 << ": " << line.reason << "; skipped"
                    << std::endl;
    }
    const auto entries =
        selectEntries(std::move(reading.entries), {options.journalDevice, options.since});
    if (options.csv)
        console.out << formatJournalCsv(entries);
    else if (options.json)
        console.out << formatJournalJson(entries);
    else
        console.out << formatJournalTable(entries);
    return Exit::success;
}

} // namespace Vornctl
