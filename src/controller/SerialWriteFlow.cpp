#include "SerialWriteFlow.h"

#include "Exception.h"
#include "SerialJournal.h"
#include "SerialRecord.h"
#include "Texts.h"
#include "VornService.h"

#include <algorithm>
#include <iostream>
#include <stdexcept>

// Wakes the flow's thread when a request completes, the clock moves or the
// flow stops.
struct SerialWriteFlow::Signal {
    std::mutex mutex;
    std::condition_variable changed;
    bool stopping = false; // guarded by mutex
};

// One request's answer, filled in by its callback under the signal's mutex.
template <class T> struct SerialWriteFlow::Slot {
    bool done = false;   // guarded by the signal's mutex
    T value{};           // guarded by the signal's mutex
    bool unsent = false; // the request was not sent: the device is gone
};

namespace {

template <class T, class Signal> void fill(Signal& signal, T& slot, decltype(slot.value) value) {
    {
        std::lock_guard<std::mutex> lock(signal.mutex);
        slot.done = true;
        slot.value = std::move(value);
    }
    signal.changed.notify_all();
}

} // namespace

std::vector<std::string> silentWarnings(const SerialWriteReport& report) {
    std::vector<std::string> warnings;
    for (const std::uint64_t id : report.silent)
        warnings.push_back(formatDeviceId(id) + " did not answer within " +
                           std::to_string(duplicateCheckWait.count()) +
                           " s; its serial number is not known.");
    return warnings;
}

SerialWriteFlow::SerialWriteFlow(VornService& controller)
    : controller_(controller), signal_(std::make_shared<Signal>()) {
    worker_ = std::thread([this] { runQueue(); });
}

SerialWriteFlow::~SerialWriteFlow() {
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        ending_ = true;
        queue_.clear();
    }
    queueChanged_.notify_all();
    {
        std::lock_guard<std::mutex> lock(signal_->mutex);
        signal_->stopping = true;
    }
    signal_->changed.notify_all();
    worker_.join();
}

bool SerialWriteFlow::submit(SerialWriteRequest request, Done done, bool waitForRoom) {
    if (!request.journal)
        throw std::invalid_argument("a serial write without a journal");
    {
        std::unique_lock<std::mutex> lock(queueMutex_);
        if (waitForRoom)
            queueChanged_.wait(lock, [this] { return ending_ || queue_.size() < maxWaiting; });
        if (ending_ || queue_.size() >= maxWaiting)
            return false;
        queue_.emplace_back(std::move(request), std::move(done));
    }
    queueChanged_.notify_one();
    return true;
}

void SerialWriteFlow::readAhead(const std::vector<ListedDevice>& listed) {
    const std::uint64_t now = controller_.clocks().steadyNanoseconds();
    for (const ListedDevice& device : listed) {
        auto serial = readSerial(device.id);
        if (serial->unsent)
            continue;
        std::lock_guard<std::mutex> lock(aheadMutex_);
        ahead_[device.id] = {std::move(serial), now};
    }
}

std::shared_ptr<SerialWriteFlow::Slot<std::optional<std::uint32_t>>>
SerialWriteFlow::checkRead(std::uint64_t id) {
    const std::uint64_t now = controller_.clocks().steadyNanoseconds();
    {
        std::lock_guard<std::mutex> lock(aheadMutex_);
        const auto found = ahead_.find(id);
        if (found != ahead_.end()) {
            Ahead ahead = std::move(found->second);
            ahead_.erase(found); // one write's
            const auto valid =
                static_cast<std::uint64_t>(std::chrono::nanoseconds(readAheadValid).count());
            bool answered;
            {
                std::lock_guard<std::mutex> filled(signal_->mutex);
                answered = !ahead.serial->done || ahead.serial->value.has_value();
            }
            if (now - ahead.askedAt <= valid && answered)
                return ahead.serial; // in flight, or answered with a number
        }
    }
    return readSerial(id);
}

