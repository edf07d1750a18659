#include "DeviceSimulator.h"

#include "Message.h"
#include "Wire.h"

#include <boost/asio.hpp>

#include <atomic>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <utility>

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace VornSim {

namespace asio = boost::asio;
using udp = asio::ip::udp;
using Clock = std::chrono::steady_clock;

namespace {

// Offsets of the reply bodies a device writes.
constexpr std::size_t selectOffset = Vorn::MSG_SelectMe::select;
constexpr std::size_t ackStatusOffset = Vorn::Header::size;
constexpr std::size_t wrappedCountOffset = Vorn::Header::size;
constexpr std::uint16_t malformedShift = 1000;
constexpr std::int32_t ackRefused = 0;

std::string format(const char* pattern, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char* pattern, ...) {
    char text[512];
    va_list arguments;
    va_start(arguments, pattern);
    std::vsnprintf(text, sizeof text, pattern, arguments);
    va_end(arguments);
    return text;
}

std::string formatEndpoint(std::uint32_t address, std::uint16_t port) {
    return formatAddress(address) + ":" + std::to_string(port);
}

// A message of `size` bytes with the tool's own header (Message.h) and the
// sequence a device gives it: a reply echoes its request's, presence carries 0.
Vorn::Message deviceMessage(std::size_t size, std::uint64_t sourceId, std::uint64_t destinationId,
                            std::uint16_t sourceType, std::uint16_t destinationType,
                            std::uint16_t command, std::uint32_t sequence) {
    Vorn::Message message;
    Vorn::detail::buildHeader(message, size, sourceId, destinationId, sourceType, destinationType,
                              command);
    Wire::writeU32(message.data() + Vorn::Header::sequence, sequence);
    return message;
}

// The smallest size the tool accepts for each reply code.
std::size_t replyMinimum(std::uint16_t code) {
    switch (code) {
    case Vorn::Code::deviceConfigReply:
        return Vorn::deviceConfigReplyMinimum;
    case Vorn::Code::boardIdReply:
        return Vorn::boardIdReplyMinimum;
    default:
        return Vorn::acknowledgementMinimum;
    }
}

std::uint32_t toHost(const udp::endpoint& endpoint) {
    return endpoint.address().is_v4() ? endpoint.address().to_v4().to_uint() : 0;
}

// One socket per distinct device address, bound to (address, 0): devices
// send from their own address.
struct Sender {
    explicit Sender(asio::io_context& io) : socket(io) {}
    std::mutex mutex;   // serialises every call on `socket`
    udp::socket socket; // guarded by mutex
};

// A datagram ready to leave, with the report line to give when it does.
struct Outgoing {
    Sender* sender = nullptr;
    udp::endpoint to;
    std::shared_ptr<const std::vector<char>> bytes;
    std::uint32_t delayMs = 0;
    int copies = 1;
    std::uint64_t device = 0;
    std::optional<SimEvent> report;
};

struct Device {
    DeviceSetup setup;
    BoardRecord record{};
    std::optional<Faults> faults;
    std::optional<BoardRecord> lastWritten;
    std::optional<std::uint16_t> selectMark;
    std::map<std::uint16_t, std::uint64_t> counts;
    std::vector<char> lastRequest;
    std::uint64_t replies = 0;
    std::uint64_t presence = 0;
    std::uint32_t repliesToLose = 0;
    std::uint16_t loseCode = 0;
    bool holding = false;       // replies wait in `held` until released
    std::vector<Outgoing> held; // in the order they were made
    Sender* sender = nullptr;   // owned by the simulator, fixed after construction
};

SimulatorConfig validated(SimulatorConfig config) {
    if (config.threads < 1)
        throw std::invalid_argument("at least one I/O thread is needed");
    if (config.presenceInterval.count() <= 0)
        throw std::invalid_argument("the presence interval must be positive");
    if (!(config.faults.dropProbability >= 0.0 && config.faults.dropProbability <= 1.0))
        throw std::invalid_argument("the drop probability must lie between 0 and 1");
    boost::system::error_code error;
    asio::ip::make_address_v4(config.bindAddress, error);
    if (error)
        throw std::invalid_argument("bad bind address " + config.bindAddress);
    std::set<std::uint64_t> ids;
    for (const DeviceSetup& device : config.devices) {
        const std::string which = "device " + formatId(device.id);
        if (!ids.insert(device.id).second)
            throw std::invalid_argument(which + ": frame id used twice");
        const std::uint16_t type = device.typeWord & 0x3FFF;
        if (type == 6 || type == 1)
            throw std::invalid_argument(which + ": type word " + std::to_string(device.typeWord) +
                                        " is not a device type");
        if (device.name.size() >= Vorn::deviceNameCapacity ||
            device.name.find('\0') != std::string::npos)
            throw std::invalid_argument(which + ": the name must be at most 127 bytes, no NUL");
        asio::ip::make_address_v4(device.address, error);
        if (error)
            throw std::invalid_argument(which + ": bad address " + device.address);
    }
    return config;
}

void raiseFileLimit([[maybe_unused]] std::size_t sockets) {
#ifndef _WIN32
    // A thousand devices may need hundreds of sockets; take what the hard limit allows.
    const rlim_t needed = static_cast<rlim_t>(sockets) + 64;
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        limit.rlim_cur < needed) {
        limit.rlim_cur =
            limit.rlim_max == RLIM_INFINITY ? needed : std::min(needed, limit.rlim_max);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
#endif
}

} // namespace

BoardRecord defaultBoardRecord(std::uint64_t id, std::uint32_t serial) {
    BoardRecord record{};
    char* p = reinterpret_cast<char*>(record.data());
    Wire::writeFrameId(p, id);
    for (std::size_t i = 8; i < record.size(); ++i)
        record[i] = static_cast<unsigned char>((id & 0xFF) + 0x11 * i);
    Wire::writeU32(p + boardIdInRecord, serial);
    return record;
}

std::string formatId(std::uint64_t id) {
    return format("%08x:%08x", static_cast<unsigned>(id >> 32), static_cast<unsigned>(id));
}

std::string formatAddress(std::uint32_t address) {
    return format("%u.%u.%u.%u", address >> 24, (address >> 16) & 0xFF, (address >> 8) & 0xFF,
                  address & 0xFF);
}

std::string formatEvent(const SimEvent& e) {
    const std::string id = formatId(e.device);
    const std::string peer = formatEndpoint(e.address, e.port);
    switch (e.kind) {
    case EventKind::ToolHeard:
        return format("tool-heard address=%s port=%u", formatAddress(e.address).c_str(), e.port);
    case EventKind::ToolLost:
        return format("tool-lost address=%s port=%u", formatAddress(e.address).c_str(), e.port);
    case EventKind::Request:
        return format("request device=%s command=%u sequence=%u from=%s", id.c_str(), e.command,
                      e.sequence, peer.c_str());
    case EventKind::Dropped:
        return format("drop device=%s command=%u sequence=%u from=%s", id.c_str(), e.command,
                      e.sequence, peer.c_str());
    case EventKind::Ignored:
        return format("ignored destination=%s command=%u sequence=%u from=%s", id.c_str(),
                      e.command, e.sequence, peer.c_str());
    case EventKind::Reply:
        return format("reply device=%s command=%u sequence=%u to=%s bytes=%u", id.c_str(),
                      e.command, e.sequence, peer.c_str(), e.value);
    case EventKind::SerialSet:
        return format("serial-set device=%s value=%u", id.c_str(), e.value);
    case EventKind::WriteRefused:
        return format("write-refused device=%s value=%u", id.c_str(), e.value);
    case EventKind::Select:
        return format("select device=%s mark=%04x", id.c_str(), e.value);
    case EventKind::Unheard:
        return format("unheard device=%s command=%u sequence=%u from=%s", id.c_str(), e.command,
                      e.sequence, peer.c_str());
    case EventKind::ReplyLost:
        return format("reply-lost device=%s command=%u sequence=%u to=%s", id.c_str(), e.command,
                      e.sequence, peer.c_str());
    case EventKind::SendFailed:
        return format("send-failed device=%s command=%u to=%s", id.c_str(), e.command,
                      peer.c_str());
    }
    return "unknown";
}

std::string formatFaults(const Faults& f) {
    std::string text;
    auto add = [&text](const std::string& item) { text += (text.empty() ? "" : ",") + item; };
    if (f.dropProbability > 0)
        add(format("drop=%g", f.dropProbability));
    if (f.delayMs > 0)
        add("delay=" + std::to_string(f.delayMs));
    if (f.duplicate)
        add("duplicate");
    if (f.refuseWrites)
        add("refuse-writes");
    if (f.silent)
        add("silent");
    if (f.malformed)
        add("malformed");
    if (f.shortReplies)
        add("short");
    if (f.gone)
        add("gone");
    return text.empty() ? "none" : text;
}

std::string formatDevice(const DeviceReport& r) {
    std::string requests;
    for (const auto& [command, count] : r.requestCounts)
        requests +=
            (requests.empty() ? "" : ",") + std::to_string(command) + ":" + std::to_string(count);
    const std::string select = r.selectMark ? format("%04x", *r.selectMark) : "none";
    return format("device id=%s type=%u typeword=%u address=%s serial=%u mode=0x%x "
                  "changemarks=%d,%d wrapped=%d select=%s requests=%s replies=%llu "
                  "presence=%llu lose-replies=%u faults=%s name=",
                  formatId(r.setup.id).c_str(), r.setup.deviceType, r.setup.typeWord,
                  r.setup.address.c_str(), r.setup.serial, r.setup.modeFlags, r.setup.changeMarkA,
                  r.setup.changeMarkB, r.setup.wrapped ? 1 : 0, select.c_str(),
                  requests.empty() ? "none" : requests.c_str(),
                  static_cast<unsigned long long>(r.repliesSent),
                  static_cast<unsigned long long>(r.presenceSent), r.repliesToLose,
                  formatFaults(r.faults).c_str()) +
           r.setup.name;
}

std::string formatCounters(const Counters& c) {
    auto n = [](auto value) { return static_cast<unsigned long long>(value); };
    return format("counters datagrams=%llu tool-presence=%llu requests=%llu dropped=%llu "
                  "ignored=%llu replies=%llu presence=%llu send-errors=%llu tools=%llu",
                  n(c.datagrams), n(c.toolPresence), n(c.requests), n(c.dropped), n(c.ignored),
                  n(c.replies), n(c.presence), n(c.sendErrors), n(c.tools));
}

class DeviceSimulator::Impl {
public:
    Impl(SimulatorConfig config, EventSink sink);
    ~Impl() { stop(); }

    void stop();
    std::uint16_t port() const { return port_; }
    std::vector<std::uint64_t> deviceIds() const { return order_; }
    std::optional<DeviceReport> device(std::uint64_t id) const;
    Counters counters() const;
    Faults faults() const;
    void setFaults(const Faults& faults);
    bool setDeviceFaults(std::uint64_t id, const std::optional<Faults>& faults);
    bool updateDeviceFaults(std::uint64_t id, const std::function<void(Faults&)>& change);
    bool changeDevice(std::uint64_t id, const std::function<void(Device&)>& change);
    bool releaseReplies(std::uint64_t id);
    void hearTool(const udp::endpoint& tool);
    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) const;

private:
    void receive();
    void handleDatagram(std::size_t size, const udp::endpoint& from);
    void handleToolPresence(const udp::endpoint& from, std::vector<SimEvent>& events,
                            std::vector<Outgoing>& out);
    void act(Device& device, const Faults& faults, const char* data, std::size_t size,
             const udp::endpoint& from, std::vector<SimEvent>& events, std::vector<Outgoing>& out);
    void reply(Device& device, const Faults& faults, Vorn::Message message, const udp::endpoint& to,
               std::vector<SimEvent>& events, std::vector<Outgoing>& out);
    void countReply(Device& device, const Outgoing& outgoing); // under mutex_
    void schedulePresence();
    void presenceRound();
    void presenceTo(Device& device, const udp::endpoint& to, std::vector<Outgoing>& out);
    void transmit(const Outgoing& outgoing);
    void publish(const std::vector<SimEvent>& events);
    void notifyChanged();

    static SimEvent replyEvent(EventKind kind, const Device& device, const Vorn::Message& message,
                               const udp::endpoint& to);
    static Vorn::Message startReply(const Device& device, const char* request, std::uint16_t code,
                                    std::size_t size);
    static std::shared_ptr<const std::vector<char>> presenceMessage(const Device& device);

    const SimulatorConfig config_; // devices moved into devices_
    const EventSink sink_;

    // The I/O objects are destroyed before the context they belong to.
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    udp::socket receiver_; // used only by the receive chain once running
    std::uint16_t port_ = 0;
    udp::endpoint from_;                                       // receive chain only
    std::vector<char> buffer_;                                 // receive chain only
    asio::steady_timer presenceTimer_;                         // presence chain only
    std::map<std::uint32_t, std::unique_ptr<Sender>> senders_; // fixed after construction
    std::vector<std::uint64_t> order_;                         // fixed after construction

    mutable std::mutex mutex_;
    std::unordered_map<std::uint64_t, Device> devices_; // guarded by mutex_
    Faults faults_;                                     // guarded by mutex_
    std::map<udp::endpoint, Clock::time_point> tools_;  // guarded by mutex_
    std::mt19937_64 random_;                            // guarded by mutex_

    std::atomic<std::uint64_t> datagrams_{0};
    std::atomic<std::uint64_t> toolPresence_{0};
    std::atomic<std::uint64_t> requests_{0};
    std::atomic<std::uint64_t> dropped_{0};
    std::atomic<std::uint64_t> ignored_{0};
    std::atomic<std::uint64_t> replies_{0};
    std::atomic<std::uint64_t> presence_{0};
    std::atomic<std::uint64_t> sendErrors_{0};

    mutable std::mutex waitMutex_;
    mutable std::condition_variable changed_; // signalled with waitMutex_
    std::uint64_t generation_ = 0;            // guarded by waitMutex_

    std::mutex lifeMutex_;             // serialises stop()
    std::vector<std::thread> threads_; // guarded by lifeMutex_
};

