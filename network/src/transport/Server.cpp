#include "transport/Server.h"

#include "Exception.h"
#include "transport/Platform.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/system/error_code.hpp>

#include <algorithm>
#include <array>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace Network {

namespace {

namespace asio = boost::asio;
using asio::ip::udp;

const char* const sourceUnit = "src/Server";
constexpr int receiveBufferBytes = 4 * 1024 * 1024;

// One outstanding receive: the buffer is allocated once and carries every
// datagram this receive loop takes in. It is one byte longer than the largest
// datagram we deliver, so that an oversized datagram (which the system may
// truncate silently) shows up as a count above the limit and can be dropped.
struct ReceiveSlot {
    std::array<char, Server::maxDatagram + 1> buffer{};
    udp::endpoint sender;
};

// The bytes of one datagram on their way out. Kept for reuse once sent.
struct SendBuffer {
    std::vector<char> bytes; // keeps its capacity across reuses
};

[[noreturn]] void throwListenerError(int line, const boost::system::error_code& ec,
                                     const char* operation) {
    std::string message = operation ? std::string(operation) + ": " + ec.message() : ec.message();
    if (ec == asio::error::address_in_use)
        throw AddressInUseException(sourceUnit, line, std::move(message));
    throw CouldNotCreateListenerException(sourceUnit, line, std::move(message));
}

} // namespace

struct Server::Impl {
    Impl(Server& owner, std::uint16_t broadcastPort)
        : owner(owner), broadcastPort(broadcastPort), work(asio::make_work_guard(io)) {}

    ~Impl() { shutdown(); }

    void start(const std::string& localAddress, std::uint16_t bindPort);
    void shutdown();

    void startReceive(std::shared_ptr<ReceiveSlot> slot);
    void onReceived(const std::shared_ptr<ReceiveSlot>& slot, const boost::system::error_code& ec,
                    std::size_t count);
    bool send(const char* data, std::size_t length, const udp::endpoint& destination);
    // A buffer from the spares, or a new one.
    std::unique_ptr<SendBuffer> takeSendBuffer();
    void giveBackSendBuffer(std::unique_ptr<SendBuffer> buffer);

    Server& owner;
    const std::uint16_t broadcastPort;
    std::uint16_t boundPort = 0; // written once during construction
    std::size_t threadCount = 0; // written once during construction

    asio::io_context io;
    asio::executor_work_guard<asio::io_context::executor_type> work;

    // Guards socket, and serialises every call on the socket object (starting
    // a receive or a send, closing): Asio sockets are not safe for concurrent
    // calls from several threads. Completions never run under it.
    std::mutex socketMutex;
    std::shared_ptr<udp::socket> socket; // guarded by socketMutex; cleared when teardown begins

    std::vector<std::thread> ioThreads; // touched only by the owning thread (construct, destroy)

    // Send buffers whose datagram has left, for the next sends: a send in
    // steady traffic allocates nothing. Guarded by spareMutex.
    std::mutex spareMutex;
    std::vector<std::unique_ptr<SendBuffer>> spareSendBuffers;
};

void Server::Impl::start(const std::string& localAddress, std::uint16_t bindPort) {
    boost::system::error_code ec;
    const asio::ip::address_v4 address = asio::ip::make_address_v4(localAddress, ec);
    if (ec)
        throwListenerError(__LINE__, ec, nullptr);
    const udp::endpoint local(address, bindPort);

    auto newSocket = std::make_shared<udp::socket>(io);
    newSocket->open(local.protocol(), ec);
    if (ec)
        throwListenerError(__LINE__, ec, "open");
    newSocket->bind(local, ec);
    if (ec)
        throwListenerError(__LINE__, ec, "bind");
    newSocket->set_option(asio::socket_base::broadcast(true), ec);
    if (ec)
        throwListenerError(__LINE__, ec, "set_option");
    // Every device on the segment answers a heartbeat at once; the system's
    // default buffer overflows with a few hundred of them and the devices that
    // lose out appear only rounds later. The system may grant less, and a
    // refusal costs nothing but that, so it is not an error.
    boost::system::error_code ignored;
    newSocket->set_option(asio::socket_base::receive_buffer_size(receiveBufferBytes), ignored);
    // Sends are tried at once and never block the sending thread (see send()).
    newSocket->non_blocking(true, ec);
    if (ec)
        throwListenerError(__LINE__, ec, "non_blocking");
    const udp::endpoint bound = newSocket->local_endpoint(ec);
    if (ec)
        throwListenerError(__LINE__, ec, "bind");
    boundPort = bound.port();

    {
        std::lock_guard<std::mutex> lock(socketMutex);
        socket = std::move(newSocket);
    }

    threadCount = ioThreadCountFor(Network::logicalProcessorCount());
    ioThreads.reserve(threadCount);
    for (std::size_t i = 0; i < threadCount; ++i) {
        startReceive(std::make_shared<ReceiveSlot>());
        try {
            ioThreads.emplace_back([this] {
                Network::nameThisThread("vorn-io");
                io.run();
            });
        } catch (const std::system_error& error) {
            const boost::system::error_code code(error.code().value(),
                                                 boost::system::generic_category());
            throwListenerError(__LINE__, code, nullptr);
        }
    }
}

