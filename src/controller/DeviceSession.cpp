#include "DeviceSession.h"

#include "Texts.h"
#include "VornService.h"

#include <algorithm>
#include <condition_variable>
#include <future>
#include <mutex>
#include <set>
#include <stdexcept>

DeviceSession::DeviceSession(std::string interfaceAddress, Journal::SerialJournal* journal)
    : interfaceAddress_(std::move(interfaceAddress)), journal_(journal) {}

DeviceSession::~DeviceSession() {
    feed_.stop(); // what still waits there is nobody's
}

void DeviceSession::start() {
    service_ = std::make_unique<VornService>(interfaceAddress_);
    service_->deviceAddedHandlers.push_back([this](std::uint64_t id) { devices_.added(id); });
    service_->deviceRemovedHandlers.push_back([this](std::uint64_t id) { devices_.removed(id); });
    if (publishEvents_) {
        service_->deviceAddedHandlers.push_back(
            [this](std::uint64_t id) { pushEvent(DeviceEvent::Kind::Added, id); });
        service_->deviceChangedHandlers.push_back(
            [this](std::uint64_t id) { pushEvent(DeviceEvent::Kind::Changed, id); });
        service_->deviceRemovedHandlers.push_back(
            [this](std::uint64_t id) { pushEvent(DeviceEvent::Kind::Removed, id); });
    }
    service_->start();
    flow_ = std::make_unique<SerialWriteFlow>(*service_);
}

namespace {

// The answer of a request whose callback the controller calls once, or nothing
// when `deadline` passes first or the request ended uncalled (the controller stopped).
template <class T>
std::optional<T> valueBy(std::future<T>& answer, DeviceSession::Clock::time_point deadline) {
    if (answer.wait_until(deadline) != std::future_status::ready)
        return std::nullopt;
    try {
        return answer.get();
    } catch (const std::future_error&) {
        return std::nullopt;
    }
}

} // namespace

// On the frame list's worker: reads the device's record (still present for
// an addition or a change) and hands the event over.
void DeviceSession::pushEvent(DeviceEvent::Kind kind, std::uint64_t id) {
    DeviceEvent event;
    event.kind = kind;
    event.time = std::chrono::system_clock::now();
    event.id = id;
    if (kind != DeviceEvent::Kind::Removed) {
        const std::optional<Vorn::FrameInfo> info = service_->findDevice(id);
        if (!info)
            return; // gone again; its removal follows
        event.deviceType = info->deviceType;
        event.address = info->address;
        event.mode = info->mode;
    }
    feed_.push(std::move(event));
}

std::optional<Vorn::FrameInfo> DeviceSession::awaitDevice(std::uint64_t id,
                                                          Clock::time_point deadline) {
    if (!devices_.waitFor(id, deadline))
        return std::nullopt;
    return service_->findDevice(id); // none: gone again
}

std::vector<FoundDevice> DeviceSession::listedDevices(bool all) {
    std::vector<FoundDevice> rows;
    for (std::uint64_t id : devices_.present()) {
        const std::optional<Vorn::FrameInfo> info = service_->findDevice(id);
        if (info && (all || isServicedType(info->deviceType))) // none: gone again
            rows.push_back({id, std::nullopt, info->deviceType, info->address, info->mode});
    }
    std::sort(rows.begin(), rows.end(),
              [](const FoundDevice& a, const FoundDevice& b) { return a.id < b.id; });
    return rows;
}

void DeviceSession::relayEvents(const EventSink& sink, NameRounds rounds, bool all) {
    std::set<std::uint64_t> shown; // devices whose addition was handed on
    while (const auto event = feed_.next()) {
        using Kind = DeviceEvent::Kind;
        if (event->kind == Kind::Added) {
            if (!all && !isServicedType(event->deviceType))
                continue;
            shown.insert(event->id);
            service_->requestDeviceName(
                event->id,
                [this](std::uint64_t id, bool ok, std::string name) {
                    DeviceEvent named;
                    named.kind = ok ? Kind::Named : Kind::NameUnread;
                    named.time = std::chrono::system_clock::now();
                    named.id = id;
                    named.name = std::move(name);
                    feed_.push(std::move(named));
                },
                rounds);
        } else if (shown.count(event->id) == 0) {
            continue;
        } else if (event->kind == Kind::Removed) {
            shown.erase(event->id);
        }
        if (!sink(*event))
            break;
    }
    feed_.stop(); // nobody reads it any more
}

SerialResult DeviceSession::readSerial(std::uint64_t id) {
    const auto result = std::make_shared<std::promise<SerialResult>>();
    std::future<SerialResult> answer = result->get_future();
    const bool sent =
        service_->requestSerialNumber(id, [result](std::uint64_t, bool ok, unsigned serial) {
            result->set_value({ok, serial});
        });
    if (!sent)
        return {};
    return valueBy(answer, Clock::now() + requestDeadline).value_or(SerialResult{});
}

