// The serial write flow over the in-memory link on the virtual clock: every
// result it reports, the duplicate check's 2 s, a device that leaves during
// the write, a journal that fails, and writes that never overlap on the wire.

#include "JournalEntries.h"
#include "JournalFile.h"
#include "MemoryLink.h"
#include "SerialJournal.h"
#include "SerialWriteFlow.h"
#include "TemporaryFolder.h"
#include "TestSupport.h"
#include "Texts.h"
#include "VornService.h"

#include <gtest/gtest.h>

#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <thread>

using namespace TestSupport;
using Journal::WriteResult;

namespace {

// How a simulated device treats the requests it gets.
struct DeviceSetup {
    std::uint64_t id = 0;
    std::uint32_t serial = 0;
    std::string name;
    bool silent = false;           // answers nothing
    bool refuses = false;          // answers a write with a refusal, keeps its number
    bool keepsOld = false;         // acknowledges a write, keeps its number
    bool silentAfterWrite = false; // acknowledges a write, then answers nothing
    bool ignoresWrite = false;     // answers reads, not the write
    bool holdsReplies = false;     // replies wait until released
};

// One datagram on the wire or one reply, in the order they happened.
struct WireEvent {
    bool reply = false;
    std::uint64_t device = 0;
    std::uint16_t command = 0;
};

// Devices behind the memory link: each request sent to one of them is
// answered from a thread of the rack's own, as its setup says.
class Rack : public MemoryLink {
public:
    Rack(const VirtualClock& clock, Progress& progress)
        : MemoryLink(clock, progress), progress_(progress) {
        delivery_ = std::thread([this] { deliver(); });
    }
    ~Rack() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ending_ = true;
        }
        changed_.notify_all();
        delivery_.join();
    }

    void add(DeviceSetup setup, std::uint32_t address) {
        std::lock_guard<std::mutex> lock(mutex_);
        byAddress_[address] = setup.id;
        devices_[setup.id] = Device{setup, address, {}, false};
    }
    void attach(VornNetwork& engine) {
        std::lock_guard<std::mutex> lock(mutex_);
        engine_ = &engine;
    }
    // Delivers nothing more; returns once no delivery is under way.
    void detach() {
        std::unique_lock<std::mutex> lock(mutex_);
        engine_ = nullptr;
        changed_.wait(lock, [this] { return !delivering_; });
    }
    // Announces every device (all present, or all but `absent`).
    void announce(std::optional<std::uint64_t> absent = std::nullopt) {
        std::vector<std::pair<std::vector<char>, std::uint32_t>> presences;
        VornNetwork* engine;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            engine = engine_;
            for (const auto& [id, device] : devices_)
                if (id != absent)
                    presences.emplace_back(presence({.id = id}), device.address);
        }
        for (const auto& [bytes, address] : presences)
            engine->frameList().onReceive(bytes.data(), bytes.size(), address);
    }
    // Lets the held replies of `id` go, and those that come later.
    void release(std::uint64_t id) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            devices_[id].setup.holdsReplies = false;
            for (auto& held : devices_[id].held)
                outgoing_.push_back(std::move(held));
            devices_[id].held.clear();
        }
        changed_.notify_all();
    }
    std::uint32_t serialOf(std::uint64_t id) {
        std::lock_guard<std::mutex> lock(mutex_);
        return devices_[id].setup.serial;
    }
    std::vector<WireEvent> events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    std::size_t sentTo(std::uint64_t id, std::uint16_t command) {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<std::size_t>(
            std::count_if(events_.begin(), events_.end(), [&](const WireEvent& e) {
                return !e.reply && e.device == id && e.command == command;
            }));
    }
    std::size_t repliesFrom(std::uint64_t id) {
        std::lock_guard<std::mutex> lock(mutex_);
        return static_cast<std::size_t>(
            std::count_if(events_.begin(), events_.end(),
                          [&](const WireEvent& e) { return e.reply && e.device == id; }));
    }
    // Nothing waits to be delivered, apart from held replies.
    bool quiet() {
        std::lock_guard<std::mutex> lock(mutex_);
        return outgoing_.empty() && !delivering_;
    }

    bool sendTo(const char* data, std::size_t length, std::uint32_t address,
                std::uint16_t port) override {
        const bool sent = MemoryLink::sendTo(data, length, address, port);
        if (sent)
            answer(std::vector<char>(data, data + length), address);
        return sent;
    }