DeviceSimulator::Impl::Impl(SimulatorConfig config, EventSink sink)
    : config_(validated(std::move(config))), sink_(std::move(sink)),
      work_(asio::make_work_guard(io_)), receiver_(io_), buffer_(65536), presenceTimer_(io_),
      faults_(config_.faults), random_(config_.seed) {
    std::set<std::uint32_t> addresses;
    for (const DeviceSetup& setup : config_.devices)
        addresses.insert(asio::ip::make_address_v4(setup.address).to_uint());
    raiseFileLimit(addresses.size() + 1);

    auto fail = [](const std::string& what, const boost::system::system_error& error) {
        return std::runtime_error(what + ": " + error.code().message());
    };
    const udp::endpoint listen(asio::ip::make_address_v4(config_.bindAddress), config_.port);
    try {
        receiver_.open(udp::v4());
        if (config_.reuseAddress)
            receiver_.set_option(udp::socket::reuse_address(true));
        // The system may grant less; a smaller buffer only loses more of a burst.
        boost::system::error_code ignored;
        receiver_.set_option(udp::socket::receive_buffer_size(config_.receiveBufferBytes), ignored);
        receiver_.bind(listen);
        port_ = receiver_.local_endpoint().port();
    } catch (const boost::system::system_error& error) {
        throw fail("cannot listen on " + config_.bindAddress + ":" + std::to_string(config_.port),
                   error);
    }
    for (const std::uint32_t address : addresses) {
        auto sender = std::make_unique<Sender>(io_);
        try {
            sender->socket.open(udp::v4());
            sender->socket.bind(udp::endpoint(asio::ip::address_v4(address), 0));
        } catch (const boost::system::system_error& error) {
            throw fail("cannot send from " + formatAddress(address), error);
        }
        senders_.emplace(address, std::move(sender));
    }
    for (const DeviceSetup& setup : config_.devices) {
        Device device;
        device.setup = setup;
        device.record =
            setup.boardRecord ? *setup.boardRecord : defaultBoardRecord(setup.id, setup.serial);
        Wire::writeU32(reinterpret_cast<char*>(device.record.data()) + boardIdInRecord,
                       setup.serial);
        device.sender = senders_.at(asio::ip::make_address_v4(setup.address).to_uint()).get();
        order_.push_back(setup.id);
        devices_.emplace(setup.id, std::move(device));
    }

    receive();
    schedulePresence();
    std::lock_guard lock(lifeMutex_);
    for (unsigned i = 0; i < config_.threads; ++i)
        threads_.emplace_back([this] { io_.run(); });
}

