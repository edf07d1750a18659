#pragma once

#include "JournalRecord.h"
#include "WriteReply.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
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

// What became of a write: the one value every front end maps to its own form
// (a message box, a line and an exit status, an HTTP status and a code).
enum class WriteOutcome {
    // The write was sent and its outcome recorded: the journal's results.
    Verified,   // read back as written
    Refused,    // the device refused the write and kept its number
    NoAnswer,   // the write was not answered; the read-back, if any, shows the old number
    Mismatch,   // reads back another number
    Unverified, // the write was acknowledged, the read-back not answered
    // Nothing sent (the journal's names for them too).
    AlreadySet, // the device held the number already
    Duplicate,  // another listed device holds the number (`holder`)
    // The write ended before it started: nothing sent, nothing recorded.
    NotFound,          // the controller does not know the device
    Unreadable,        // the device did not answer the first read of its number
    JournalUnwritable, // the journal took no intent (`error`)
    // The write went out, but the journal took no outcome (`error`;
    // `unrecorded` says what the device did).
    Unrecorded,
    // The flow itself failed (`error`); the device may hold either number.
    Failed,
};
inline constexpr int writeOutcomeCount = static_cast<int>(WriteOutcome::Failed) + 1;
// "verified", "refused", "no-answer", "mismatch", "unverified", "already-set",
// "duplicate" (the journal's names), "not-found", "unreadable",
// "journal-unwritable", "unrecorded", "failed".
const char* writeOutcomeName(WriteOutcome outcome);
// The outcome that is the journal's `result`.
WriteOutcome writeOutcomeOf(Journal::WriteResult result);

// The journal's result of a write of `target` to a device that held `before`,
// from the write's answer and the number read back afterwards (none: not
// answered). A write not answered is never a refusal, whatever reads back.
Journal::WriteResult classifyWrite(WriteReply reply, std::optional<std::uint32_t> before,
                                   std::optional<std::uint32_t> readBack, std::uint32_t target);

// What became of a write, and what the flow learnt on the way.
struct SerialWriteReport {
    std::uint64_t id = 0;
    std::uint32_t target = 0;
    WriteOutcome outcome = WriteOutcome::Failed;
    std::optional<std::string> name;
    std::optional<std::uint32_t> before; // none: the first read was not answered
    bool sent = false;                   // the write request went out (after the intent)
    WriteReply reply = WriteReply::Unanswered;
    std::optional<std::uint32_t> readBack; // none: not answered (or not sent)
    // Duplicate: the listed device that holds the number.
    std::optional<ListedDevice> holder;
    // The listed devices that did not answer the duplicate check in time.
    std::vector<std::uint64_t> silent;
    // Unrecorded: the result the journal lacks.
    std::optional<Journal::WriteResult> unrecorded;
    // JournalUnwritable, Unrecorded, Failed: why.
    std::string error;
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
    template <class T> struct Answer;
    struct Wake;
    struct Check;
    using SerialAnswer = Answer<std::optional<std::uint32_t>>;
    using NameAnswer = Answer<std::optional<std::string>>;

    void runQueue(std::stop_token stop);
    void deliver(Done& done, const SerialWriteReport& report);
    SerialWriteReport run(const SerialWriteRequest& request, std::stop_token stop);
    // The steps of a write, in their order; each false when the flow stops.
    Check startCheck(const SerialWriteRequest& request);
    bool awaitCheck(const Check& check, std::stop_token stop);
    std::vector<std::size_t> readCheck(const Check& check, const SerialWriteRequest& request,
                                       SerialWriteReport& report);
    bool writeAndReadBack(const SerialWriteRequest& request, SerialWriteReport& report,
                          std::stop_token stop);
    void record(const SerialWriteRequest& request, const std::string& entry,
                SerialWriteReport& report);
    // Waits until `ready` holds, or `deadline` (steady nanoseconds) passes;
    // false when the flow is stopping.
    bool waitFor(std::stop_token stop, const std::function<bool()>& ready,
                 std::optional<std::uint64_t> deadline = {});
    SerialAnswer readSerial(std::uint64_t id);
    NameAnswer readName(std::uint64_t id);
    std::optional<std::string> nameOf(const ListedDevice& device, std::stop_token stop);
    // The read of `id` asked ahead and still good, or a new one.
    SerialAnswer checkRead(std::uint64_t id);

    VornService& controller_;
    // Shared with the request callbacks, which may come after the flow is gone.
    const std::shared_ptr<Wake> wake_;
    // Reads started by readAhead, with the steady time they were asked at.
    struct Ahead;
    std::mutex aheadMutex_;
    std::unordered_map<std::uint64_t, std::shared_ptr<Ahead>> ahead_; // guarded by aheadMutex_
    std::mutex queueMutex_;
    std::condition_variable_any queueChanged_;
    std::deque<std::pair<SerialWriteRequest, Done>> queue_; // guarded by queueMutex_
    bool ending_ = false;                                   // guarded by queueMutex_
    std::jthread worker_;                                   // last: stopped first
};