private:
    struct Device {
        DeviceSetup setup;
        std::uint32_t address = 0;
        std::vector<std::pair<std::vector<char>, std::uint32_t>> held;
        bool wrote = false;
    };

    void answer(const std::vector<char>& request, std::uint32_t address) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            const auto found = byAddress_.find(address);
            if (found == byAddress_.end())
                return;
            Device& device = devices_[found->second];
            const std::uint16_t command =
                Vorn::Wire::readU16(request.data() + Vorn::Header::command);
            const std::uint32_t sequence =
                Vorn::Wire::readU32(request.data() + Vorn::Header::sequence);
            events_.push_back({false, device.setup.id, command});
            const DeviceSetup& s = device.setup;
            std::vector<char> reply;
            if (s.silent || (s.silentAfterWrite && device.wrote))
                return;
            if (command == Vorn::Code::getBoardId) {
                reply =
                    datagram(Vorn::boardIdReplyMinimum, s.id, Vorn::Code::boardIdReply, sequence);
                Vorn::Wire::writeU32(reply.data() + Vorn::BoardRecord::boardId, s.serial);
            } else if (command == Vorn::Code::setBoardId) {
                if (s.ignoresWrite)
                    return;
                const bool takes = !s.refuses && !s.keepsOld;
                if (takes)
                    device.setup.serial =
                        Vorn::Wire::readU32(request.data() + Vorn::BoardRecord::boardId);
                device.wrote = true;
                reply = datagram(Vorn::acknowledgementMinimum, s.id, Vorn::Code::acknowledgement,
                                 sequence);
                Vorn::Wire::writeU32(reply.data() + Vorn::Header::size,
                                     static_cast<std::uint32_t>(s.refuses ? 0 : Vorn::ackAccepted));
            } else if (command == Vorn::Code::getDeviceConfig) {
                reply = datagram(Vorn::deviceConfigReplyMinimum, s.id,
                                 Vorn::Code::deviceConfigReply, sequence);
                std::memcpy(reply.data() + Vorn::deviceNameOffset, s.name.c_str(),
                            s.name.size() + 1);
            } else {
                return; // selection marks are not answered
            }
            if (s.holdsReplies)
                device.held.emplace_back(std::move(reply), address);
            else
                outgoing_.emplace_back(std::move(reply), address);
        }
        changed_.notify_all();
    }

    void deliver() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return ending_ || !outgoing_.empty(); });
            if (ending_)
                return;
            auto [bytes, address] = std::move(outgoing_.front());
            outgoing_.pop_front();
            if (!engine_)
                continue;
            delivering_ = true;
            events_.push_back({true, devices_[byAddress_[address]].setup.id,
                               Vorn::Wire::readU16(bytes.data() + Vorn::Header::command)});
            VornNetwork* engine = engine_;
            lock.unlock();
            engine->frameList().onReceive(bytes.data(), bytes.size(), address);
            progress_.bump();
            lock.lock();
            delivering_ = false;
            changed_.notify_all();
        }
    }

    Progress& progress_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::map<std::uint64_t, Device> devices_;                          // guarded by mutex_
    std::map<std::uint32_t, std::uint64_t> byAddress_;                 // guarded by mutex_
    std::deque<std::pair<std::vector<char>, std::uint32_t>> outgoing_; // guarded by mutex_
    std::vector<WireEvent> events_;                                    // guarded by mutex_
    VornNetwork* engine_ = nullptr;                                    // guarded by mutex_
    bool delivering_ = false;                                          // guarded by mutex_
    bool ending_ = false;                                              // guarded by mutex_
    std::thread delivery_;
};

// A journal whose records can be made to fail.
class FailingJournal : public Journal::SerialJournal {
public:
    using SerialJournal::SerialJournal;
    std::atomic<bool> failIntent{false};
    std::atomic<bool> failOutcome{false};