std::vector<std::optional<std::string>>
DeviceSession::readNames(const std::vector<std::uint64_t>& ids) {
    return collectNames(requestNames(ids));
}

DeviceSession::PendingNames DeviceSession::requestNames(const std::vector<std::uint64_t>& ids) {
    // Ask every device at once; the answers are collected afterwards.
    PendingNames pending;
    for (const std::uint64_t id : ids) {
        const auto name = std::make_shared<std::promise<std::optional<std::string>>>();
        std::future<std::optional<std::string>> answer = name->get_future();
        const bool sent =
            service_->requestDeviceName(id, [name](std::uint64_t, bool ok, std::string text) {
                name->set_value(ok ? std::optional<std::string>(std::move(text)) : std::nullopt);
            });
        pending.push_back(sent ? std::optional(std::move(answer)) : std::nullopt);
    }
    return pending;
}

std::vector<std::optional<std::string>> DeviceSession::collectNames(PendingNames pending) {
    const auto deadline = Clock::now() + requestDeadline;
    std::vector<std::optional<std::string>> names;
    for (auto& name : pending)
        names.push_back(name ? valueBy(*name, deadline).value_or(std::nullopt) : std::nullopt);
    return names;
}

std::vector<std::optional<std::uint32_t>>
DeviceSession::readSerials(const std::vector<std::uint64_t>& ids, Clock::time_point deadline,
                           const std::function<void(std::size_t)>& progress,
                           std::size_t outstanding) {
    // Shared with the completions, which may come after this returns.
    struct Reads {
        std::mutex mutex;
        std::condition_variable changed;
        std::vector<std::optional<std::uint32_t>> serials; // guarded by mutex
        std::size_t done = 0;                              // guarded by mutex
    };
    const auto reads = std::make_shared<Reads>();
    reads->serials.resize(ids.size());
    std::size_t sent = 0;
    std::size_t reported = 0;
    std::unique_lock lock(reads->mutex);
    while (reads->done < ids.size()) {
        if (reported != reads->done && progress) {
            reported = reads->done;
            lock.unlock();
            progress(reported);
            lock.lock();
        }
        if (sent < ids.size() && sent - reads->done < outstanding) {
            const std::size_t index = sent++;
            lock.unlock();
            const bool accepted = service_->requestSerialNumber(
                ids[index], [reads, index](std::uint64_t, bool ok, unsigned serial) {
                    {
                        const std::lock_guard done(reads->mutex);
                        if (ok)
                            reads->serials[index] = serial;
                        ++reads->done;
                    }
                    reads->changed.notify_all();
                });
            lock.lock();
            if (!accepted)
                ++reads->done;
            continue;
        }
        if (reads->changed.wait_until(lock, deadline) == std::cv_status::timeout &&
            Clock::now() >= deadline)
            break;
    }
    if (progress && reported != reads->done) {
        const std::size_t done = reads->done;
        lock.unlock();
        progress(done);
        lock.lock();
    }
    return reads->serials;
}

bool DeviceSession::submitWrite(SerialWriteRequest request, SerialWriteFlow::Done done,
                                bool waitForRoom) {
    if (!journal_)
        throw std::logic_error("a serial write without a journal");
    request.journal = journal_;
    return flow_->submit(std::move(request), std::move(done), waitForRoom);
}

SerialWriteReport DeviceSession::write(SerialWriteRequest request) {
    const auto report = std::make_shared<std::promise<SerialWriteReport>>();
    std::future<SerialWriteReport> done = report->get_future();
    // Behind the writes others asked for (serve), in turn.
    if (!submitWrite(
            std::move(request),
            [report](const SerialWriteReport& written) { report->set_value(written); }, true))
        throw std::runtime_error("serial writes are shutting down");
    // The flow always reports, unless it ends first (the promise is then broken):
    // the engine ends every request it sends.
    if (done.wait_until(Clock::now() + std::chrono::hours(1)) != std::future_status::ready)
        throw std::runtime_error("the serial write did not end within an hour");
    try {
        return done.get();
    } catch (const std::future_error&) {
        throw std::runtime_error("serial writes are shutting down");
    }
}

std::vector<ListedDevice> DeviceSession::settledListing(bool all) {
    // Before the list is taken, no new device for this long.
    constexpr std::chrono::milliseconds segmentSettles{300};
    devices_.waitUntilQuiet(segmentSettles, Clock::now() + duplicateCheckWait);
    std::vector<ListedDevice> listed;
    for (const FoundDevice& row : listedDevices(all))
        listed.push_back({row.id, std::nullopt});
    return listed;
}
