#pragma once

#include <cstddef>
#include <cstdint>

namespace Network {

// Where the frame list and the heartbeat send their datagrams: the UDP server
// in the product, an in-memory link in tests. Callable from any thread.
class Transport {
public:
    virtual ~Transport() = default;

    // Copies the datagram and starts sending it to every device (the limited
    // broadcast address at the devices' port). False when it cannot be sent.
    virtual bool broadcast(const char* data, std::size_t length) = 0;
    // Same, to `address` (IPv4, host byte order) and `port`.
    virtual bool sendTo(const char* data, std::size_t length, std::uint32_t address,
                        std::uint16_t port) = 0;
};

} // namespace Network