    std::string recordIntent(const Journal::DeviceFacts& device, std::optional<std::uint32_t> old,
                             std::uint32_t target, std::optional<std::string> client,
                             std::optional<std::string> operatorName) override {
        if (failIntent)
            throw Journal::JournalError("cannot write the journal J: disk full");
        std::string entry = SerialJournal::recordIntent(device, old, target, std::move(client),
                                                        std::move(operatorName));
        if (afterIntent)
            afterIntent();
        return entry;
    }
    // Runs on the flow's thread once an intent is recorded, before the write
    // goes out; set before the write is asked.
    std::function<void()> afterIntent;
    void recordOutcome(const std::string& entry, const std::string& id, WriteResult result,
                       bool acknowledged, std::optional<std::uint32_t> readBack) override {
        if (failOutcome)
            throw Journal::JournalError("cannot write the journal J: disk full");
        SerialJournal::recordOutcome(entry, id, result, acknowledged, readBack);
    }
};

constexpr std::uint64_t target = 0x0000000A00000001ull;
constexpr std::uint64_t other = 0x0000000A00000002ull;
constexpr std::uint64_t third = 0x0000000A00000003ull;

class SerialWriteFlowTest : public ::testing::Test {
protected:
    void SetUp() override {
        service.start();
        rack.attach(*service.engine());
    }
    void TearDown() override { rack.detach(); }

    void add(DeviceSetup setup) {
        const auto address = 0x0A000002u + static_cast<std::uint32_t>(setup.id & 0xFF);
        rack.add(setup, address);
        rack.announce();
        ASSERT_TRUE(waitUntil([&] { return service.findDevice(setup.id).has_value(); }));
    }

    SerialWriteRequest request(std::uint64_t id, std::uint32_t number) {
        SerialWriteRequest asked;
        asked.id = id;
        asked.target = number;
        asked.journal = &journal;
        for (std::uint64_t listed : {target, other, third})
            asked.listed.push_back({listed, std::nullopt});
        return asked;
    }

    void submit(SerialWriteRequest asked) {
        ASSERT_TRUE(flow.submit(std::move(asked), [this](const SerialWriteReport& report) {
            reports.push(report);
            progress.bump();
        }));
    }

    // Moves the clock from one pending request's deadline to the next until
    // `count` reports have come; the devices stay present unless `absent`.
    void driveUntilReports(std::size_t count, std::optional<std::uint64_t> absent = {}) {
        for (int step = 0; step < 200 && reports.size() < count; ++step) {
            ASSERT_TRUE(waitUntil([&] { return rack.quiet() && service.engine()->idle(); }));
            if (reports.size() >= count)
                break;
            const std::uint64_t deadline = service.engine()->frameList().earliestDeadline();
            if (deadline != 0)
                clock.advanceTo(deadline);
            else
                clock.advanceMs(100);
            rack.announce(absent);
            service.engine()->expireNow();
            flow.clockMoved();
            progress.waitUntil([&] { return reports.size() >= count; }, 20ms);
        }
        ASSERT_TRUE(reports.waitForCount(count, 5000ms));
    }

    SerialWriteReport only() {
        EXPECT_TRUE(reports.waitForCount(1));
        return reports.values().at(0);
    }

    Journal::JournalReading journalEntries() {
        return Journal::readEntries(Journal::JournalFile::read(journal.path()));
    }

    TemporaryFolder folder;
    FailingJournal journal{folder / "journal.jsonl",
                           Journal::Writer{"tech", "bench", "test 1", "10.0.0.1"}};
    VirtualClock clock;
    Progress progress;
    Rack rack{clock, progress};
    VornService service{rack, clock.clocks()};
    SerialWriteFlow flow{service};
    Recorder<SerialWriteReport> reports;
};

TEST_F(SerialWriteFlowTest, VerifiedWriteIsRecordedBeforeItIsSentAndAfterItsReadBack) {
    add({.id = target, .serial = 100, .name = "Stage left"});
    add({.id = other, .serial = 200, .name = "Stage right"});
    auto asked = request(target, 4242);
    asked.client = "192.0.2.9";
    submit(asked);
    const SerialWriteReport report = only();
    EXPECT_EQ(report.outcome, WriteOutcome::Verified);
    EXPECT_EQ(report.before, 100u);
    EXPECT_EQ(report.readBack, 4242u);
    EXPECT_EQ(report.reply, WriteReply::Accepted);
    EXPECT_EQ(report.name, "Stage left");
    EXPECT_TRUE(report.error.empty());
    EXPECT_TRUE(report.silent.empty());
    EXPECT_EQ(rack.serialOf(target), 4242u);
    EXPECT_EQ(rack.sentTo(other, Vorn::Code::getBoardId), 1u) << "the check reads the others";

    const auto reading = journalEntries();
    ASSERT_EQ(reading.entries.size(), 1u);
    const auto& entry = reading.entries[0];
    EXPECT_EQ(entry.intent.old, 100u);
    EXPECT_EQ(entry.intent.target, 4242u);
    EXPECT_EQ(entry.intent.device.name, "Stage left");
    EXPECT_EQ(entry.intent.client, "192.0.2.9");
    ASSERT_TRUE(entry.outcome);
    EXPECT_EQ(entry.outcome->result, WriteResult::Verified);
    EXPECT_EQ(entry.outcome->readBack, 4242u);
}