void DeviceSimulator::Impl::stop() {
    std::lock_guard lock(lifeMutex_);
    if (threads_.empty())
        return;
    work_.reset();
    io_.stop();
    for (std::thread& thread : threads_)
        thread.join();
    threads_.clear();
}

void DeviceSimulator::Impl::receive() {
    receiver_.async_receive_from(asio::buffer(buffer_), from_,
                                 [this](const boost::system::error_code& error, std::size_t size) {
                                     if (error == asio::error::operation_aborted ||
                                         error == asio::error::bad_descriptor)
                                         return;
                                     // Other errors (an oversized datagram on Windows) lose
                                     // one datagram; the receive goes on.
                                     if (!error)
                                         handleDatagram(size, from_);
                                     notifyChanged();
                                     receive();
                                 });
}

void DeviceSimulator::Impl::handleDatagram(std::size_t size, const udp::endpoint& from) {
    ++datagrams_;
    const char* data = buffer_.data();
    std::vector<SimEvent> events;
    std::vector<Outgoing> out;
    SimEvent seen;
    seen.address = toHost(from);
    seen.port = from.port();
    if (size < Vorn::Header::size) {
        ++ignored_;
        seen.kind = EventKind::Ignored;
        publish({seen});
        return;
    }
    seen.command = Wire::readU16(data + Vorn::Header::command);
    seen.sequence = Wire::readU32(data + Vorn::Header::sequence);
    seen.device = Wire::readFrameId(data + Vorn::Header::destinationId);

    if (seen.command == Vorn::Code::toolPresence) {
        ++toolPresence_;
        handleToolPresence(from, events, out);
    } else {
        std::lock_guard lock(mutex_);
        const auto found = devices_.find(seen.device);
        if (found == devices_.end()) {
            ++ignored_;
            seen.kind = EventKind::Ignored;
            events.push_back(seen);
        } else {
            Device& device = found->second;
            ++requests_;
            ++device.counts[seen.command];
            device.lastRequest.assign(data, data + size);
            seen.kind = EventKind::Request;
            events.push_back(seen);
            const Faults faults = device.faults.value_or(faults_);
            if (faults.gone) {
                seen.kind = EventKind::Unheard;
                events.push_back(seen);
            } else if (faults.dropProbability > 0 &&
                       std::uniform_real_distribution<double>(0.0, 1.0)(random_) <
                           faults.dropProbability) {
                ++dropped_;
                seen.kind = EventKind::Dropped;
                events.push_back(seen);
            } else {
                act(device, faults, data, size, from, events, out);
            }
        }
    }
    // Reported before the replies leave, so that a request line precedes its reply line.
    publish(events);
    for (const Outgoing& outgoing : out)
        transmit(outgoing);
}

