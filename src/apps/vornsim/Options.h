#pragma once

#include "DeviceSimulator.h"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

// Command line of the vornsim program.
namespace VornSim {

// A command line that cannot be used; the program exits with status 2.
class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct ProgramOptions {
    SimulatorConfig config;
    bool quiet = false;        // no per-request lines
    bool stdinControl = false; // commands on stdin; the end of stdin ends the run
    bool help = false;
    bool version = false;
};

// Arguments without the program name. Throws UsageError.
ProgramOptions parseOptions(const std::vector<std::string>& arguments);

// "id=HEX,type=N,name=TEXT,address=A,serial=N[,mode=FLAGS][,typeword=N]
// [,wrapped=1][,changemark=N][,changemarkb=N][,tag=HEX]". Throws UsageError.
DeviceSetup parseDeviceSetup(const std::string& text);

// `count` devices with consecutive ids from `firstId`, names sim-0001...,
// types cycling 10..13, serials from 100001, addresses base, base+1, ...
// base+addressCount-1 in turn.
std::vector<DeviceSetup> generateDevices(std::size_t count, std::uint64_t firstId,
                                         const std::string& addressBase, unsigned addressCount);

// The few devices run when the command line names none.
std::vector<DeviceSetup> defaultDevices();

// Frame id as 16 hex digits, "0x..." or "%08x:%08x". Throws UsageError.
std::uint64_t parseId(const std::string& text);
// Decimal, or hexadecimal after "0x"; at most `maximum`. Throws UsageError.
std::uint64_t parseNumber(const std::string& text, std::uint64_t maximum, const std::string& what);
// A signed 32-bit value. Throws UsageError.
std::int32_t parseSigned(const std::string& text, const std::string& what);
// A probability between 0 and 1. Throws UsageError.
double parseProbability(const std::string& text);

std::string usage(const std::string& program);

} // namespace VornSim
