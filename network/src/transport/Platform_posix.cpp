#include "transport/Platform.h"

#include <chrono>
#include <cstring>

#include <pthread.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace Network {

std::uint32_t tickCount() {
    // steady_clock is CLOCK_MONOTONIC on Linux: time since boot, never set back.
    const auto sinceEpoch = std::chrono::steady_clock::now().time_since_epoch();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count();
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ms));
}

void nameThisThread(const char* name) {
    // Linux keeps 15 characters and a terminator; a longer name is refused whole.
    char kept[16] = {};
    std::strncpy(kept, name, sizeof kept - 1);
    pthread_setname_np(pthread_self(), kept);
}

void releaseFreeMemory() {
#ifdef __GLIBC__
    // Every arena's free pages, not only the top of the main heap.
    malloc_trim(0);
#endif
}

// No socket library to start here.
SocketLibrary::SocketLibrary() : started_(false) {}

SocketLibrary::~SocketLibrary() = default;

} // namespace Network
