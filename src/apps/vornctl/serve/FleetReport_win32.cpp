#include "FleetReport.h"

#include "Arguments.h"

#include <stdexcept>

namespace Vornctl::Serve {

std::unique_ptr<FleetReport> startFleetReport(const Options& options, ServeController&,
                                              const std::string&, Console&) {
    if (options.report.empty())
        return nullptr;
    throw std::invalid_argument(
        "reporting to a fleet's broker (--report) is not available on Windows: run the box's "
        "vornctl serve on Linux");
}

} // namespace Vornctl::Serve
