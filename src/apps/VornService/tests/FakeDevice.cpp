#include "FakeDevice.h"

#include "Wire.h"

#include <algorithm>
#include <cstring>

namespace asio = boost::asio;
using asio::ip::udp;

FakeDevice::FakeDevice(const std::string& bindAddress, Settings settings)
    : socket_(io_), settings_(std::move(settings)) {
    const udp::endpoint local(asio::ip::make_address_v4(bindAddress), devicePort);
    socket_.open(udp::v4());
    socket_.bind(local); // no address reuse: fail if anybody else has the port
    receive();
    thread_ = std::thread([this] { io_.run(); });
}

FakeDevice::~FakeDevice() {
    io_.stop();
    thread_.join();
}

void FakeDevice::receive() {
    socket_.async_receive_from(
        asio::buffer(buffer_), sender_,
        [this](const boost::system::error_code& error, std::size_t size) {
            if (error == asio::error::operation_aborted)
                return;
            if (!error)
                handle(std::vector<char>(buffer_.data(), buffer_.data() + size), sender_);
            receive();
        });
}

std::vector<char> FakeDevice::header(std::size_t size, std::uint16_t command,
                                     std::uint32_t sequence) const {
    std::vector<char> bytes(size, 0);
    Wire::writeFrameId(bytes.data(), settings_.id);
    Wire::writeU16(bytes.data() + 16, settings_.sourceType);
    Wire::writeU16(bytes.data() + 20, static_cast<std::uint16_t>(size));
    Wire::writeU16(bytes.data() + 22, command);
    Wire::writeU32(bytes.data() + 24, sequence);
    return bytes;
}

std::vector<char> FakeDevice::presence() const {
    auto bytes = header(100, 4, 0);
    bytes[72] = static_cast<char>(settings_.deviceType);
    return bytes;
}

void FakeDevice::handle(const std::vector<char>& datagram, const udp::endpoint& from) {
    if (datagram.size() < 28 || !from.address().is_loopback())
        return;
    const std::uint16_t command = Wire::readU16(datagram.data() + 22);
    const std::uint32_t sequence = Wire::readU32(datagram.data() + 24);
    std::vector<char> answer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        datagrams_.push_back(datagram);
        if (command == 9 && settings_.answerToolPresence) {
            answer = presence();
        } else if (settings_.answerRequests) {
            switch (command) {
            case 102: // configuration
                answer = header(512, 103, sequence);
                std::memcpy(answer.data() + 240, settings_.name.data(),
                            std::min<std::size_t>(settings_.name.size(), 127));
                break;
            case 814: // read board id
                answer = header(100, 813, sequence);
                std::copy(settings_.boardRecord.begin(), settings_.boardRecord.end(),
                          answer.begin() + 32);
                break;
            case 813: // write board record
                answer = header(36, 2, sequence);
                Wire::writeU32(answer.data() + 28, static_cast<std::uint32_t>(settings_.ackStatus));
                if (settings_.ackStatus == -2 && datagram.size() >= 96)
                    std::copy(datagram.begin() + 32, datagram.begin() + 96,
                              settings_.boardRecord.begin());
                break;
            default:
                break;
            }
        }
    }
    received_.notify_all();
    if (!answer.empty()) {
        boost::system::error_code ignored;
        socket_.send_to(asio::buffer(answer), from, 0, ignored);
    }
}

void FakeDevice::announce(std::uint16_t toolPort) {
    std::vector<char> bytes;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        bytes = presence();
    }
    // Sent from the I/O thread, the socket's only user.
    asio::post(io_, [this, bytes, toolPort] {
        boost::system::error_code ignored;
        socket_.send_to(asio::buffer(bytes),
                        udp::endpoint(asio::ip::address_v4::loopback(), toolPort), 0, ignored);
    });
}

void FakeDevice::setAnswering(bool answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_.answerRequests = answer;
}

void FakeDevice::setAckStatus(std::int32_t status) {
    std::lock_guard<std::mutex> lock(mutex_);
    settings_.ackStatus = status;
}

std::optional<std::vector<char>> FakeDevice::waitFor(std::uint16_t command, std::size_t index,
                                                     std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<std::vector<char>> found;
    received_.wait_for(lock, timeout, [&] {
        std::size_t seen = 0;
        for (const auto& datagram : datagrams_)
            if (Wire::readU16(datagram.data() + 22) == command && seen++ == index) {
                found = datagram;
                return true;
            }
        return false;
    });
    return found;
}

std::size_t FakeDevice::countOf(std::uint16_t command) {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(datagrams_.begin(), datagrams_.end(), [command](const auto& datagram) {
            return Wire::readU16(datagram.data() + 22) == command;
        }));
}

std::uint32_t FakeDevice::boardId() {
    std::lock_guard<std::mutex> lock(mutex_);
    return Wire::readU32(settings_.boardRecord.data() + (60 - 32));
}
