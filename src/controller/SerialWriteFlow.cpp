#include "SerialWriteFlow.h"

#include "SerialJournal.h"
#include "SerialRecord.h"
#include "Texts.h"
#include "VornService.h"

#include <algorithm>
#include <future>
#include <iostream>
#include <stdexcept>
#include <unordered_set>

// Wakes the flow's thread when a request completes, the clock moves or the
// flow stops. The waits look at the stop token in their predicates, and the stop
// notifies after it is requested: a condition variable's own stop-token waits
// register a stop callback, whose removal can hang with MinGW's GCC 12 (a lost
// wake-up of the callback's semaphore, seen under Wine).
struct SerialWriteFlow::Wake {
    std::mutex mutex; // taken around each notification, so none is lost
    std::condition_variable_any changed;

    void notify() {
        { std::lock_guard<std::mutex> lock(mutex); }
        changed.notify_all();
    }
};

// One request's answer, kept by its callback.
template <class T> struct SerialWriteFlow::Answer {
    std::shared_future<T> value;
    bool unsent = false; // the request was not sent: the device is gone

    bool ready() const {
        return value.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
    }
    // Nothing when the request ended without an answer (also when the
    // controller dropped it uncalled, as it does when it stops).
    T get() const {
        try {
            return value.get();
        } catch (const std::future_error&) {
            return T{};
        }
    }
};

struct SerialWriteFlow::Ahead {
    SerialAnswer serial;
    std::uint64_t askedAt = 0;
};

// What the reads before a write asked: the device's own number and name, and
// the other listed devices' numbers.
struct SerialWriteFlow::Check {
    SerialAnswer before;
    std::optional<NameAnswer> name; // none: the request named the device
    std::vector<ListedDevice> others;
    std::vector<SerialAnswer> serials; // the others', in their order
    std::uint64_t endsAt = 0;          // steady nanoseconds
};

namespace {

// A request whose callback the controller calls once: its answer as a future,
// and the callback's half, which wakes the flow when it keeps the answer.
template <class T, class Wake> struct Pending {
    std::shared_ptr<std::promise<T>> promise = std::make_shared<std::promise<T>>();
    std::shared_future<T> future = promise->get_future().share();

    static void keep(std::promise<T>& promise, Wake& wake, T value) {
        promise.set_value(std::move(value));
        wake.notify();
    }
};

constexpr const char* outcomeNames[] = {
    "verified",  "refused",   "no-answer",  "mismatch",           "unverified", "already-set",
    "duplicate", "not-found", "unreadable", "journal-unwritable", "unrecorded", "failed"};
static_assert(std::size(outcomeNames) == writeOutcomeCount);

} // namespace

WriteOutcome writeOutcomeOf(Journal::WriteResult result) {
    using R = Journal::WriteResult;
    switch (result) {
    case R::Verified:
        return WriteOutcome::Verified;
    case R::Refused:
        return WriteOutcome::Refused;
    case R::NoAnswer:
        return WriteOutcome::NoAnswer;
    case R::Mismatch:
        return WriteOutcome::Mismatch;
    case R::Unverified:
        return WriteOutcome::Unverified;
    case R::AlreadySet:
        return WriteOutcome::AlreadySet;
    case R::Duplicate:
        return WriteOutcome::Duplicate;
    }
    return WriteOutcome::Failed;
}

const char* writeOutcomeName(WriteOutcome outcome) {
    return outcomeNames[static_cast<int>(outcome)];
}

Journal::WriteResult classifyWrite(WriteReply reply, std::optional<std::uint32_t> before,
                                   std::optional<std::uint32_t> readBack, std::uint32_t target) {
    using R = Journal::WriteResult;
    if (readBack && *readBack == target)
        return R::Verified;
    if (!readBack)
        return reply == WriteReply::Accepted ? R::Unverified : R::NoAnswer;
    if (reply != WriteReply::Accepted && readBack == before)
        return reply == WriteReply::Refused ? R::Refused : R::NoAnswer;
    return R::Mismatch;
}

std::vector<std::string> silentWarnings(const SerialWriteReport& report) {
    std::vector<std::string> warnings;
    for (const std::uint64_t id : report.silent)
        warnings.push_back(formatDeviceId(id) + " did not answer within " +
                           std::to_string(duplicateCheckWait.count()) +
                           " s; its serial number is not known.");
    return warnings;
}

SerialWriteFlow::SerialWriteFlow(VornService& controller)
    : controller_(controller), wake_(std::make_shared<Wake>()) {
    worker_ = std::jthread([this](std::stop_token stop) { runQueue(stop); });
}

SerialWriteFlow::~SerialWriteFlow() {
    {
        std::lock_guard<std::mutex> lock(queueMutex_);
        ending_ = true;
        queue_.clear();
    }
    worker_.request_stop();
    { std::lock_guard<std::mutex> lock(queueMutex_); } // a waiter sees the stop or is woken
    queueChanged_.notify_all(); // the worker, and a writer waiting for room, give up
    wake_->notify();            // the worker wherever it waits for an answer
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
    queueChanged_.notify_all();
    return true;
}

