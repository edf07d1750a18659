#pragma once

#include "JournalRecord.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

class VornService;

namespace Journal {
class SerialJournal;
}

// How long the duplicate check waits for the other devices' numbers.
constexpr std::chrono::seconds duplicateCheckWait{2};
// How long a number read ahead of a write stands for the device's number.
constexpr std::chrono::seconds readAheadValid{10};

// A device listed beside the one written, as the front end knows it.
struct ListedDevice {
    std::uint64_t id = 0;
    std::optional<std::string> name; // none: not known (read when it holds the number)
};

// One serial number write as a front end asks for it.
struct SerialWriteRequest {
    std::uint64_t id = 0;
    std::uint32_t target = 0;
    std::optional<std::string> name; // the device's name as shown; none: read it
    // The devices listed now: the duplicate check reads their numbers (the
    // written device among them is passed over).
    std::vector<ListedDevice> listed;
    bool allowDuplicate = false;
    // Where the write is recorded; must outlive the write.
    Journal::SerialJournal* journal = nullptr;
    std::optional<std::string> client; // who asked from afar (serve); none: at the tool
    // The person recorded as the operator (serve: whose link asked); none: the journal's own.
    std::optional<std::string> operatorName;
};

// What became of a write. `result` is one of the journal's results:
// verified, already-set, refused, no-answer, unverified, mismatch, duplicate.
struct SerialWriteReport {
    std::uint64_t id = 0;
    std::uint32_t target = 0;
    Journal::WriteResult result = Journal::WriteResult::NoAnswer;
    bool found = true; // false: the controller does not know the device; nothing sent
    std::optional<std::string> name;
    std::optional<std::uint32_t> before; // none: the first read was not answered, nothing sent
    bool intentRecorded = false;         // the journal holds the intent
    bool sent = false;                   // the write request went out (after the intent)
    bool acknowledged = false;
    std::optional<std::uint32_t> readBack; // none: not answered (or not sent)
    // Duplicate: the listed device that holds the number.
    std::optional<ListedDevice> holder;
    // The listed devices that did not answer the duplicate check in time.
    std::vector<std::uint64_t> silent;
    // The journal failed: before the intent (nothing sent) or after the write
    // (the outcome is not recorded). Empty when it did not.
    std::string journalError;
};

// "ID did not answer within 2 s; its serial number is not known." for each silent device.
std::vector<std::string> silentWarnings(const SerialWriteReport& report);

// The one way this tool writes a serial number, for every front end: checks
// the number against the other listed devices (their numbers read in
// parallel; a device silent for 2 s is reported and not waited for), records
// the intent in the journal before anything is sent, writes, reads the number
// back and records the outcome. Writes run one at a time, in the order asked,
// on the flow's own thread: the caller never waits on the network.
//
// Time: the 2 s of the check run on the controller's steady clock; an owner
// that drives the clocks calls clockMoved() after moving them.
class SerialWriteFlow {
public:
    // The controller must outlive the flow.
    explicit SerialWriteFlow(VornService& controller);
    // Drops the writes not begun and ends the one in progress where it
    // waits (its outcome then stays unrecorded); their `done` is not called.
    ~SerialWriteFlow();
    SerialWriteFlow(const SerialWriteFlow&) = delete;
    SerialWriteFlow& operator=(const SerialWriteFlow&) = delete;

    static constexpr std::size_t maxWaiting = 16;

    // Queues the write; `done` is called once with its report, on the flow's
    // thread. False (nothing done) when maxWaiting writes wait already (with
    // `waitForRoom`: once there is room) or the flow is stopping. Throws
    // std::invalid_argument without a journal.
    using Done = std::function<void(const SerialWriteReport&)>;
    bool submit(SerialWriteRequest request, Done done, bool waitForRoom = false);

    // Starts reading the numbers of `listed` now, for a write about to be
    // asked (while the user confirms the number): a write asked within
    // readAheadValid checks against those answers (or waits for them) instead
    // of asking again. Any thread.
    void readAhead(const std::vector<ListedDevice>& listed);

    // Looks at the clock again now.
    void clockMoved();

private:
    struct Signal;
    template <class T> struct Slot;

    void runQueue();
    SerialWriteReport run(const SerialWriteRequest& request);
    // Waits until `ready` holds, or `deadline` (steady nanoseconds) passes;
    // false when the flow is stopping.
    bool waitFor(const std::function<bool()>& ready, std::optional<std::uint64_t> deadline = {});
    std::shared_ptr<Slot<std::optional<std::uint32_t>>> readSerial(std::uint64_t id);
    std::shared_ptr<Slot<std::optional<std::string>>> readName(std::uint64_t id);
    std::optional<std::string> nameOf(const ListedDevice& device);
    void record(const SerialWriteRequest& request, const std::string& entry,
                SerialWriteReport& report);

    VornService& controller_;
    // Shared with the request callbacks, which may come after the flow is gone.
    const std::shared_ptr<Signal> signal_;
    // Reads started by readAhead, with the steady time they were asked at.
    struct Ahead {
        std::shared_ptr<Slot<std::optional<std::uint32_t>>> serial;
        std::uint64_t askedAt = 0;
    };
    std::mutex aheadMutex_;
    std::unordered_map<std::uint64_t, Ahead> ahead_; // guarded by aheadMutex_
    // The read of `id` asked ahead and still good, or a new one.
    std::shared_ptr<Slot<std::optional<std::uint32_t>>> checkRead(std::uint64_t id);
    std::mutex queueMutex_;
    std::condition_variable queueChanged_;
    std::deque<std::pair<SerialWriteRequest, Done>> queue_; // guarded by queueMutex_
    bool ending_ = false;                                   // guarded by queueMutex_
    std::thread worker_;
};