TEST_F(SerialWriteFlowTest, NumberAlreadyHeldIsNeitherWrittenNorRecorded) {
    add({.id = target, .serial = 4242, .name = "A"});
    submit(request(target, 4242));
    EXPECT_EQ(only().outcome, WriteOutcome::AlreadySet);
    EXPECT_EQ(rack.sentTo(target, Vorn::Code::setBoardId), 0u);
    EXPECT_TRUE(journalEntries().entries.empty());
}

TEST_F(SerialWriteFlowTest, RefusedWriteKeepsTheNumberAndIsRecordedAsRefused) {
    add({.id = target, .serial = 100, .name = "A", .refuses = true});
    submit(request(target, 4242));
    const auto report = only();
    EXPECT_EQ(report.outcome, WriteOutcome::Refused);
    EXPECT_NE(report.reply, WriteReply::Accepted);
    EXPECT_EQ(report.readBack, 100u);
    ASSERT_EQ(journalEntries().entries.size(), 1u);
    EXPECT_EQ(journalEntries().entries[0].outcome->result, WriteResult::Refused);
}

TEST_F(SerialWriteFlowTest, SilentDeviceIsNotWrittenNorRecorded) {
    add({.id = target, .serial = 100, .name = "A", .silent = true});
    submit(request(target, 4242));
    driveUntilReports(1);
    const auto report = only();
    EXPECT_EQ(report.outcome, WriteOutcome::Unreadable);
    EXPECT_FALSE(report.before);
    EXPECT_FALSE(report.sent);
    EXPECT_EQ(rack.sentTo(target, Vorn::Code::setBoardId), 0u);
    EXPECT_TRUE(journalEntries().entries.empty());
}

TEST_F(SerialWriteFlowTest, AcknowledgedWriteWithoutReadBackIsUnverified) {
    add({.id = target, .serial = 100, .name = "A", .silentAfterWrite = true});
    submit(request(target, 4242));
    driveUntilReports(1);
    const auto report = only();
    EXPECT_EQ(report.outcome, WriteOutcome::Unverified);
    EXPECT_EQ(report.reply, WriteReply::Accepted);
    EXPECT_FALSE(report.readBack);
    EXPECT_EQ(rack.sentTo(target, Vorn::Code::getBoardId), 8u)
        << "the check's read, the write's own read, six read-back attempts";
    ASSERT_EQ(journalEntries().entries.size(), 1u);
    EXPECT_EQ(journalEntries().entries[0].outcome->result, WriteResult::Unverified);
}

TEST_F(SerialWriteFlowTest, AcknowledgedWriteReadingBackTheOldNumberIsAMismatch) {
    add({.id = target, .serial = 100, .name = "A", .keepsOld = true});
    submit(request(target, 4242));
    const auto report = only();
    EXPECT_EQ(report.outcome, WriteOutcome::Mismatch);
    EXPECT_EQ(report.reply, WriteReply::Accepted);
    EXPECT_EQ(report.readBack, 100u);
    EXPECT_EQ(journalEntries().entries.at(0).outcome->result, WriteResult::Mismatch);
}

TEST_F(SerialWriteFlowTest, NumberHeldByAnotherDeviceEndsWithItsHolderUnlessAllowed) {
    add({.id = target, .serial = 100, .name = "A"});
    add({.id = other, .serial = 4242, .name = "Rack 2 amp"});
    add({.id = third, .serial = 300, .name = "C"});
    submit(request(target, 4242));
    const auto refused = only();
    EXPECT_EQ(refused.outcome, WriteOutcome::Duplicate);
    ASSERT_TRUE(refused.holder);
    EXPECT_EQ(refused.holder->id, other);
    EXPECT_EQ(refused.holder->name, "Rack 2 amp");
    EXPECT_FALSE(refused.sent);
    EXPECT_EQ(rack.sentTo(target, Vorn::Code::setBoardId), 0u);
    EXPECT_TRUE(journalEntries().entries.empty());

    auto anyway = request(target, 4242);
    anyway.allowDuplicate = true;
    submit(anyway);
    ASSERT_TRUE(reports.waitForCount(2));
    EXPECT_EQ(reports.values()[1].outcome, WriteOutcome::Verified);
    EXPECT_EQ(rack.serialOf(target), 4242u);
    EXPECT_EQ(rack.sentTo(other, Vorn::Code::getBoardId), 1u) << "allowed: no check";
}

