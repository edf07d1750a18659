#pragma once

namespace Vornctl {
struct Console;
struct Options;
} // namespace Vornctl

namespace Vornctl::Serve {

// vornctl access add NAME, access list, access revoke NAME: the people of a
// serve's access file (Serve.h's accessFilePath). Returns the exit status.
int runAccessCommand(const Options& options, Console& console);

} // namespace Vornctl::Serve
