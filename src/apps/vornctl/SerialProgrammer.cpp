#include "SerialProgrammer.h"

#include "Arguments.h"
#include "DeviceSession.h"
#include "JournalFile.h"
#include "ProductName.h"
#include "Texts.h"
#include "VornService.h"

#include <algorithm>

namespace Vornctl {

SerialProgrammer::SerialProgrammer(DeviceSession& session, const Options& options,
                                   std::optional<std::string> client,
                                   std::optional<std::string> operatorName)
    : session_(session), options_(options), client_(std::move(client)),
      operatorName_(std::move(operatorName)) {}

void SerialProgrammer::waitForDevices(const std::vector<PlannedSerial>& plan) {
    const auto deadline = DeviceSession::Clock::now() + waitFor(options_);
    for (const PlannedSerial& entry : plan)
        if (!session_.devices().waitFor(entry.id, deadline))
            return; // the others are looked at as they are now
}

std::vector<ProgramRow> SerialProgrammer::run(const std::vector<PlannedSerial>& plan,
                                              const Progress& progress) {
    waitForDevices(plan);
    std::vector<ProgramRow> rows;
    for (const PlannedSerial& entry : plan) {
        rows.push_back(program(entry));
        if (progress)
            progress(rows.back(), rows.size() - 1);
        // The journal failed: no further write may be sent.
        if (!journalError_.empty())
            throw ProgramStopped(journalError_, std::move(rows));
    }
    return rows;
}

ProgramRow SerialProgrammer::program(const PlannedSerial& entry) {
    ProgramRow row;
    row.line = entry.line;
    row.id = entry.id;
    row.target = entry.serial;
    auto finish = [&row](ProgramResult result, std::string detail) {
        row.result = result;
        row.detail = std::move(detail);
        return row;
    };

    std::optional<Vorn::FrameInfo> info;
    const auto present = session_.devices().present();
    if (std::find(present.begin(), present.end(), entry.id) != present.end())
        info = session_.service().findDevice(entry.id);
    if (!info)
        return finish(ProgramResult::NotFound, "did not appear on the network");
    if (!options_.all && !isServicedType(info->deviceType))
        return finish(ProgramResult::NotServiced,
                      std::string("a ") + productName(info->deviceType) + " (type code " +
                          std::to_string(info->deviceType) + "); --all acts on it anyway");
    if (options_.dryRun) {
        // The name only of a device that answers: one that does not would
        // keep the run waiting for a second time-out.
        const SerialResult before = session_.readSerial(entry.id);
        if (!before.ok)
            return finish(ProgramResult::NoAnswer,
                          "no answer to the serial number read; not written");
        row.before = before.serial;
        row.name = session_.readNames({entry.id}).front();
        if (before.serial == entry.serial)
            return finish(ProgramResult::AlreadySet, "holds this number already; not written");
        return finish(ProgramResult::WouldWrite, "not written (dry run)");
    }

    // The file's numbers were checked against each other; the devices' own
    // numbers are what the file changes.
    SerialWriteRequest request;
    request.id = entry.id;
    request.target = entry.serial;
    request.allowDuplicate = true;
    request.client = client_;
    request.operatorName = operatorName_;
    const SerialWriteReport report = session_.write(std::move(request));
    return programmedRow(entry, report, journalError_);
}

ProgramRow programmedRow(const PlannedSerial& entry, const SerialWriteReport& report,
                         std::string& journalError) {
    ProgramRow row;
    row.line = entry.line;
    row.id = entry.id;
    row.target = entry.serial;
    row.name = report.name;
    row.before = report.before;
    row.after = report.readBack;
    const bool stops = report.outcome == WriteOutcome::JournalUnwritable ||
                       report.outcome == WriteOutcome::Unrecorded ||
                       report.outcome == WriteOutcome::Failed;
    journalError = stops ? report.error : std::string();
    WriteJudgement judgement = judgeWrite(report);
    row.result = judgement.result;
    row.detail = std::move(judgement.detail);
    return row;
}

WriteJudgement judgeWrite(const SerialWriteReport& report) {
    switch (report.outcome) {
    case WriteOutcome::Verified:
        return {ProgramResult::Verified,
                report.reply == WriteReply::Accepted
                    ? "written and read back"
                    : "read back, although the write was not acknowledged"};
    case WriteOutcome::Unverified:
        return {ProgramResult::Unverified, "written, but the read-back was not answered"};
    case WriteOutcome::NoAnswer:
        return {ProgramResult::NoAnswer, report.readBack
                                             ? "no answer to the write; reads back the old number"
                                             : "no answer to the write or the read-back"};
    case WriteOutcome::Refused:
        return {ProgramResult::Refused, "the device did not take the number"};
    case WriteOutcome::Mismatch:
        return {ProgramResult::Mismatch,
                "reads back " + std::to_string(report.readBack.value_or(0)) + " after the write"};
    case WriteOutcome::AlreadySet:
        return {ProgramResult::AlreadySet, "holds this number already; not written"};
    case WriteOutcome::Duplicate: // a program run allows them: never its result
        return {ProgramResult::NoAnswer, "not written: another device holds the number"};
    case WriteOutcome::NotFound:
        return {ProgramResult::NotFound, "did not appear on the network"};
    case WriteOutcome::Unreadable:
        return {ProgramResult::NoAnswer, "no answer to the serial number read; not written"};
    case WriteOutcome::JournalUnwritable:
        return {ProgramResult::NoAnswer, "not written: the journal failed"};
    case WriteOutcome::Unrecorded: {
        SerialWriteReport done = report;
        done.outcome = writeOutcomeOf(*report.unrecorded);
        return judgeWrite(done);
    }
    case WriteOutcome::Failed:
        return {ProgramResult::NoAnswer, report.error};
    }
    return {ProgramResult::NoAnswer, report.error};
}

} // namespace Vornctl