TEST_F(SerialWriteFlowTest, DeviceAnsweringTheCheckLateIsNamedAndNotWaitedFor) {
    add({.id = target, .serial = 100, .name = "A"});
    add({.id = other, .serial = 200, .name = "B"});
    // It holds the number, but answers only after the check has ended.
    add({.id = third, .serial = 4242, .name = "C", .holdsReplies = true});
    submit(request(target, 4242));
    ASSERT_TRUE(waitUntil([&] {
        return rack.sentTo(third, Vorn::Code::getBoardId) == 1 && rack.repliesFrom(target) == 2 &&
               rack.repliesFrom(other) == 1 && rack.quiet();
    }));
    clock.advanceMs(1999);
    flow.clockMoved();
    EXPECT_FALSE(reports.waitForCount(1, 50ms)) << "the check waits its 2 s";
    EXPECT_EQ(rack.sentTo(target, Vorn::Code::setBoardId), 0u);
    clock.advanceMs(1);
    rack.announce();
    flow.clockMoved();
    const auto report = only();
    EXPECT_EQ(report.outcome, WriteOutcome::Verified);
    EXPECT_EQ(report.silent, std::vector<std::uint64_t>{third});
    const auto warnings = silentWarnings(report);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0], formatDeviceId(third) +
                               " did not answer within 2 s; its serial number is not known.");
    rack.release(third); // its late answer changes nothing
    EXPECT_TRUE(waitUntil([&] { return rack.quiet(); }));
}

TEST_F(SerialWriteFlowTest, DeviceLeavingDuringTheWriteHasItsOutcomeRecorded) {
    add({.id = target, .serial = 100, .name = "A", .ignoresWrite = true});
    add({.id = other, .serial = 200, .name = "B"});
    submit(request(target, 4242));
    ASSERT_TRUE(waitUntil([&] { return rack.sentTo(target, Vorn::Code::setBoardId) == 1; }));
    // Not heard for more than 10 s: the device is gone.
    clock.advanceMs(11000);
    rack.announce(target);
    service.engine()->frameList().sweep();
    ASSERT_TRUE(waitUntil([&] { return !service.findDevice(target); }));
    driveUntilReports(1, target);
    const auto report = only();
    EXPECT_EQ(report.outcome, WriteOutcome::NoAnswer);
    EXPECT_TRUE(report.sent);
    EXPECT_NE(report.reply, WriteReply::Accepted);
    const auto reading = journalEntries();
    ASSERT_EQ(reading.entries.size(), 1u);
    ASSERT_TRUE(reading.entries[0].outcome) << "not left as interrupted";
    EXPECT_EQ(reading.entries[0].outcome->result, WriteResult::NoAnswer);
    EXPECT_STREQ(Journal::entryResultName(reading.entries[0]), "no-answer");
}

TEST_F(SerialWriteFlowTest, WriteNeverAnsweredFailsOnceTheEngineGivesUpAndIsRecorded) {
    add({.id = target, .serial = 100, .name = "A", .ignoresWrite = true});
    submit(request(target, 4242));
    ASSERT_TRUE(waitUntil([&] { return rack.sentTo(target, Vorn::Code::setBoardId) == 1; }));
    const std::uint64_t sentAt = clock.now();
    driveUntilReports(1); // the device stays present, answering its reads
    // The engine tries for 7.875 s before the write counts as unanswered.
    EXPECT_GE(clock.now() - sentAt, 7875000000ull);
    EXPECT_GT(rack.sentTo(target, Vorn::Code::setBoardId), 1u) << "the write was tried again";
    const auto report = only();
    EXPECT_TRUE(report.sent);
    EXPECT_NE(report.reply, WriteReply::Accepted);
    EXPECT_EQ(report.readBack, 100u) << "read back after the write gave up";
    // Not answered, not refused: the device may simply not have heard it.
    EXPECT_EQ(report.reply, WriteReply::Unanswered);
    EXPECT_EQ(report.outcome, WriteOutcome::NoAnswer);
    EXPECT_TRUE(report.error.empty());
    const auto reading = journalEntries();
    ASSERT_EQ(reading.entries.size(), 1u);
    ASSERT_TRUE(reading.entries[0].outcome) << "not left as interrupted";
    EXPECT_EQ(reading.entries[0].outcome->result, WriteResult::NoAnswer);
    EXPECT_EQ(reading.entries[0].outcome->readBack, 100u);
    EXPECT_FALSE(reading.entries[0].outcome->acknowledged);
}

