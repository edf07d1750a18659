#pragma once

#include <cstdint>

// The few operating-system services the stack needs, with one contract on
// Windows and Linux.
namespace Network {

// Milliseconds since boot as a wrapping 32-bit counter (GetTickCount on
// Windows, a monotonic clock on Linux).
std::uint32_t tickCount();

// Names the calling thread for debuggers and per-thread tools (`top -H`,
// /proc/PID/task/*/comm) where the system keeps thread names; at most 15
// characters are kept. Nothing happens where it does not.
void nameThisThread(const char* name);

// Number of logical processors the operating system reports (at least 1).
unsigned logicalProcessorCount();

// Asks the allocator to give the memory it holds free back to the system (the
// C library's trim on Linux, the process heap's compaction on Windows): after a
// flood has passed, so that the process shrinks to what it uses again.
void releaseFreeMemory();

// Socket library start-up for the lifetime of the object (WSAStartup 2.2 and
// WSACleanup on Windows; nothing elsewhere). Instances nest.
class SocketLibrary {
public:
    SocketLibrary();
    ~SocketLibrary();
    SocketLibrary(const SocketLibrary&) = delete;
    SocketLibrary& operator=(const SocketLibrary&) = delete;

private:
    bool started_;
};

} // namespace Network