void DeviceSimulator::Impl::handleToolPresence(const udp::endpoint& from,
                                               std::vector<SimEvent>& events,
                                               std::vector<Outgoing>& out) {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    auto [tool, isNew] = tools_.try_emplace(from, now);
    // A tool silent for longer than the lifetime counts as new even before the
    // next presence round has removed it.
    if (!isNew && now - tool->second > config_.toolLifetime)
        isNew = true;
    tool->second = now;
    if (!isNew)
        return;
    SimEvent heard;
    heard.kind = EventKind::ToolHeard;
    heard.address = toHost(from);
    heard.port = from.port();
    events.push_back(heard);
    // A new tool hears every device at once rather than on the next round.
    for (const std::uint64_t id : order_)
        presenceTo(devices_.at(id), from, out);
}

void DeviceSimulator::Impl::hearTool(const udp::endpoint& tool) {
    asio::post(io_, [this, tool] {
        std::vector<SimEvent> events;
        std::vector<Outgoing> out;
        handleToolPresence(tool, events, out);
        publish(events);
        for (const Outgoing& outgoing : out)
            transmit(outgoing);
        notifyChanged();
    });
}

void DeviceSimulator::Impl::act(Device& device, const Faults& faults, const char* data,
                                std::size_t size, const udp::endpoint& from,
                                std::vector<SimEvent>& events, std::vector<Outgoing>& out) {
    const std::uint16_t command = Wire::readU16(data + Vorn::Header::command);
    SimEvent done;
    done.device = device.setup.id;
    done.command = command;
    done.sequence = Wire::readU32(data + Vorn::Header::sequence);
    done.address = toHost(from);
    done.port = from.port();
    switch (command) {
    case Vorn::Code::getDeviceConfig: {
        Vorn::Message message =
            startReply(device, data, Vorn::Code::deviceConfigReply, Vorn::deviceConfigReplyMinimum);
        std::memcpy(message.data() + Vorn::deviceNameOffset, device.setup.name.data(),
                    device.setup.name.size());
        reply(device, faults, std::move(message), from, events, out);
        break;
    }
    case Vorn::Code::getBoardId: {
        Vorn::Message message =
            startReply(device, data, Vorn::Code::boardIdReply, Vorn::boardIdReplyMinimum);
        std::memcpy(message.data() + Vorn::BoardRecord::offset, device.record.data(),
                    device.record.size());
        reply(device, faults, std::move(message), from, events, out);
        break;
    }
    case Vorn::Code::setBoardId: {
        if (size < Vorn::MSG_SetBoardID::size) {
            done.kind = EventKind::Ignored;
            events.push_back(done);
            return;
        }
        BoardRecord received;
        std::memcpy(received.data(), data + Vorn::BoardRecord::offset, received.size());
        device.lastWritten = received;
        done.value = Wire::readU32(data + Vorn::BoardRecord::boardId);
        const bool accept = !faults.refuseWrites;
        if (accept) {
            device.setup.serial = done.value;
            Wire::writeU32(reinterpret_cast<char*>(device.record.data()) + boardIdInRecord,
                           done.value);
        }
        done.kind = accept ? EventKind::SerialSet : EventKind::WriteRefused;
        events.push_back(done);
        Vorn::Message message =
            startReply(device, data, Vorn::Code::acknowledgement, Vorn::acknowledgementMinimum);
        Wire::writeU32(message.data() + ackStatusOffset,
                       static_cast<std::uint32_t>(accept ? Vorn::ackAccepted : ackRefused));
        reply(device, faults, std::move(message), from, events, out);
        break;
    }
    case Vorn::Code::selectMe: {
        if (size < selectOffset + 2) {
            done.kind = EventKind::Ignored;
            events.push_back(done);
            return;
        }
        device.selectMark = Wire::readU16(data + selectOffset);
        done.kind = EventKind::Select;
        done.value = *device.selectMark;
        events.push_back(done);
        break;
    }
    default:
        // Counted above; a device answers nothing it does not know.
        break;
    }
}

