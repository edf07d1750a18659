#pragma once

#include "JournalFile.h"
#include "Output.h"
#include "SerialPlan.h"
#include "SerialWriteFlow.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

class DeviceSession;

namespace Vornctl {

struct Options;

// The program table's result and its detail for a person, for each outcome
// of a write (for one the journal did not record: what the device did).
struct WriteJudgement {
    ProgramResult result = ProgramResult::NoAnswer;
    std::string detail;
};
WriteJudgement judgeWrite(const SerialWriteReport& report);

// The row of a device the flow wrote (or did not); `journalError` gets the
// report's error when the journal (or the flow) failed: no further write may go.
ProgramRow programmedRow(const PlannedSerial& entry, const SerialWriteReport& report,
                         std::string& journalError);

// A run ended because the journal failed: the reason, and the rows done
// until then (each already recorded, the last one's outcome perhaps not).
class ProgramStopped : public Journal::JournalError {
public:
    ProgramStopped(const std::string& reason, std::vector<ProgramRow> rows)
        : Journal::JournalError(reason), rows(std::move(rows)) {}
    std::vector<ProgramRow> rows;
};

// Writes the serial numbers of a checked plan, one device after the other in
// file order: waits for the devices to appear, reads each one's number,
// skips a device that holds its number already, writes the others and reads
// each back. A device that did not take its number is reported and the run
// goes on with the next.
class SerialProgrammer {
public:
    // `client`: who asked from afar (serve), recorded with each write, and
    // `operatorName`, the person it is recorded for (none: the journal's own).
    SerialProgrammer(DeviceSession& session, const Options& options,
                     std::optional<std::string> client = std::nullopt,
                     std::optional<std::string> operatorName = std::nullopt);

    // Called on the calling thread as each device is done, with its row and
    // its position in the plan (from 0).
    using Progress = std::function<void(const ProgramRow& row, std::size_t index)>;

    // One row per entry, in file order. Each write is recorded in the
    // session's journal through the controller's write flow; throws
    // ProgramStopped when that fails (after the progress of the device
    // concerned), and sends nothing more.
    std::vector<ProgramRow> run(const std::vector<PlannedSerial>& plan,
                                const Progress& progress = {});

private:
    ProgramRow program(const PlannedSerial& entry);
    void waitForDevices(const std::vector<PlannedSerial>& plan);

    DeviceSession& session_;
    const Options& options_;
    const std::optional<std::string> client_;
    const std::optional<std::string> operatorName_;
    std::string journalError_; // the last write's outcome could not be recorded
};

} // namespace Vornctl
