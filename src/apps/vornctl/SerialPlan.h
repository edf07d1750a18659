#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Vornctl {

// One device of a serial-number file and the number it is to hold.
struct PlannedSerial {
    std::size_t line = 0; // 1-based line of the file
    std::uint64_t id = 0;
    std::uint32_t serial = 0;
};

// A line of the file that cannot be used.
struct PlanError {
    std::size_t line = 0; // 0: the file as a whole
    std::string message;
};

struct SerialPlan {
    std::vector<PlannedSerial> entries; // in file order
    std::vector<PlanError> errors;      // in file order; the plan is usable only without any
};

// Reads a serial-number file: one device per line, "ID,SERIAL" (';' also
// separates), ID as vornctl writes it (0001e240:000012ab), SERIAL an unsigned
// 32-bit decimal. Blank lines and text after '#' are ignored; a field may be
// enclosed in double quotes; a line ending in "\r\n" is read like one ending
// in "\n"; a UTF-8 byte-order mark at the start is skipped. The first line with content may be a
// header: one whose fields hold letters and spaces only (such as "ID,SERIAL"). Every other line
// must hold a device, each device at most once, and each serial number at most once unless
// `allowDuplicateSerials`; a file without any device is an error. Every bad line is reported, not
// only the first.
SerialPlan parseSerialPlan(std::string_view text, bool allowDuplicateSerials = false);

// "line N: message" for each error (just the message for the file as a
// whole), one per line.
std::string formatPlanErrors(const std::vector<PlanError>& errors);

} // namespace Vornctl