Vorn::Message DeviceSimulator::Impl::startReply(const Device& device, const char* request,
                                                std::uint16_t code, std::size_t size) {
    return deviceMessage(size, device.setup.id, Wire::readFrameId(request + Vorn::Header::sourceId),
                         device.setup.typeWord, Wire::readU16(request + Vorn::Header::sourceType),
                         code, Wire::readU32(request + Vorn::Header::sequence));
}

SimEvent DeviceSimulator::Impl::replyEvent(EventKind kind, const Device& device,
                                           const Vorn::Message& message, const udp::endpoint& to) {
    SimEvent event;
    event.kind = kind;
    event.device = device.setup.id;
    event.command = message.command();
    event.sequence = message.sequence();
    event.address = toHost(to);
    event.port = to.port();
    return event;
}

void DeviceSimulator::Impl::reply(Device& device, const Faults& faults, Vorn::Message message,
                                  const udp::endpoint& to, std::vector<SimEvent>& events,
                                  std::vector<Outgoing>& out) {
    const std::uint16_t code = message.command();
    if (faults.shortReplies) {
        message.bytes.resize(replyMinimum(code) - 1);
        Wire::writeU16(message.data() + Vorn::Header::length,
                       static_cast<std::uint16_t>(message.size()));
    }
    if (faults.malformed)
        Wire::writeU16(message.data() + Vorn::Header::command,
                       static_cast<std::uint16_t>(code + malformedShift));
    Vorn::seal(message);
    if (faults.silent)
        return;
    if (device.repliesToLose > 0 && (device.loseCode == 0 || device.loseCode == code)) {
        --device.repliesToLose;
        events.push_back(replyEvent(EventKind::ReplyLost, device, message, to));
        return;
    }

    Outgoing outgoing;
    outgoing.sender = device.sender;
    outgoing.to = to;
    outgoing.delayMs = faults.delayMs;
    outgoing.copies = faults.duplicate ? 2 : 1;
    outgoing.device = device.setup.id;
    SimEvent report = replyEvent(EventKind::Reply, device, message, to);
    report.value = static_cast<std::uint32_t>(message.size());
    outgoing.report = report;
    outgoing.bytes = std::make_shared<const std::vector<char>>(std::move(message.bytes));
    if (device.holding) {
        device.held.push_back(std::move(outgoing));
        return;
    }
    countReply(device, outgoing);
    out.push_back(std::move(outgoing));
}

