#include "Reports.h"

#include "Commands.h"
#include "SerialWriteFlow.h"
#include "Texts.h"

#include <ostream>

namespace Vornctl {

void report(Console& console, const char* caption, const std::string& message) {
    console.err << caption << ": " << message << std::endl;
}

void reportError(Console& console, const std::string& message) {
    report(console, Text::errorCaption, message);
}

void reportWarnings(Console& console, const SerialWriteReport& report) {
    for (const std::string& warning : silentWarnings(report))
        console.err << "Warning: " << warning << std::endl;
}

} // namespace Vornctl
