#pragma once

#include <string>

// Whether this process runs inside a network namespace that the test run created
// for itself (scripts/netns.sh), where broadcasting and binding the wildcard
// address reach nothing but the run's own programs.
//
// The variable VORN_TEST_NETNS=1 that scripts/netns.sh sets is required but
// never trusted alone, since a process can inherit it on the host network:
// - on Linux the process's network namespace must differ from that of process 1
//   (when that one can be read) and hold no interface besides loopback and the
//   run's veth pair vorn0/vorn1;
// - on Windows (under Wine) every adapter address must be loopback or one of
//   the veth pair's 192.0.2.1 and 192.0.2.2.
namespace TestNamespace {

// Empty inside such a namespace; otherwise why not, as one line for a skip message.
std::string problem();

} // namespace TestNamespace
