#pragma once

#include "Output.h"
#include "SerialPlan.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace Vornctl {

class Session;
struct Options;

// What became of a write: the result and its detail for a person.
struct WriteJudgement {
    ProgramResult result = ProgramResult::NoAnswer;
    std::string detail;
};
// Judges a write of `target` to a device that held `before`: `acknowledged`
// tells whether the device acknowledged the write, `after` is the number read
// back (none: not answered).
WriteJudgement judgeWrite(std::uint32_t before, std::uint32_t target, bool acknowledged,
                          std::optional<std::uint32_t> after);

// Writes the serial numbers of a checked plan, one device after the other in
// file order: waits for the devices to appear, reads each one's number,
// skips a device that holds its number already, writes the others and reads
// each back. A device that did not take its number is reported and the run
// goes on with the next.
class SerialProgrammer {
public:
    SerialProgrammer(Session& session, const Options& options);

    // Called on the calling thread as each device is done, with its row and
    // its position in the plan (from 0).
    using Progress = std::function<void(const ProgramRow& row, std::size_t index)>;

    // One row per entry, in file order. Each write is recorded in the
    // session's journal; throws Journal::JournalError when that fails (after
    // the progress of the device concerned), and sends nothing more.
    std::vector<ProgramRow> run(const std::vector<PlannedSerial>& plan,
                                const Progress& progress = {});

private:
    ProgramRow program(const PlannedSerial& entry);
    void waitForDevices(const std::vector<PlannedSerial>& plan);

    Session& session_;
    const Options& options_;
    std::string journalError_; // the last write's outcome could not be recorded
};

} // namespace Vornctl