TEST_F(SerialWriteFlowTest, WriteThatCannotBeSentAfterItsIntentIsRecordedAsNotAnswered) {
    add({.id = target, .serial = 100, .name = "A"});
    // The device leaves between the intent and the write: the engine no
    // longer knows where to send it.
    journal.afterIntent = [this] {
        clock.advanceMs(11000);
        service.engine()->frameList().sweep();
    };
    submit(request(target, 4242));
    const auto report = only();
    EXPECT_EQ(journalEntries().entries.size(), 1u) << "the intent is recorded";
    EXPECT_FALSE(report.sent);
    EXPECT_NE(report.reply, WriteReply::Accepted);
    EXPECT_FALSE(report.readBack);
    EXPECT_EQ(report.outcome, WriteOutcome::NoAnswer);
    EXPECT_TRUE(report.error.empty());
    EXPECT_EQ(rack.sentTo(target, Vorn::Code::setBoardId), 0u);
    EXPECT_EQ(rack.serialOf(target), 100u);
    const auto reading = journalEntries();
    ASSERT_EQ(reading.entries.size(), 1u);
    ASSERT_TRUE(reading.entries[0].outcome) << "not left as interrupted";
    EXPECT_EQ(reading.entries[0].outcome->result, WriteResult::NoAnswer);
}

TEST_F(SerialWriteFlowTest, JournalFailingAfterTheIntentIsReported) {
    add({.id = target, .serial = 100, .name = "A"});
    journal.failOutcome = true;
    submit(request(target, 4242));
    const auto report = only();
    EXPECT_EQ(report.outcome, WriteOutcome::Unrecorded);
    EXPECT_EQ(report.unrecorded, WriteResult::Verified);
    EXPECT_EQ(report.error, "cannot write the journal J: disk full; the outcome of the write to " +
                                formatDeviceId(target) + " (verified) is not recorded.");
    const auto reading = journalEntries();
    ASSERT_EQ(reading.entries.size(), 1u);
    EXPECT_FALSE(reading.entries[0].outcome);
}

TEST_F(SerialWriteFlowTest, JournalFailingBeforeTheIntentSendsNothing) {
    add({.id = target, .serial = 100, .name = "A"});
    journal.failIntent = true;
    submit(request(target, 4242));
    const auto report = only();
    EXPECT_EQ(report.outcome, WriteOutcome::JournalUnwritable);
    EXPECT_FALSE(report.sent);
    EXPECT_EQ(report.error, "cannot write the journal J: disk full");
    EXPECT_EQ(rack.sentTo(target, Vorn::Code::setBoardId), 0u);
    EXPECT_EQ(rack.serialOf(target), 100u);
}

TEST_F(SerialWriteFlowTest, WritesAskedAtOnceNeverOverlapOnTheWire) {
    add({.id = target, .serial = 100, .name = "A", .holdsReplies = true});
    add({.id = other, .serial = 200, .name = "B"});
    auto first = request(target, 1111);
    first.allowDuplicate = true;
    auto second = request(other, 2222);
    second.allowDuplicate = true;
    submit(first);
    submit(second);
    ASSERT_TRUE(waitUntil([&] { return rack.sentTo(target, Vorn::Code::getBoardId) == 1; }));
    EXPECT_FALSE(
        progress.waitUntil([&] { return rack.sentTo(other, Vorn::Code::getBoardId) > 0; }, 50ms))
        << "the second write waits for the first";
    rack.release(target);
    ASSERT_TRUE(reports.waitForCount(2));
    EXPECT_EQ(reports.values()[0].id, target);
    EXPECT_EQ(reports.values()[0].outcome, WriteOutcome::Verified);
    EXPECT_EQ(reports.values()[1].outcome, WriteOutcome::Verified);
    // Everything of the second write comes after the first's read-back answer.
    const auto events = rack.events();
    std::size_t lastOfFirst = 0;
    std::size_t firstOfSecond = events.size();
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i].device == target && events[i].command != Vorn::Code::selectMe)
            lastOfFirst = i;
        if (events[i].device == other && firstOfSecond == events.size())
            firstOfSecond = i;
    }
    EXPECT_LT(lastOfFirst, firstOfSecond);
    EXPECT_EQ(journalEntries().entries.size(), 2u);
}

