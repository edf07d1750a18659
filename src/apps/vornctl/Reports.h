#pragma once

#include <string>

struct SerialWriteReport;

namespace Vornctl {

struct Console;

// "Caption: message" on the error stream.
void report(Console& console, const char* caption, const std::string& message);
// "Error: message" on the error stream.
void reportError(Console& console, const std::string& message);
// The warnings of a write's duplicate check, each on the error stream.
void reportWarnings(Console& console, const SerialWriteReport& report);

} // namespace Vornctl