void SerialWriteFlow::clockMoved() {
    // Taking the mutex orders the wake after a waiter's look at the clock.
    { std::lock_guard<std::mutex> lock(signal_->mutex); }
    signal_->changed.notify_all();
}

void SerialWriteFlow::runQueue() {
    for (;;) {
        std::pair<SerialWriteRequest, Done> job;
        {
            std::unique_lock<std::mutex> lock(queueMutex_);
            queueChanged_.wait(lock, [this] { return ending_ || !queue_.empty(); });
            if (ending_)
                return;
            job = std::move(queue_.front());
            queue_.pop_front();
        }
        queueChanged_.notify_all(); // room for a writer that waits
        SerialWriteReport report;
        try {
            report = run(job.first);
        } catch (const std::exception& failure) {
            // A fault of the flow itself: the write is reported as not answered,
            // with the reason where the journal's would stand.
            report.id = job.first.id;
            report.target = job.first.target;
            report.journalError = std::string("the serial write failed: ") + failure.what();
        }
        {
            std::lock_guard<std::mutex> lock(signal_->mutex);
            if (signal_->stopping)
                return; // ended early: its outcome is unknown
        }
        if (job.second) {
            try {
                job.second(report);
            } catch (const std::exception& failure) {
                std::cerr << "Error: reporting a serial write failed: " << failure.what()
                          << std::endl;
            }
        }
    }
}

bool SerialWriteFlow::waitFor(const std::function<bool()>& ready,
                              std::optional<std::uint64_t> deadline) {
    const auto& now = controller_.clocks().steadyNanoseconds;
    std::unique_lock<std::mutex> lock(signal_->mutex);
    for (;;) {
        if (signal_->stopping)
            return false;
        if (ready())
            return true;
        if (!deadline) {
            signal_->changed.wait(lock);
            continue;
        }
        const std::uint64_t at = now();
        if (at >= *deadline)
            return true;
        signal_->changed.wait_for(lock, std::chrono::nanoseconds(*deadline - at));
    }
}

std::shared_ptr<SerialWriteFlow::Slot<std::optional<std::uint32_t>>>
SerialWriteFlow::readSerial(std::uint64_t id) {
    auto slot = std::make_shared<Slot<std::optional<std::uint32_t>>>();
    const bool sent = controller_.requestSerialNumber(
        id, [signal = signal_, slot](std::uint64_t, bool ok, unsigned serial) {
            fill(*signal, *slot, ok ? std::optional<std::uint32_t>(serial) : std::nullopt);
        });
    if (!sent) {
        slot->unsent = true;
        fill(*signal_, *slot, std::nullopt);
    }
    return slot;
}

std::shared_ptr<SerialWriteFlow::Slot<std::optional<std::string>>>
SerialWriteFlow::readName(std::uint64_t id) {
    auto slot = std::make_shared<Slot<std::optional<std::string>>>();
    const bool sent = controller_.requestDeviceName(
        id, [signal = signal_, slot](std::uint64_t, bool ok, std::string name) {
            fill(*signal, *slot, ok ? std::optional<std::string>(std::move(name)) : std::nullopt);
        });
    if (!sent)
        fill(*signal_, *slot, std::nullopt);
    return slot;
}

std::optional<std::string> SerialWriteFlow::nameOf(const ListedDevice& device) {
    if (device.name)
        return device.name;
    const auto name = readName(device.id);
    waitFor([&] { return name->done; });
    std::lock_guard<std::mutex> lock(signal_->mutex);
    return name->value;
}

