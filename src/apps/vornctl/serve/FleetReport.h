#pragma once

#include <memory>
#include <string>

namespace Vornctl {
struct Console;
struct Options;
} // namespace Vornctl

namespace Vornctl::Serve {

class ServeController;

// serve --report: the box reports to the fleet's broker while serve runs
// (Linux; the Windows build says reporting is not available there).
class FleetReport {
public:
    virtual ~FleetReport() = default;
    // The password file is read again (SIGHUP).
    virtual void reloadPassword() = 0;
};

// Starts reporting as the options say, with the devices of `controller` (which
// must outlive the report) and `adapter` named in the status; none without
// --report. Throws std::invalid_argument for options that cannot be used
// (the message says why: a usage error), std::runtime_error for a file or the
// broker's settings that cannot be used.
std::unique_ptr<FleetReport> startFleetReport(const Options& options, ServeController& controller,
                                              const std::string& adapter, Console& console);

} // namespace Vornctl::Serve