void SerialWriteFlow::readAhead(const std::vector<ListedDevice>& listed) {
    const std::uint64_t now = controller_.clocks().steadyNanoseconds();
    for (const ListedDevice& device : listed) {
        SerialAnswer serial = readSerial(device.id);
        if (serial.unsent)
            continue;
        std::lock_guard<std::mutex> lock(aheadMutex_);
        ahead_[device.id] = std::make_shared<Ahead>(Ahead{std::move(serial), now});
    }
}

SerialWriteFlow::SerialAnswer SerialWriteFlow::checkRead(std::uint64_t id) {
    const std::uint64_t now = controller_.clocks().steadyNanoseconds();
    std::shared_ptr<Ahead> ahead;
    {
        std::lock_guard<std::mutex> lock(aheadMutex_);
        const auto found = ahead_.find(id);
        if (found != ahead_.end()) {
            ahead = std::move(found->second);
            ahead_.erase(found); // one write's
        }
    }
    const auto valid = static_cast<std::uint64_t>(std::chrono::nanoseconds(readAheadValid).count());
    // In flight, or answered with a number.
    if (ahead && now - ahead->askedAt <= valid &&
        (!ahead->serial.ready() || ahead->serial.get().has_value()))
        return ahead->serial;
    return readSerial(id);
}

void SerialWriteFlow::clockMoved() {
    wake_->notify();
}

void SerialWriteFlow::runQueue(std::stop_token stop) {
    for (;;) {
        std::pair<SerialWriteRequest, Done> job;
        {
            std::unique_lock<std::mutex> lock(queueMutex_);
            queueChanged_.wait(lock, [&] { return stop.stop_requested() || !queue_.empty(); });
            if (stop.stop_requested())
                return; // stopping
            job = std::move(queue_.front());
            queue_.pop_front();
        }
        queueChanged_.notify_all(); // room for a writer that waits
        SerialWriteReport result;
        try {
            result = run(job.first, stop);
        } catch (const std::exception& failure) {
            // A fault of the flow itself: reported as such, with its reason.
            result.id = job.first.id;
            result.target = job.first.target;
            result.outcome = WriteOutcome::Failed;
            result.error = std::string("the serial write failed: ") + failure.what();
        }
        if (stop.stop_requested())
            return; // ended early: its outcome is unknown
        deliver(job.second, result);
    }
}

void SerialWriteFlow::deliver(Done& done, const SerialWriteReport& result) {
    if (!done)
        return;
    try {
        done(result);
    } catch (const std::exception& failure) {
        std::cerr << "Error: reporting a serial write failed: " << failure.what() << std::endl;
    }
}

bool SerialWriteFlow::waitFor(std::stop_token stop, const std::function<bool()>& ready,
                              std::optional<std::uint64_t> deadline) {
    const auto& now = controller_.clocks().steadyNanoseconds;
    std::unique_lock<std::mutex> lock(wake_->mutex);
    while (!stop.stop_requested() && !ready()) {
        if (!deadline) {
            wake_->changed.wait(lock, [&] { return stop.stop_requested() || ready(); });
            continue;
        }
        // The deadline is on the controller's clock, which may be driven:
        // clockMoved() wakes the wait to look at it again.
        const std::uint64_t at = now();
        if (at >= *deadline)
            return true;
        wake_->changed.wait_for(lock, std::chrono::nanoseconds(*deadline - at),
                                [&] { return stop.stop_requested() || ready(); });
    }
    return !stop.stop_requested();
}

SerialWriteFlow::SerialAnswer SerialWriteFlow::readSerial(std::uint64_t id) {
    using Value = std::optional<std::uint32_t>;
    Pending<Value, Wake> pending;
    const bool sent = controller_.requestSerialNumber(
        id, [wake = wake_, promise = pending.promise](std::uint64_t, bool ok, unsigned serial) {
            Pending<Value, Wake>::keep(*promise, *wake, ok ? Value(serial) : std::nullopt);
        });
    if (!sent)
        pending.promise->set_value(std::nullopt);
    return {pending.future, !sent};
}

SerialWriteFlow::NameAnswer SerialWriteFlow::readName(std::uint64_t id) {
    using Value = std::optional<std::string>;
    Pending<Value, Wake> pending;
    const bool sent = controller_.requestDeviceName(
        id, [wake = wake_, promise = pending.promise](std::uint64_t, bool ok, std::string name) {
            Pending<Value, Wake>::keep(*promise, *wake, ok ? Value(std::move(name)) : std::nullopt);
        });
    if (!sent)
        pending.promise->set_value(std::nullopt);
    return {pending.future, !sent};
}

std::optional<std::string> SerialWriteFlow::nameOf(const ListedDevice& device,
                                                   std::stop_token stop) {
    if (device.name)
        return device.name;
    const NameAnswer name = readName(device.id);
    waitFor(stop, [&] { return name.ready(); });
    return name.ready() ? name.get() : std::nullopt;
}

