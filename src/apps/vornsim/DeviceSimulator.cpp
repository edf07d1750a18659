#include "DeviceSimulator.h"

#include "DeviceWire.h"
#include "SimulatedRack.h"

#include <boost/asio.hpp>

#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace VornSim {

namespace asio = boost::asio;
using udp = asio::ip::udp;
using Clock = std::chrono::steady_clock;

namespace {

Endpoint toEndpoint(const udp::endpoint& endpoint) {
    return {endpoint.address().is_v4() ? endpoint.address().to_v4().to_uint() : 0, endpoint.port()};
}

udp::endpoint toUdp(const Endpoint& endpoint) {
    return {asio::ip::address_v4(endpoint.address), endpoint.port};
}

// One socket per distinct device address, bound to (address, 0): devices
// send from their own address.
struct Sender {
    explicit Sender(asio::io_context& io) : socket(io) {}
    std::mutex mutex;   // serialises every call on `socket`
    udp::socket socket; // guarded by mutex
};

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

// The rack's datagrams on real sockets, its clock the steady clock: a receive
// chain on the listening socket, a presence timer, and timers for delayed replies.
class DeviceSimulator::Impl {
public:
    Impl(SimulatorConfig config, EventSink sink);
    ~Impl() { stop(); }

    void stop();
    std::uint16_t port() const { return port_; }
    SimulatedRack& rack() { return rack_; }
    const SimulatedRack& rack() const { return rack_; }
    void hearTool(Endpoint tool);
    bool releaseReplies(std::uint64_t id);
    // Wakes waitUntil after a change to the rack; passes `result` on.
    bool changed(bool result) {
        notifyChanged();
        return result;
    }
    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) const;

private:
    void receive();
    void schedulePresence();
    // Reports the events, then sends the datagrams: a request line precedes its reply line.
    void deliver(const SimulatedRack::Output& output);
    void transmit(const Datagram& datagram);
    void publish(const std::vector<SimEvent>& events);
    void notifyChanged();

    SimulatedRack rack_;
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

    mutable std::mutex waitMutex_;
    mutable std::condition_variable changed_; // signalled with waitMutex_
    std::uint64_t generation_ = 0;            // guarded by waitMutex_

    std::mutex lifeMutex_;             // serialises stop()
    std::vector<std::thread> threads_; // guarded by lifeMutex_
};

