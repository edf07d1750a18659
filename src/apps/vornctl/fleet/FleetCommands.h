#pragma once

namespace Vornctl {
struct Console;
struct Options;
} // namespace Vornctl

namespace Vornctl::Fleet {

// vornctl fleet (the archive, until stopped), fleet boxes|devices|journal
// (what the archive holds) and fleet forget BOX. Linux only: the Windows build
// says so. Returns the exit status.
int runFleet(const Options& options, Console& console);

} // namespace Vornctl::Fleet
