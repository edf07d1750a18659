#include "transport/Platform.h"

#include <winsock2.h> // also brings windows.h

namespace Network {

std::uint32_t tickCount() {
    return static_cast<std::uint32_t>(GetTickCount());
}

// Thread descriptions need a newer Windows than the tool supports.
void nameThisThread(const char*) {}

void releaseFreeMemory() {
    // The C runtime allocates from the process heap; compaction decommits its
    // free blocks where it can.
    HeapCompact(GetProcessHeap(), 0);
}

SocketLibrary::SocketLibrary() : started_(false) {
    WSADATA data;
    started_ = WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

SocketLibrary::~SocketLibrary() {
    if (started_)
        WSACleanup();
}

} // namespace Network
