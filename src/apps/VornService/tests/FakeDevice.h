#pragma once

#include <boost/asio.hpp>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

// A scripted device on the loopback network: it listens on the device port,
// announces itself to a tool on request, answers the tool's requests and
// keeps every datagram it received for inspection.
class FakeDevice {
public:
    struct Settings {
        std::uint64_t id = 0x0001E240000012ABull;
        std::uint16_t sourceType = 3;
        std::uint8_t deviceType = 12;
        std::string name = "Stage left";
        std::array<char, 64> boardRecord{}; // bytes 32..95 of the board-id reply
        std::int32_t ackStatus = -2;
        bool answerRequests = true;
        bool answerToolPresence = false; // reply to a tool's presence broadcast
    };

    static constexpr std::uint16_t devicePort = 6017;

    // Binds `bindAddress` at the device port, exclusively. Throws
    // boost::system::system_error when the port is taken.
    FakeDevice(const std::string& bindAddress, Settings settings);
    ~FakeDevice();
    FakeDevice(const FakeDevice&) = delete;
    FakeDevice& operator=(const FakeDevice&) = delete;

    // Sends one presence message to the tool at 127.0.0.1:`toolPort`.
    void announce(std::uint16_t toolPort);
    void setAnswering(bool answer);
    void setAckStatus(std::int32_t status);

    // The `index`-th datagram received with `command` (counting from 0),
    // waiting up to `timeout` for it.
    std::optional<std::vector<char>> waitFor(std::uint16_t command, std::size_t index,
                                             std::chrono::milliseconds timeout);
    std::size_t countOf(std::uint16_t command);

    // The board id the device reports (bytes 60..63 of its record), updated by
    // accepted writes.
    std::uint32_t boardId();

private:
    void receive();
    void handle(const std::vector<char>& datagram, const boost::asio::ip::udp::endpoint& from);
    std::vector<char> presence() const; // called with mutex_ held
    std::vector<char> header(std::size_t size, std::uint16_t command,
                             std::uint32_t sequence) const; // called with mutex_ held

    boost::asio::io_context io_;
    boost::asio::ip::udp::socket socket_;
    boost::asio::ip::udp::endpoint sender_; // used by the I/O thread only
    std::array<char, 4096> buffer_{};       // used by the I/O thread only
    std::mutex mutex_;
    std::condition_variable received_;
    Settings settings_;                        // guarded by mutex_
    std::vector<std::vector<char>> datagrams_; // guarded by mutex_
    std::thread thread_;
};
