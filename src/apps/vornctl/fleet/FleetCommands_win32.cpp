#include "FleetCommands.h"

#include "Commands.h"
#include "Reports.h"

namespace Vornctl::Fleet {

int runFleet(const Options&, Console& console) {
    reportError(console, "the fleet (reporting to a broker, the archive) is not available on "
                         "Windows: run vornctl fleet on Linux");
    return Exit::failed;
}

} // namespace Vornctl::Fleet