SerialWriteReport SerialWriteFlow::run(const SerialWriteRequest& request, std::stop_token stop) {
    SerialWriteReport report;
    report.id = request.id;
    report.target = request.target;
    report.name = request.name;
    const auto ended = [&report](WriteOutcome outcome) {
        report.outcome = outcome;
        return report;
    };
    const std::optional<Vorn::FrameInfo> device = controller_.findDevice(request.id);
    if (!device)
        return ended(WriteOutcome::NotFound);

    const Check check = startCheck(request);
    if (!awaitCheck(check, stop))
        return report;
    const std::vector<std::size_t> holders = readCheck(check, request, report);
    if (!report.before)
        return ended(WriteOutcome::Unreadable);
    if (*report.before == request.target)
        return ended(WriteOutcome::AlreadySet);
    if (!holders.empty()) {
        ListedDevice holder = check.others[holders.front()];
        holder.name = nameOf(holder, stop);
        report.holder = std::move(holder);
        return ended(WriteOutcome::Duplicate);
    }

    // Nothing is sent unless the journal holds the intent.
    std::string entry;
    try {
        entry = request.journal->recordIntent(SerialRecord::deviceFacts(*device, report.name),
                                              report.before, request.target, request.client,
                                              request.operatorName);
    } catch (const Journal::JournalError& failure) {
        report.error = failure.what();
        return ended(WriteOutcome::JournalUnwritable);
    }
    if (!writeAndReadBack(request, report, stop))
        return report;
    record(request, entry, report);
    return report;
}

// The device's own number (and name) and the other devices' numbers, all
// asked at once.
SerialWriteFlow::Check SerialWriteFlow::startCheck(const SerialWriteRequest& request) {
    Check check;
    check.before = readSerial(request.id);
    if (!request.name)
        check.name = readName(request.id);
    if (!request.allowDuplicate) {
        // Each other device once; a set, not a search, since a flood can list
        // a hundred thousand.
        std::unordered_set<std::uint64_t> seen{request.id};
        for (const ListedDevice& listed : request.listed)
            if (seen.insert(listed.id).second)
                check.others.push_back(listed);
        for (const ListedDevice& other : check.others)
            check.serials.push_back(checkRead(other.id));
    }
    check.endsAt = controller_.clocks().steadyNanoseconds() +
                   static_cast<std::uint64_t>(std::chrono::nanoseconds(duplicateCheckWait).count());
    return check;
}

// The device's own answers are waited for to the end (the engine ends every
// request); the others' for the check's time at most.
bool SerialWriteFlow::awaitCheck(const Check& check, std::stop_token stop) {
    const auto ownDone = [&] {
        return check.before.ready() && (!check.name || check.name->ready());
    };
    const auto othersDone = [&] {
        return std::all_of(check.serials.begin(), check.serials.end(),
                           [](const SerialAnswer& s) { return s.ready(); });
    };
    return waitFor(stop, ownDone) && waitFor(stop, othersDone, check.endsAt);
}

// Fills in what the reads found; the indexes in `check.others` of the devices
// that hold the number written.
std::vector<std::size_t> SerialWriteFlow::readCheck(const Check& check,
                                                    const SerialWriteRequest& request,
                                                    SerialWriteReport& report) {
    report.before = check.before.get();
    if (check.name)
        report.name = check.name->get();
    std::vector<std::size_t> holders;
    for (std::size_t i = 0; i < check.serials.size(); ++i) {
        const SerialAnswer& serial = check.serials[i];
        if (serial.unsent)
            continue; // gone since it was listed
        const auto number = serial.ready() ? serial.get() : std::nullopt;
        if (!number)
            report.silent.push_back(check.others[i].id);
        else if (*number == request.target)
            holders.push_back(i);
    }
    return holders;
}

bool SerialWriteFlow::writeAndReadBack(const SerialWriteRequest& request, SerialWriteReport& report,
                                       std::stop_token stop) {
    Pending<WriteReply, Wake> written;
    report.sent = controller_.setSerialNumber(
        request.id, request.target,
        [wake = wake_, promise = written.promise](std::uint64_t, WriteReply reply) {
            Pending<WriteReply, Wake>::keep(*promise, *wake, reply);
        });
    if (!report.sent)
        return true; // the device left: nothing answers, nothing reads back
    const Answer<WriteReply> reply{written.future};
    if (!waitFor(stop, [&] { return reply.ready(); }))
        return false;
    report.reply = reply.get();
    const SerialAnswer after = readSerial(request.id);
    if (!waitFor(stop, [&] { return after.ready(); }))
        return false;
    report.readBack = after.get();
    return true;
}

void SerialWriteFlow::record(const SerialWriteRequest& request, const std::string& entry,
                             SerialWriteReport& report) {
    const Journal::WriteResult result =
        classifyWrite(report.reply, report.before, report.readBack, request.target);
    report.outcome = writeOutcomeOf(result);
    try {
        request.journal->recordOutcome(entry, formatDeviceId(request.id), result,
                                       report.reply == WriteReply::Accepted, report.readBack);
    } catch (const Journal::JournalError& failure) {
        report.outcome = WriteOutcome::Unrecorded;
        report.unrecorded = result;
        report.error = std::string(failure.what()) + "; the outcome of the write to " +
                       formatDeviceId(request.id) + " (" + Journal::writeResultName(result) +
                       ") is not recorded.";
    }
}
