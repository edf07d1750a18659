#pragma once

#include "transport/EventSource.h"
#include "transport/Transport.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace Network {

// Receives every datagram that arrives at the server, on an I/O thread.
class ServerEventHandler {
public:
    // `data` is valid only during the call; `length` is 1..4096; `sender` is the
    // source IPv4 address in host byte order.
    virtual void onReceive(const char* data, std::size_t length, std::uint32_t sender) = 0;
    virtual ~ServerEventHandler() = default;
};

// The tool's UDP endpoint: one socket bound to a local IPv4 address, with
// max(logical processors, 4) I/O threads each keeping one receive outstanding.
// Datagrams longer than 4096 bytes and empty ones are never delivered.
//
// Owner's calling order: construct, addHandler, send from any thread;
// removeHandler, destroy the server, and only then destroy the handler (a
// delivery in progress may still reach a handler after removeHandler returns).
class Server : public EventSource<ServerEventHandler>, public Transport {
public:
    static constexpr std::size_t maxDatagram = 4096;

    // Throws AddressInUseException or CouldNotCreateListenerException with the
    // failing operation ("open: ", "bind: ", "set_option: ", "non_blocking: ") and the system's
    // text; an unparsable address gives the text alone.
    Server(std::uint16_t broadcastPort, const std::string& localAddress, std::uint16_t bindPort);
    ~Server() override;
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Sends the datagram to 255.255.255.255 at the broadcast port: on the
    // calling thread when the socket takes it at once, else from a copy,
    // asynchronously. Errors of the send itself are not reported. False once
    // teardown has begun.
    bool broadcast(const char* data, std::size_t length) override;
    // Same, to `address` (host byte order) and `port`.
    bool sendTo(const char* data, std::size_t length, std::uint32_t address,
                std::uint16_t port) override;

    // The bound local port (useful when the system chose it).
    std::uint16_t localPort() const;
    std::size_t ioThreadCount() const;

    // max(processors, 4): the number of I/O threads for a machine.
    static std::size_t ioThreadCountFor(unsigned logicalProcessors);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace Network
