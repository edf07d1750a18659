#pragma once

#include "FoundDevice.h"

#include <chrono>
#include <vector>

class DeviceSession;
struct SerialWriteReport;

namespace Vornctl {

struct Console;
struct Options;

// The commands on the devices that print their results and return the exit
// status, each on a session started for it.

// serial set's table of a write's outcomes: prints what became of the write
// and returns the exit status.
int reportSerialWrite(Console& console, const SerialWriteReport& report);

// Starts the session's controller; false (after reporting) when it cannot start.
bool startSession(DeviceSession& session, Console& console);

// Discovers devices for `wait` (progress on the error stream) and returns
// those of the serviced products (every one with --all), by ID, names not
// read.
std::vector<FoundDevice> discover(DeviceSession& session, const Options& options, Console& console,
                                  std::chrono::milliseconds wait);

// vornctl list
int list(DeviceSession& session, const Options& options, Console& console);
// vornctl watch; the session publishes its events.
int watch(DeviceSession& session, const Options& options, Console& console);
// vornctl serial get
int serialGet(DeviceSession& session, const Options& options, Console& console);
// vornctl serial set; the session has a journal.
int serialSet(DeviceSession& session, const Options& options, Console& console);
// vornctl select, vornctl deselect
int select(DeviceSession& session, const Options& options, Console& console, bool selected);

} // namespace Vornctl
