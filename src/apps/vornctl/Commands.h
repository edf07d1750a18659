#pragma once

#include "Arguments.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <iosfwd>

class DeviceSession;

namespace Vornctl {

class ReloadSignal;
class StopSignal;
struct Console;

// Runs vornctl serve on a started session (the program passes it in; the
// command-line library does not link the server).
using ServeFunction = std::function<int(DeviceSession&, const Options&, Console&)>;

// Exit statuses.
namespace Exit {
constexpr int success = 0;
constexpr int failed = 1; // the device refused or did not answer, or the network is unusable
constexpr int usage = 2;
// serve: the adapter's address changed or went away; started again, it takes the new one
constexpr int addressChanged = 3;
} // namespace Exit

// Where a command reads and writes: results on `out`, errors and progress on
// `err`, the second entry of a serial number from `in`.
struct Console {
    std::istream& in;
    std::ostream& out;
    std::ostream& err;
    bool interactive = false; // `err` is a terminal: progress is updated in place
    // Ends watch (Ctrl-C); without one, watch runs until the output fails.
    StopSignal* stop = nullptr;
    ServeFunction serve = {}; // serve; without one it is a usage error
    // Asks serve to read its files again (SIGHUP); without one nothing does.
    ReloadSignal* reload = nullptr;
    bool outTerminal = false; // `out` is a terminal: serve shows its link as a QR code too
    // vornctl access (the program passes it in with serve); without one it is a usage error.
    std::function<int(const Options&, Console&)> access = {};
};

// The journal file: --journal, else the system's default place (JournalPlace.h).
// Throws Journal::JournalError when the system names none.
std::filesystem::path journalPath(const Options& options);

// How often serve looks at its adapter's address, while waiting for one and while serving.
constexpr std::chrono::seconds adapterPollInterval{1};

// Runs one parsed command line and returns the exit status.
int run(const Options& options, Console& console);

} // namespace Vornctl