void DeviceSimulator::Impl::countReply(Device& device, const Outgoing& outgoing) {
    device.replies += static_cast<std::uint64_t>(outgoing.copies);
    replies_ += static_cast<std::uint64_t>(outgoing.copies);
}

bool DeviceSimulator::Impl::releaseReplies(std::uint64_t id) {
    std::vector<Outgoing> out;
    {
        std::lock_guard lock(mutex_);
        const auto found = devices_.find(id);
        if (found == devices_.end())
            return false;
        Device& device = found->second;
        device.holding = false;
        out.swap(device.held);
        for (const Outgoing& outgoing : out)
            countReply(device, outgoing);
    }
    for (const Outgoing& outgoing : out)
        transmit(outgoing);
    notifyChanged();
    return true;
}

std::shared_ptr<const std::vector<char>>
DeviceSimulator::Impl::presenceMessage(const Device& device) {
    using namespace Vorn::PresenceField;
    const DeviceSetup& setup = device.setup;
    // Presence carries sequence 0: it answers no request, and a non-zero value
    // could be taken for the reply to one.
    Vorn::Message presence =
        deviceMessage(Vorn::presenceSize, setup.id, Vorn::presenceDestinationId, setup.typeWord, 0,
                      Vorn::Code::presence, 0);
    char* p = presence.data();
    Wire::writeU32(p + changeMarkA, static_cast<std::uint32_t>(setup.changeMarkA));
    Wire::writeU32(p + changeMarkB, static_cast<std::uint32_t>(setup.changeMarkB));
    Wire::writeU32(p + modeFlags, setup.modeFlags);
    p[deviceType] = static_cast<char>(setup.deviceType);
    Wire::writeU32(p + stationTag, setup.stationTag[0]);
    Wire::writeU32(p + stationTag + 4, setup.stationTag[1]);
    Vorn::seal(presence);
    if (!setup.wrapped)
        return std::make_shared<const std::vector<char>>(std::move(presence.bytes));

    Vorn::Message wrapped =
        deviceMessage(Vorn::wrappedPresenceMinimum, setup.id, Vorn::presenceDestinationId,
                      setup.typeWord, 0, Vorn::Code::wrappedPresence, 0);
    char* w = wrapped.data();
    Wire::writeU16(w + wrappedCountOffset, 1);
    std::memcpy(w + Vorn::wrappedPresenceOffset, presence.data(), presence.size());
    Vorn::seal(wrapped);
    return std::make_shared<const std::vector<char>>(std::move(wrapped.bytes));
}

