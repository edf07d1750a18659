#include "transport/Platform.h"

#include <thread>

// The services that differ between systems are in Platform_posix.cpp and
// Platform_win32.cpp.

namespace Network {

unsigned logicalProcessorCount() {
    const unsigned count = std::thread::hardware_concurrency();
    return count == 0 ? 1u : count;
}

} // namespace Network
