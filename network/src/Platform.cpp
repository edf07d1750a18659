#include "Platform.h"

#include <thread>

#ifdef _WIN32
#include <winsock2.h> // also brings windows.h
#else
#include <chrono>
#endif

namespace Platform {

std::uint32_t tickCount() {
#ifdef _WIN32
    return static_cast<std::uint32_t>(GetTickCount());
#else
    // steady_clock is CLOCK_MONOTONIC on Linux: time since boot, never set back.
    const auto sinceEpoch = std::chrono::steady_clock::now().time_since_epoch();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count();
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(ms));
#endif
}

unsigned logicalProcessorCount() {
    const unsigned count = std::thread::hardware_concurrency();
    return count == 0 ? 1u : count;
}

SocketLibrary::SocketLibrary() : started_(false) {
#ifdef _WIN32
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
#endif
}

SocketLibrary::~SocketLibrary() {
#ifdef _WIN32
    if (started_)
        WSACleanup();
#endif
}

} // namespace Platform