DeviceSimulator::Impl::Impl(SimulatorConfig config, EventSink sink)
    : rack_(std::move(config)), sink_(std::move(sink)), work_(asio::make_work_guard(io_)),
      receiver_(io_), buffer_(65536), presenceTimer_(io_) {
    const SimulatorConfig& setup = rack_.config();
    const std::vector<std::uint32_t> addresses = rack_.deviceAddresses();
    raiseFileLimit(addresses.size() + 1);

    auto fail = [](const std::string& what, const boost::system::system_error& error) {
        return std::runtime_error(what + ": " + error.code().message());
    };
    const udp::endpoint listen(asio::ip::make_address_v4(setup.bindAddress), setup.port);
    try {
        receiver_.open(udp::v4());
        if (setup.reuseAddress)
            receiver_.set_option(udp::socket::reuse_address(true));
        // The system may grant less; a smaller buffer only loses more of a burst.
        boost::system::error_code ignored;
        receiver_.set_option(udp::socket::receive_buffer_size(setup.receiveBufferBytes), ignored);
        receiver_.bind(listen);
        port_ = receiver_.local_endpoint().port();
    } catch (const boost::system::system_error& error) {
        throw fail("cannot listen on " + setup.bindAddress + ":" + std::to_string(setup.port),
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

    receive();
    schedulePresence();
    std::lock_guard lock(lifeMutex_);
    for (unsigned i = 0; i < setup.threads; ++i)
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
    receiver_.async_receive_from(
        asio::buffer(buffer_), from_,
        [this](const boost::system::error_code& error, std::size_t size) {
            if (error == asio::error::operation_aborted || error == asio::error::bad_descriptor)
                return;
            // Other errors (an oversized datagram on Windows) lose one
            // datagram; the receive goes on.
            if (!error)
                deliver(rack_.receive(buffer_.data(), size, toEndpoint(from_), Clock::now()));
            notifyChanged();
            receive();
        });
}

void DeviceSimulator::Impl::hearTool(Endpoint tool) {
    asio::post(io_, [this, tool] {
        deliver(rack_.hearTool(tool, Clock::now()));
        notifyChanged();
    });
}

bool DeviceSimulator::Impl::releaseReplies(std::uint64_t id) {
    const auto released = rack_.releaseReplies(id);
    if (!released)
        return false;
    deliver(*released);
    notifyChanged();
    return true;
}

void DeviceSimulator::Impl::schedulePresence() {
    presenceTimer_.expires_after(rack_.config().presenceInterval);
    presenceTimer_.async_wait([this](const boost::system::error_code& error) {
        if (error)
            return;
        deliver(rack_.presenceRound(Clock::now()));
        notifyChanged();
        schedulePresence();
    });
}

void DeviceSimulator::Impl::deliver(const SimulatedRack::Output& output) {
    publish(output.events);
    for (const Datagram& datagram : output.datagrams)
        transmit(datagram);
}

void DeviceSimulator::Impl::transmit(const Datagram& datagram) {
    if (datagram.delayMs > 0) {
        // The timer belongs to its own wait; other devices go on meanwhile.
        auto timer =
            std::make_shared<asio::steady_timer>(io_, std::chrono::milliseconds(datagram.delayMs));
        timer->async_wait([this, timer, datagram](const boost::system::error_code& error) {
            if (error)
                return;
            Datagram now = datagram;
            now.delayMs = 0;
            transmit(now);
        });
        return;
    }
    Sender& sender = *senders_.at(datagram.from);
    for (int copy = 0; copy < datagram.copies; ++copy) {
        std::lock_guard lock(sender.mutex);
        sender.socket.async_send_to(
            asio::buffer(*datagram.bytes), toUdp(datagram.to),
            [this, bytes = datagram.bytes, to = datagram.to,
             device = datagram.device](const boost::system::error_code& error, std::size_t) {
                if (!error || error == asio::error::operation_aborted)
                    return;
                rack_.countSendError();
                SimEvent failed;
                failed.kind = EventKind::SendFailed;
                failed.device = device;
                failed.command = DeviceWire::readU16(bytes->data() + DeviceWire::commandAt);
                failed.address = to.address;
                failed.port = to.port;
                publish({failed});
            });
    }
    if (datagram.report)
        publish({*datagram.report});
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
    return impl_->rack().deviceIds();
}

std::optional<DeviceReport> DeviceSimulator::device(std::uint64_t id) const {
    return impl_->rack().device(id);
}

Counters DeviceSimulator::counters() const {
    return impl_->rack().counters(Clock::now());
}

Faults DeviceSimulator::faults() const {
    return impl_->rack().faults();
}

void DeviceSimulator::setFaults(const Faults& faults) {
    impl_->rack().setFaults(faults);
    impl_->changed(true);
}

bool DeviceSimulator::setDeviceFaults(std::uint64_t id, const std::optional<Faults>& faults) {
    return impl_->changed(impl_->rack().setDeviceFaults(id, faults));
}

bool DeviceSimulator::updateDeviceFaults(std::uint64_t id,
                                         const std::function<void(Faults&)>& change) {
    return impl_->changed(impl_->rack().updateDeviceFaults(id, change));
}

void DeviceSimulator::hearTool(std::uint32_t address, std::uint16_t port) {
    impl_->hearTool({address, port});
}

bool DeviceSimulator::holdReplies(std::uint64_t id) {
    return impl_->changed(
        impl_->rack().changeDevice(id, [](SimulatedDevice& device) { device.hold(); }));
}

bool DeviceSimulator::releaseReplies(std::uint64_t id) {
    return impl_->releaseReplies(id);
}

bool DeviceSimulator::loseReplies(std::uint64_t id, std::uint32_t count, std::uint16_t code) {
    return impl_->changed(impl_->rack().changeDevice(
        id, [count, code](SimulatedDevice& device) { device.loseReplies(count, code); }));
}

bool DeviceSimulator::setSerial(std::uint64_t id, std::uint32_t serial) {
    return impl_->changed(impl_->rack().changeDevice(
        id, [serial](SimulatedDevice& device) { device.setSerial(serial); }));
}

bool DeviceSimulator::setModeFlags(std::uint64_t id, std::uint32_t modeFlags) {
    return impl_->changed(impl_->rack().changeDevice(
        id, [modeFlags](SimulatedDevice& device) { device.setModeFlags(modeFlags); }));
}

bool DeviceSimulator::setChangeMarks(std::uint64_t id, std::int32_t a, std::int32_t b) {
    return impl_->changed(impl_->rack().changeDevice(
        id, [a, b](SimulatedDevice& device) { device.setChangeMarks(a, b); }));
}

bool DeviceSimulator::waitUntil(const std::function<bool()>& condition,
                                std::chrono::milliseconds timeout) const {
    return impl_->waitUntil(condition, timeout);
}

} // namespace VornSim