TEST_F(SerialWriteFlowTest, NumbersReadAheadAreCheckedWithoutAskingAgainWhileFresh) {
    add({.id = target, .serial = 100, .name = "A"});
    add({.id = other, .serial = 4242, .name = "B"});
    flow.readAhead({{other, std::nullopt}});
    ASSERT_TRUE(waitUntil([&] { return rack.repliesFrom(other) == 1 && rack.quiet(); }));
    submit(request(target, 4242));
    EXPECT_EQ(only().outcome, WriteOutcome::Duplicate) << "the number read ahead counts";
    EXPECT_EQ(rack.sentTo(other, Vorn::Code::getBoardId), 1u);

    // Read ahead, then 11 s pass: asked again.
    flow.readAhead({{other, std::nullopt}});
    ASSERT_TRUE(waitUntil([&] {
        return rack.sentTo(other, Vorn::Code::getBoardId) == 2 && rack.repliesFrom(other) == 3 &&
               rack.quiet();
    })) << "its number and, for the refusal, its name answered";
    clock.advanceMs(10001);
    rack.announce();
    submit(request(target, 4242));
    ASSERT_TRUE(reports.waitForCount(2));
    EXPECT_EQ(rack.sentTo(other, Vorn::Code::getBoardId), 3u);
}

TEST_F(SerialWriteFlowTest, UnknownDeviceIsReportedAsNotFound) {
    submit(request(0x0000000B00000009ull, 1));
    const auto report = only();
    EXPECT_EQ(report.outcome, WriteOutcome::NotFound);
    EXPECT_FALSE(report.sent);
}

TEST(SerialWriteOutcome, TheResultOfAWriteFromItsAnswerAndItsReadBack) {
    using R = WriteResult;
    constexpr auto ok = WriteReply::Accepted;
    constexpr auto no = WriteReply::Refused;
    constexpr auto none = WriteReply::Unanswered;
    EXPECT_EQ(classifyWrite(ok, 5, 9, 9), R::Verified);
    EXPECT_EQ(classifyWrite(none, 5, 9, 9), R::Verified); // the acknowledgement was lost
    EXPECT_EQ(classifyWrite(none, std::nullopt, 9, 9), R::Verified);
    EXPECT_EQ(classifyWrite(ok, 5, std::nullopt, 9), R::Unverified);
    EXPECT_EQ(classifyWrite(no, 5, std::nullopt, 9), R::NoAnswer);
    EXPECT_EQ(classifyWrite(none, 5, std::nullopt, 9), R::NoAnswer);
    EXPECT_EQ(classifyWrite(no, 5, 5, 9), R::Refused);
    EXPECT_EQ(classifyWrite(none, 5, 5, 9), R::NoAnswer); // timed out: not a refusal
    EXPECT_EQ(classifyWrite(ok, 5, 5, 9), R::Mismatch);   // acknowledged, yet unchanged
    EXPECT_EQ(classifyWrite(no, 5, 7, 9), R::Mismatch);
    EXPECT_EQ(classifyWrite(none, std::nullopt, 7, 9), R::Mismatch);
    // The journal's results keep their names as outcomes.
    for (const R result : {R::Verified, R::Refused, R::NoAnswer, R::Mismatch, R::Unverified,
                           R::AlreadySet, R::Duplicate})
        EXPECT_STREQ(writeOutcomeName(writeOutcomeOf(result)), Journal::writeResultName(result));
    EXPECT_STREQ(writeOutcomeName(WriteOutcome::JournalUnwritable), "journal-unwritable");
    EXPECT_STREQ(writeOutcomeName(WriteOutcome::Failed), "failed");
}

} // namespace