void Server::Impl::shutdown() {
    std::shared_ptr<udp::socket> closing;
    {
        std::lock_guard<std::mutex> lock(socketMutex);
        closing.swap(socket);
        if (closing) {
            // Cancels the outstanding receives; their completions find the
            // reference cleared and neither deliver nor re-arm.
            boost::system::error_code ignored;
            closing->close(ignored);
        }
    }
    io.stop();
    for (std::thread& thread : ioThreads)
        thread.join();
    ioThreads.clear();
    // The socket object goes before the I/O service (which releases any
    // completion that never ran).
    closing.reset();
}

void Server::Impl::startReceive(std::shared_ptr<ReceiveSlot> slot) {
    std::lock_guard<std::mutex> lock(socketMutex);
    if (!socket)
        return;
    ReceiveSlot& s = *slot;
    socket->async_receive_from(
        asio::buffer(s.buffer), s.sender,
        [this, slot = std::move(slot)](const boost::system::error_code& ec, std::size_t count) {
            onReceived(slot, ec, count);
        });
}

void Server::Impl::onReceived(const std::shared_ptr<ReceiveSlot>& slot,
                              const boost::system::error_code& ec, std::size_t count) {
    {
        std::lock_guard<std::mutex> lock(socketMutex);
        if (!socket)
            return; // teardown has begun: no delivery, no re-arm
    }
    if (!ec && count != 0 && count <= maxDatagram && slot->sender.address().is_v4()) {
        const char* data = slot->buffer.data();
        const std::uint32_t sender = slot->sender.address().to_v4().to_uint();
        owner.forEachHandler(
            [&](ServerEventHandler& handler) { handler.onReceive(data, count, sender); });
    }
    startReceive(slot);
}

bool Server::Impl::send(const char* data, std::size_t length, const udp::endpoint& destination) {
    std::lock_guard<std::mutex> lock(socketMutex);
    if (!socket)
        return false;
    // A datagram that fits the socket's send buffer leaves at once, on this
    // thread, with no copy and no completion to hand to an I/O thread. Only
    // when the buffer is full is it copied and sent asynchronously. As with
    // the asynchronous send, what happens to the datagram afterwards is not
    // the sender's concern: other errors are ignored alike.
    boost::system::error_code ec;
    socket->send_to(asio::buffer(data, length), destination, 0, ec);
    if (ec != asio::error::would_block && ec != asio::error::try_again)
        return true;
    std::unique_ptr<SendBuffer> buffer = takeSendBuffer();
    buffer->bytes.assign(data, data + length);
    const auto bytes = asio::buffer(buffer->bytes);
    // The completion runs on an I/O thread, which outlives every send; one that
    // never runs (teardown) frees its buffer with itself.
    socket->async_send_to(
        bytes, destination,
        [this, buffer = std::move(buffer)](const boost::system::error_code&, std::size_t) mutable {
            giveBackSendBuffer(std::move(buffer));
        });
    return true;
}

std::unique_ptr<SendBuffer> Server::Impl::takeSendBuffer() {
    {
        std::lock_guard<std::mutex> lock(spareMutex);
        if (!spareSendBuffers.empty()) {
            std::unique_ptr<SendBuffer> buffer = std::move(spareSendBuffers.back());
            spareSendBuffers.pop_back();
            return buffer;
        }
    }
    return std::make_unique<SendBuffer>();
}

void Server::Impl::giveBackSendBuffer(std::unique_ptr<SendBuffer> buffer) {
    // Enough for a burst of requests; beyond that they go back to the heap.
    constexpr std::size_t spareLimit = 64;
    std::lock_guard<std::mutex> lock(spareMutex);
    if (spareSendBuffers.size() < spareLimit)
        spareSendBuffers.push_back(std::move(buffer));
}

Server::Server(std::uint16_t broadcastPort, const std::string& localAddress, std::uint16_t bindPort)
    : impl_(std::make_unique<Impl>(*this, broadcastPort)) {
    // On failure impl_ is destroyed during unwinding, which stops and joins
    // whatever had been started.
    impl_->start(localAddress, bindPort);
}

Server::~Server() {
    // Runs while the handler sequence (the base) is still intact.
    impl_->shutdown();
}

bool Server::broadcast(const char* data, std::size_t length) {
    return impl_->send(data, length,
                       udp::endpoint(asio::ip::address_v4::broadcast(), impl_->broadcastPort));
}

bool Server::sendTo(const char* data, std::size_t length, std::uint32_t address,
                    std::uint16_t port) {
    return impl_->send(data, length, udp::endpoint(asio::ip::address_v4(address), port));
}

std::uint16_t Server::localPort() const {
    return impl_->boundPort;
}

std::size_t Server::ioThreadCount() const {
    return impl_->threadCount;
}

std::size_t Server::ioThreadCountFor(unsigned logicalProcessors) {
    return std::max<std::size_t>(logicalProcessors, 4);
}

} // namespace Network