SerialWriteReport SerialWriteFlow::run(const SerialWriteRequest& request) {
    SerialWriteReport report;
    report.id = request.id;
    report.target = request.target;
    report.name = request.name;
    std::optional<Vorn::FrameInfo> device;
    try {
        device = controller_.getDevice(request.id);
    } catch (const Vorn::UnknownFrameIdException&) {
        report.found = false;
        return report;
    }

    // The device's own number (and name) and the other devices' numbers, all
    // asked at once.
    const auto before = readSerial(request.id);
    const auto name = request.name ? nullptr : readName(request.id);
    std::vector<ListedDevice> others;
    std::vector<std::shared_ptr<Slot<std::optional<std::uint32_t>>>> serials;
    if (!request.allowDuplicate) {
        for (const ListedDevice& listed : request.listed) {
            const bool seen = std::any_of(others.begin(), others.end(),
                                          [&](const ListedDevice& d) { return d.id == listed.id; });
            if (listed.id != request.id && !seen)
                others.push_back(listed);
        }
        for (const ListedDevice& other : others)
            serials.push_back(checkRead(other.id));
    }
    const std::uint64_t checkEnds =
        controller_.clocks().steadyNanoseconds() +
        static_cast<std::uint64_t>(std::chrono::nanoseconds(duplicateCheckWait).count());
    const auto othersDone = [&] {
        return std::all_of(serials.begin(), serials.end(), [](const auto& s) { return s->done; });
    };
    // The device's own answers are waited for to the end (the engine ends
    // every request); the others' for the check's time at most.
    if (!waitFor([&] { return before->done && (!name || name->done); }))
        return report;
    if (!waitFor(othersDone, checkEnds))
        return report;

    std::vector<std::size_t> holders;
    {
        std::lock_guard<std::mutex> lock(signal_->mutex);
        report.before = before->value;
        if (name)
            report.name = name->value;
        for (std::size_t i = 0; i < serials.size(); ++i) {
            if (serials[i]->unsent)
                continue; // gone since it was listed
            if (!serials[i]->done || !serials[i]->value)
                report.silent.push_back(others[i].id);
            else if (*serials[i]->value == request.target)
                holders.push_back(i);
        }
    }
    if (!report.before)
        return report; // no-answer: nothing sent
    if (*report.before == request.target) {
        report.result = Journal::WriteResult::AlreadySet;
        return report;
    }
    if (!holders.empty()) {
        ListedDevice holder = others[holders.front()];
        holder.name = nameOf(holder);
        report.holder = std::move(holder);
        report.result = Journal::WriteResult::Duplicate;
        return report;
    }

    // Nothing is sent unless the journal holds the intent.
    std::string entry;
    try {
        entry = request.journal->recordIntent(SerialRecord::deviceFacts(*device, report.name),
                                              report.before, request.target, request.client,
                                              request.operatorName);
    } catch (const Journal::JournalError& failure) {
        report.journalError = failure.what();
        return report;
    }
    report.intentRecorded = true;

    auto written = std::make_shared<Slot<bool>>();
    report.sent = controller_.setSerialNumber(
        request.id, request.target,
        [signal = signal_, written](std::uint64_t, bool ok) { fill(*signal, *written, ok); });
    if (report.sent) {
        if (!waitFor([&] { return written->done; }))
            return report;
        {
            std::lock_guard<std::mutex> lock(signal_->mutex);
            report.acknowledged = written->value;
        }
        const auto after = readSerial(request.id);
        if (!waitFor([&] { return after->done; }))
            return report;
        std::lock_guard<std::mutex> lock(signal_->mutex);
        report.readBack = after->value;
    }
    report.result =
        Journal::classifyWrite(report.acknowledged, report.before, report.readBack, request.target);
    record(request, entry, report);
    return report;
}

void SerialWriteFlow::record(const SerialWriteRequest& request, const std::string& entry,
                             SerialWriteReport& report) {
    try {
        request.journal->recordOutcome(entry, formatDeviceId(request.id), report.result,
                                       report.acknowledged, report.readBack);
    } catch (const Journal::JournalError& failure) {
        report.journalError = std::string(failure.what()) + "; the outcome of the write to " +
                              formatDeviceId(request.id) + " (" +
                              Journal::writeResultName(report.result) + ") is not recorded.";
    }
}