void DeviceSimulator::Impl::presenceTo(Device& device, const udp::endpoint& to,
                                       std::vector<Outgoing>& out) {
    const Faults faults = device.faults.value_or(faults_);
    if (faults.silent || faults.gone)
        return;
    Outgoing outgoing;
    outgoing.sender = device.sender;
    outgoing.to = to;
    outgoing.device = device.setup.id;
    outgoing.bytes = presenceMessage(device);
    ++device.presence;
    ++presence_;
    out.push_back(std::move(outgoing));
}

void DeviceSimulator::Impl::schedulePresence() {
    presenceTimer_.expires_after(config_.presenceInterval);
    presenceTimer_.async_wait([this](const boost::system::error_code& error) {
        if (error)
            return;
        presenceRound();
        notifyChanged();
        schedulePresence();
    });
}

void DeviceSimulator::Impl::presenceRound() {
    std::vector<SimEvent> events;
    std::vector<Outgoing> out;
    {
        std::lock_guard lock(mutex_);
        const auto now = Clock::now();
        for (auto tool = tools_.begin(); tool != tools_.end();) {
            if (now - tool->second <= config_.toolLifetime) {
                ++tool;
                continue;
            }
            SimEvent lost;
            lost.kind = EventKind::ToolLost;
            lost.address = toHost(tool->first);
            lost.port = tool->first.port();
            events.push_back(lost);
            tool = tools_.erase(tool);
        }
        for (const std::uint64_t id : order_) {
            Device& device = devices_.at(id);
            for (const auto& tool : tools_)
                presenceTo(device, tool.first, out);
        }
    }
    publish(events);
    for (const Outgoing& outgoing : out)
        transmit(outgoing);
}

void DeviceSimulator::Impl::transmit(const Outgoing& outgoing) {
    if (outgoing.delayMs > 0) {
        // The timer belongs to its own wait; other devices go on meanwhile.
        auto timer =
            std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds(outgoing.delayMs));
        timer->async_wait([this, timer, outgoing](const boost::system::error_code& error) {
            if (error)
                return;
            Outgoing now = outgoing;
            now.delayMs = 0;
            transmit(now);
        });
        return;
    }
    for (int copy = 0; copy < outgoing.copies; ++copy) {
        std::lock_guard lock(outgoing.sender->mutex);
        outgoing.sender->socket.async_send_to(
            asio::buffer(*outgoing.bytes), outgoing.to,
            [this, bytes = outgoing.bytes, to = outgoing.to,
             device = outgoing.device](const boost::system::error_code& error, std::size_t) {
                if (!error || error == asio::error::operation_aborted)
                    return;
                ++sendErrors_;
                SimEvent failed;
                failed.kind = EventKind::SendFailed;
                failed.device = device;
                failed.command = Wire::readU16(bytes->data() + Vorn::Header::command);
                failed.address = toHost(to);
                failed.port = to.port();
                publish({failed});
            });
    }
    if (outgoing.report)
        publish({*outgoing.report});
}

void DeviceSimulator::Impl::publish(const std::vector<SimEvent>& events) {
    if (!sink_)
        return;
    for (const SimEvent& event : events)
        sink_(event);
}

void DeviceSimulator::Impl::notifyChanged() {
    {
        std::lock_guard lock(waitMutex_);
        ++generation_;
    }
    changed_.notify_all();
}

std::optional<DeviceReport> DeviceSimulator::Impl::device(std::uint64_t id) const {
    std::lock_guard lock(mutex_);
    const auto found = devices_.find(id);
    if (found == devices_.end())
        return std::nullopt;
    const Device& device = found->second;
    DeviceReport report;
    report.setup = device.setup;
    report.boardRecord = device.record;
    report.faults = device.faults.value_or(faults_);
    report.ownFaults = device.faults.has_value();
    report.lastWrittenRecord = device.lastWritten;
    report.selectMark = device.selectMark;
    report.requestCounts = device.counts;
    report.lastRequest = device.lastRequest;
    report.repliesSent = device.replies;
    report.presenceSent = device.presence;
    report.repliesToLose = device.repliesToLose;
    report.loseCode = device.loseCode;
    report.holdingReplies = device.holding;
    report.repliesHeld = device.held.size();
    return report;
}

Counters DeviceSimulator::Impl::counters() const {
    Counters counters;
    counters.datagrams = datagrams_;
    counters.toolPresence = toolPresence_;
    counters.requests = requests_;
    counters.dropped = dropped_;
    counters.ignored = ignored_;
    counters.replies = replies_;
    counters.presence = presence_;
    counters.sendErrors = sendErrors_;
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    for (const auto& tool : tools_)
        if (now - tool.second <= config_.toolLifetime)
            ++counters.tools;
    return counters;
}

Faults DeviceSimulator::Impl::faults() const {
    std::lock_guard lock(mutex_);
    return faults_;
}

void DeviceSimulator::Impl::setFaults(const Faults& faults) {
    {
        std::lock_guard lock(mutex_);
        faults_ = faults;
    }
    notifyChanged();
}

bool DeviceSimulator::Impl::setDeviceFaults(std::uint64_t id, const std::optional<Faults>& faults) {
    return changeDevice(id, [&faults](Device& device) { device.faults = faults; });
}

bool DeviceSimulator::Impl::updateDeviceFaults(std::uint64_t id,
                                               const std::function<void(Faults&)>& change) {
    // The change runs outside the lock; a concurrent update of the same device
    // in between is overwritten.
    Faults faults;
    {
        std::lock_guard lock(mutex_);
        const auto found = devices_.find(id);
        if (found == devices_.end())
            return false;
        faults = found->second.faults.value_or(faults_);
    }
    change(faults);
    return setDeviceFaults(id, faults);
}

bool DeviceSimulator::Impl::changeDevice(std::uint64_t id,
                                         const std::function<void(Device&)>& change) {
    {
        std::lock_guard lock(mutex_);
        const auto found = devices_.find(id);
        if (found == devices_.end())
            return false;
        change(found->second);
    }
    notifyChanged();
    return true;
}

bool DeviceSimulator::Impl::waitUntil(const std::function<bool()>& condition,
                                      std::chrono::milliseconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    std::unique_lock lock(waitMutex_);
    for (;;) {
        const std::uint64_t seen = generation_;
        lock.unlock();
        if (condition())
            return true;
        lock.lock();
        if (!changed_.wait_until(lock, deadline, [&] { return generation_ != seen; })) {
            lock.unlock();
            return condition();
        }
    }
}

DeviceSimulator::DeviceSimulator(SimulatorConfig config, EventSink sink)
    : impl_(std::make_unique<Impl>(std::move(config), std::move(sink))) {}

DeviceSimulator::~DeviceSimulator() = default;

void DeviceSimulator::stop() {
    impl_->stop();
}

std::uint16_t DeviceSimulator::port() const {
    return impl_->port();
}

std::vector<std::uint64_t> DeviceSimulator::deviceIds() const {
    return impl_->deviceIds();
}

std::optional<DeviceReport> DeviceSimulator::device(std::uint64_t id) const {
    return impl_->device(id);
}

Counters DeviceSimulator::counters() const {
    return impl_->counters();
}

Faults DeviceSimulator::faults() const {
    return impl_->faults();
}

void DeviceSimulator::setFaults(const Faults& faults) {
    impl_->setFaults(faults);
}

bool DeviceSimulator::setDeviceFaults(std::uint64_t id, const std::optional<Faults>& faults) {
    return impl_->setDeviceFaults(id, faults);
}

bool DeviceSimulator::updateDeviceFaults(std::uint64_t id,
                                         const std::function<void(Faults&)>& change) {
    return impl_->updateDeviceFaults(id, change);
}

void DeviceSimulator::hearTool(std::uint32_t address, std::uint16_t port) {
    impl_->hearTool(udp::endpoint(asio::ip::address_v4(address), port));
}

bool DeviceSimulator::holdReplies(std::uint64_t id) {
    return impl_->changeDevice(id, [](Device& device) { device.holding = true; });
}

bool DeviceSimulator::releaseReplies(std::uint64_t id) {
    return impl_->releaseReplies(id);
}

bool DeviceSimulator::loseReplies(std::uint64_t id, std::uint32_t count, std::uint16_t code) {
    return impl_->changeDevice(id, [count, code](Device& device) {
        device.repliesToLose = count;
        device.loseCode = code;
    });
}

bool DeviceSimulator::setSerial(std::uint64_t id, std::uint32_t serial) {
    return impl_->changeDevice(id, [serial](Device& device) {
        device.setup.serial = serial;
        Wire::writeU32(reinterpret_cast<char*>(device.record.data()) + boardIdInRecord, serial);
    });
}

bool DeviceSimulator::setModeFlags(std::uint64_t id, std::uint32_t modeFlags) {
    return impl_->changeDevice(id,
                               [modeFlags](Device& device) { device.setup.modeFlags = modeFlags; });
}

bool DeviceSimulator::setChangeMarks(std::uint64_t id, std::int32_t a, std::int32_t b) {
    return impl_->changeDevice(id, [a, b](Device& device) {
        device.setup.changeMarkA = a;
        device.setup.changeMarkB = b;
    });
}

bool DeviceSimulator::waitUntil(const std::function<bool()>& condition,
                                std::chrono::milliseconds timeout) const {
    return impl_->waitUntil(condition, timeout);
}

} // namespace VornSim
