#include "engine/FrameList.h"
#include "engine/framelist/TrimSchedule.h"

#include "Exception.h"
#include "MemoryLink.h"
#include "TestSupport.h"
#include "wire/NetworkType.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using namespace TestSupport;

namespace {

constexpr std::uint32_t deviceAddress = 0x7F000002; // 127.0.0.2
constexpr std::uint32_t otherAddress = 0x7F000003;  // 127.0.0.3

// A frame list over the in-memory link whose wall clock the test sets. The
// steady clock is the system's: the time-out thread's own waking is tested
// here (tests that need exact deadlines drive the steady clock themselves).
class FrameListTest : public ::testing::Test {
protected:
    Vorn::FrameList::Clocks clocks() {
        auto clocks = Vorn::FrameList::Clocks::system();
        clocks.wallSeconds = [this] { return wallClock.load(); };
        return clocks;
    }

    void receive(const std::vector<char>& bytes, std::uint32_t sender = deviceAddress) {
        frames.onReceive(bytes.data(), bytes.size(), sender);
    }

    // Records frame events as "added:<id>" etc. in the order the worker raises them.
    void recordFrameEvents() {
        auto record = [this](const char* name) {
            return [this, name](std::uint64_t id) { events.push(name + std::to_string(id)); };
        };
        tokens.push_back(frames.frameAdded.subscribe(record("added:")));
        tokens.push_back(frames.frameRemoved.subscribe(record("removed:")));
        tokens.push_back(frames.frameChanged.subscribe(record("changed:")));
    }

    void recordCommands() {
        commandToken = frames.commandReceived.subscribe(
            [this](std::uint64_t id, const Vorn::Command<Vorn::MSG_CmdHdr>& command) {
                commands.push(std::to_string(id) + "/" + std::to_string(command.command()) + "/" +
                              std::to_string(command.size()) + (command.valid ? "" : "/invalid"));
            });
    }

    TestSupport::VirtualClock linkClock;
    TestSupport::Progress progress;
    TestSupport::MemoryLink link{linkClock, progress};
    Vorn::AnyNetworkType type;
    std::atomic<std::int64_t> wallClock{1000000};
    Vorn::FrameList frames{type, link, clocks()};
    Recorder<std::string> events;
    Recorder<std::string> commands;
    std::vector<Vorn::FrameList::FrameEvent::Token> tokens;
    Vorn::FrameList::CommandEvent::Token commandToken;
};

TEST_F(FrameListTest, FrameEventsFollowPresenceInOrderAfterTheTableIsUpdated) {
    // Subscribed before the recorder, so it has run by the time the recorder has.
    std::vector<std::string> seenByAdded;
    tokens.push_back(frames.frameAdded.subscribe([&](std::uint64_t id) {
        const Vorn::FrameInfo info = frames.getFrame(id); // present before the notification
        seenByAdded.push_back(std::to_string(info.mode));
    }));
    recordFrameEvents();

    // Each step waits for its events, so that the subscriber sees the table as
    // that step left it.
    PresenceFields device{.id = 0x0000000A0000000B, .changeMarkA = 5, .changeMarkB = 3};
    receive(presence(device)); // new: added
    ASSERT_TRUE(events.waitForCount(1));
    receive(presence(device)); // unchanged: nothing
    device.changeMarkB = 4;    // max still 5: nothing
    receive(presence(device));
    device.changeMarkA = 9; // max changes: changed
    receive(presence(device));
    ASSERT_TRUE(events.waitForCount(2));
    device.modeFlags = 0x02; // mode 0 -> 2: removed, then added
    receive(presence(device));
    ASSERT_TRUE(events.waitForCount(4));
    device.changeMarkA = 20; // change in a non-zero mode: nothing
    receive(presence(device));
    receive(presence({.id = 77})); // a second frame: added

    ASSERT_TRUE(events.waitForCount(5));
    const std::string id = std::to_string(device.id);
    EXPECT_EQ(events.values(),
              (std::vector<std::string>{"added:" + id, "changed:" + id, "removed:" + id,
                                        "added:" + id, "added:77"}));
    // The subscriber called for the flip found the frame with its new mode.
    EXPECT_EQ(seenByAdded, (std::vector<std::string>{"0", "2", "0"}));

    Vorn::Destination destination;
    ASSERT_TRUE(frames.findDestination(device.id, destination));
    EXPECT_TRUE(destination.viaBroadcast);
    EXPECT_EQ(destination.address, deviceAddress);

    const Vorn::FrameInfo info = frames.getFrame(device.id);
    EXPECT_EQ(info.sourceType, 2);
    EXPECT_EQ(info.deviceType, 10u);
    EXPECT_EQ(info.mode, 2u);
    EXPECT_EQ(info.lastSeen, 1000000);
    EXPECT_EQ(info.stationTag[0], 0x11223344u);
    EXPECT_EQ(info.stationTag[1], 0x55667788u);
}

TEST_F(FrameListTest, ToolAndTypeOneSendersInModeZeroAreRejectedWithoutAnyEvent) {
    recordFrameEvents();
    recordCommands();
    receive(presence({.id = 1, .typeWord = 6}));
    receive(presence({.id = 2, .typeWord = 0x4006})); // top bits cleared first
    receive(presence({.id = 3, .typeWord = 1}));
    receive(presence({.id = 4, .typeWord = 0x8001}));
    receive(presence({.id = 5, .typeWord = 6, .modeFlags = 0x02})); // accepted in mode 2
    receive(presence({.id = 6, .typeWord = 0}));                    // type 0 is a device

    ASSERT_TRUE(events.waitForCount(2));
    ASSERT_TRUE(commands.waitForCount(2));
    EXPECT_EQ(events.values(), (std::vector<std::string>{"added:5", "added:6"}));
    EXPECT_EQ(commands.values(), (std::vector<std::string>{"5/4/100", "6/4/100"}));
    EXPECT_THROW(frames.getFrame(1), Vorn::UnknownFrameIdException);
    Vorn::Destination untouched{42, 42, true};
    EXPECT_FALSE(frames.findDestination(2, untouched));
    EXPECT_EQ(untouched.frameId, 42u);
}

TEST_F(FrameListTest, SweepRemovesFramesSilentForMoreThanTenSecondsButKeepsDestinations) {
    bool removedFrameWasGone = false;
    tokens.push_back(frames.frameRemoved.subscribe([&](std::uint64_t id) {
        try {
            frames.getFrame(id);
        } catch (const Vorn::UnknownFrameIdException& e) {
            removedFrameWasGone = true;
            EXPECT_EQ(e.source(), "src/FrameList");
            EXPECT_GT(e.line(), 0);
            EXPECT_EQ(e.message(), "Attempting to access a frame with an index that doesn't exist");
        }
    }));
    recordFrameEvents();
    const std::int64_t t = wallClock;
    receive(presence({.id = 9}));
    wallClock = t + 10;
    frames.sweep();
    EXPECT_NO_THROW(frames.getFrame(9));
    EXPECT_TRUE(frames.findFrame(9).has_value());
    wallClock = t + 11;
    frames.sweep();
    EXPECT_THROW(frames.getFrame(9), Vorn::UnknownFrameIdException);
    EXPECT_FALSE(frames.findFrame(9).has_value());
    Vorn::Destination destination;
    EXPECT_TRUE(frames.findDestination(9, destination));
    ASSERT_TRUE(events.waitForCount(2));

    // It returns on its next presence message, announced after its removal.
    receive(presence({.id = 9}));
    ASSERT_TRUE(events.waitForCount(3));
    EXPECT_EQ(events.values(), (std::vector<std::string>{"added:9", "removed:9", "added:9"}));
    EXPECT_TRUE(removedFrameWasGone);
}

// Over the cap, the sweep forgets destinations of absent frames, the longest
// absent first, and never those of present frames.
TEST_F(FrameListTest, DestinationsOfAbsentFramesAreForgottenOnlyPastTheCap) {
    Vorn::FrameList capped(type, link, clocks(), 4);
    const std::int64_t t = wallClock;
    auto at = [&](std::int64_t seconds, std::uint64_t id) {
        wallClock = t + seconds;
        capped.onReceive(presence({.id = id}).data(), Vorn::presenceSize, deviceAddress);
    };
    auto known = [&](std::uint64_t id) {
        Vorn::Destination destination;
        return capped.findDestination(id, destination);
    };
    auto sweepAt = [&](std::int64_t seconds) {
        wallClock = t + seconds;
        capped.sweep();
    };
    at(0, 1);
    at(1, 2);
    at(2, 3);
    for (std::uint64_t id : {4, 5, 6})
        at(5, id);
    sweepAt(11); // 1 leaves; six destinations: the absent 1 goes
    EXPECT_FALSE(known(1));
    sweepAt(12); // 2 leaves and goes
    EXPECT_FALSE(known(2));
    sweepAt(13); // 3 leaves; four destinations: within the cap, kept
    EXPECT_TRUE(known(3));
    for (std::uint64_t id : {4, 5, 6})
        EXPECT_TRUE(known(id));

    at(14, 3); // back: present again
    at(14, 7);
    at(15, 8);
    sweepAt(16); // 4, 5, 6 leave; six destinations, two of them go
    EXPECT_TRUE(known(3));
    EXPECT_TRUE(known(7));
    EXPECT_TRUE(known(8));
    int kept = 0;
    for (std::uint64_t id : {4, 5, 6})
        kept += known(id) ? 1 : 0;
    EXPECT_EQ(kept, 1);
    at(20, 9);
    sweepAt(26); // 3, 7 and 8 leave; the one left of 4..6 has been absent longest
    for (std::uint64_t id : {3, 7, 8, 9})
        EXPECT_TRUE(known(id));
    for (std::uint64_t id : {4, 5, 6})
        EXPECT_FALSE(known(id));
}

TEST_F(FrameListTest, WallClockJumpsAgeFramesAccordingly) {
    recordFrameEvents();
    receive(presence({.id = 1}));
    receive(presence({.id = 2}));
    wallClock -= 3600; // backwards: frames live correspondingly longer
    frames.sweep();
    wallClock += 3600 + 10;
    frames.sweep();
    EXPECT_NO_THROW(frames.getFrame(1));
    wallClock += 1000; // forwards past the lifetime: every frame goes
    frames.sweep();
    ASSERT_TRUE(events.waitForCount(4));
    EXPECT_THROW(frames.getFrame(1), Vorn::UnknownFrameIdException);
    EXPECT_THROW(frames.getFrame(2), Vorn::UnknownFrameIdException);
}

TEST_F(FrameListTest, MalformedAndUnsolicitedMessages) {
    recordCommands();
    // Shorter than a header, or declaring a length under the header's (or a
    // negative one), also from an unknown sender: ignored. A bare header from
    // an unknown sender: delivered.
    auto truncated = datagram(28, 5, 7, 0);
    truncated.pop_back();
    receive(truncated);
    for (std::uint16_t declared : {0, 27, 0xFFFF, 0x8000}) {
        auto underHeader = datagram(40, 5, 7, 0);
        Vorn::Wire::writeU16(underHeader.data() + Vorn::Header::length, declared);
        receive(underHeader);
    }
    receive(datagram(28, 5, 7, 0));
    ASSERT_TRUE(commands.waitForCount(1));
    EXPECT_EQ(commands.values()[0], "5/7/28");

    // From a known frame, a declared length beyond the datagram (or negative)
    // is dropped and does not refresh lastSeen.
    const std::int64_t t = wallClock;
    receive(presence({.id = 8}));
    wallClock = t + 5;
    auto longer = datagram(40, 8, 7, 0);
    Vorn::Wire::writeU16(longer.data() + Vorn::Header::length, 41);
    receive(longer);
    auto negative = datagram(40, 8, 7, 0);
    Vorn::Wire::writeU16(negative.data() + Vorn::Header::length, 0x8000);
    receive(negative);
    EXPECT_EQ(frames.getFrame(8).lastSeen, t);
    receive(datagram(40, 8, 7, 0), otherAddress); // well formed: refreshes, moves the address
    EXPECT_EQ(frames.getFrame(8).lastSeen, t + 5);
    Vorn::Destination destination;
    ASSERT_TRUE(frames.findDestination(8, destination));
    EXPECT_EQ(destination.address, otherAddress);

    // A short presence message is tracked with its missing fields as zero.
    auto shortPresence = presence({.id = 12, .modeFlags = 0x02, .deviceType = 11});
    shortPresence.resize(60);
    Vorn::Wire::writeU16(shortPresence.data() + Vorn::Header::length, 60);
    receive(shortPresence);
    EXPECT_EQ(frames.getFrame(12).mode, 0u);
    EXPECT_EQ(frames.getFrame(12).deviceType, 0u);

    ASSERT_TRUE(commands.waitForCount(4));
    EXPECT_EQ(commands.values()[1], "8/4/100");
    EXPECT_EQ(commands.values()[2], "8/7/40");
    EXPECT_EQ(commands.values()[3], "12/4/60");
}

TEST_F(FrameListTest, WrappedPresenceIsHandledAsTheEmbeddedMessage) {
    recordFrameEvents();
    recordCommands();
    auto wrap = [](std::size_t size, std::int16_t word, std::uint64_t innerId) {
        auto outer = datagram(size, 0xEE, Vorn::Code::wrappedPresence, 0);
        Vorn::Wire::writeU16(outer.data() + 28, static_cast<std::uint16_t>(word));
        const auto inner = presence({.id = innerId});
        std::copy(inner.begin(), inner.end(), outer.begin() + 32);
        return outer;
    };
    receive(wrap(436, 1, 31)); // embedded presence of frame 31
    receive(wrap(435, 1, 32)); // too short: an ordinary code-5 message
    receive(wrap(436, 0, 33));
    receive(wrap(500, -1, 34));
    ASSERT_TRUE(events.waitForCount(1));
    ASSERT_TRUE(commands.waitForCount(4));
    EXPECT_EQ(events.values(), (std::vector<std::string>{"added:31"}));
    EXPECT_EQ(commands.values(),
              (std::vector<std::string>{"31/4/100", std::to_string(0xEE) + "/5/435",
                                        std::to_string(0xEE) + "/5/436",
                                        std::to_string(0xEE) + "/5/500"}));
}

// Completions recorded as "<tag>:<code>:<length>" with the thread they ran on.
struct CompletionLog {
    struct Entry {
        std::string result;
        std::thread::id thread;
    };
    Recorder<Entry> entries;
    Vorn::RequestCompletion make(const std::string& tag) {
        return [this, tag](const char*, unsigned length, Vorn::ErrorCode code) {
            entries.push(
                {tag + ":" + std::to_string(static_cast<int>(code)) + ":" + std::to_string(length),
                 std::this_thread::get_id()});
        };
    }
    std::vector<std::string> results() const {
        std::vector<std::string> out;
        for (const Entry& entry : entries.values())
            out.push_back(entry.result);
        return out;
    }
};

Vorn::Message request(std::uint32_t sequence) {
    Vorn::Message message;
    message.valid = true;
    message.bytes = datagram(36, 1, Vorn::Code::getBoardId, sequence, 6);
    return message;
}

const Vorn::Destination someDevice{5, deviceAddress, false};

TEST_F(FrameListTest, RepliesAreMatchedBySequenceAloneAndOnlyOnce) {
    recordCommands();
    CompletionLog log;
    ASSERT_TRUE(frames.sendRequest(5000, someDevice, request(0x1234), log.make("a")));
    const auto sent = link.unicasts();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].bytes, request(0x1234).bytes);
    EXPECT_EQ(sent[0].address, deviceAddress);

    // A reply from a frame and address that were never asked.
    const auto reply = datagram(100, 99, Vorn::Code::boardIdReply, 0x1234);
    receive(reply, otherAddress);
    ASSERT_EQ(log.entries.size(), 1u);
    EXPECT_EQ(log.results()[0], "a:0:100");
    EXPECT_EQ(log.entries.values()[0].thread,
              std::this_thread::get_id()); // on the receiving thread

    receive(reply, otherAddress); // the same reply again is unsolicited
    ASSERT_TRUE(commands.waitForCount(1));
    EXPECT_EQ(commands.values()[0], "99/813/100");

    // A second request under the same sequence replaces the first uncalled.
    ASSERT_TRUE(frames.sendRequest(5000, someDevice, request(0x55), log.make("first")));
    ASSERT_TRUE(frames.sendRequest(5000, someDevice, request(0x55), log.make("second")));
    receive(datagram(36, 99, 2, 0x55));
    EXPECT_EQ(log.results(), (std::vector<std::string>{"a:0:100", "second:0:36"}));
}

// A transport that takes nothing.
class RefusingTransport : public Network::Transport {
public:
    bool broadcast(const char*, std::size_t) override { return false; }
    bool sendTo(const char*, std::size_t, std::uint32_t, std::uint16_t) override { return false; }
};

TEST_F(FrameListTest, ARefusedSendLeavesNothingPendingAndNeverCompletes) {
    RefusingTransport refusing;
    std::atomic<std::uint64_t> steady{1000000000000ull};
    auto driven = clocks();
    driven.steadyNanoseconds = [&steady] { return steady.load(); };
    Vorn::FrameList list(type, refusing, driven);
    CompletionLog log;
    EXPECT_FALSE(list.sendRequest(100, someDevice, request(7), log.make("refused")));
    EXPECT_FALSE(list.sendRequest(100, {5, 0, true}, request(8), log.make("broadcast")));
    EXPECT_EQ(list.pendingCount(), 0u);
    EXPECT_EQ(list.earliestDeadline(), 0u);
    const auto reply = datagram(36, 99, 2, 7);
    list.onReceive(reply.data(), reply.size(), deviceAddress);
    steady += 1000000000ull;
    list.expireNow();
    // The worker runs in posting order: once a later frame event has run, a
    // time-out posted by the pass above would have run too.
    Recorder<std::uint64_t> added;
    auto token = list.frameAdded.subscribe([&](std::uint64_t id) { added.push(id); });
    const auto announce = presence({.id = 3});
    list.onReceive(announce.data(), announce.size(), deviceAddress);
    ASSERT_TRUE(added.waitForCount(1));
    EXPECT_EQ(log.entries.size(), 0u);
}

TEST_F(FrameListTest, AThrowingHandlerIsCountedAndTheWorkerGoesOn) {
    CompletionLog log;
    ASSERT_TRUE(
        frames.sendRequest(20, someDevice, request(1), [](const char*, unsigned, Vorn::ErrorCode) {
            throw std::runtime_error("completion failure");
        }));
    ASSERT_TRUE(frames.sendRequest(40, someDevice, request(2), log.make("after")));
    ASSERT_TRUE(log.entries.waitForCount(1));
    EXPECT_EQ(log.results()[0], "after:1:0");
    EXPECT_EQ(frames.handlerFailures(), 1u);

    // A frame event handler that throws (not even a std::exception): its job
    // ends, the next job runs.
    auto thrower = frames.frameAdded.subscribe([](std::uint64_t) { throw 42; });
    recordFrameEvents();
    receive(presence({.id = 3}));
    wallClock += 11;
    frames.sweep();
    ASSERT_TRUE(waitUntil([&] {
        const auto seen = events.values();
        return std::find(seen.begin(), seen.end(), "removed:3") != seen.end();
    }));
    EXPECT_EQ(frames.handlerFailures(), 2u);
}

TEST_F(FrameListTest, TimeOutsArriveOnTheWorkerNoEarlierThanTheirDeadline) {
    CompletionLog log;
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(frames.sendRequest(2000, someDevice, request(1), log.make("late")));
    // An earlier deadline wakes the thread, which then sleeps only until it.
    ASSERT_TRUE(frames.sendRequest(125, someDevice, request(2), log.make("early")));
    ASSERT_TRUE(log.entries.waitForCount(1));
    const auto early = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(log.results()[0], "early:1:0");
    EXPECT_GE(early, 125ms);
    EXPECT_LT(early, 1500ms);
    EXPECT_NE(log.entries.values()[0].thread, std::this_thread::get_id());

    // Several requests that expire together are all reported, each once.
    for (std::uint32_t sequence = 10; sequence < 20; ++sequence)
        ASSERT_TRUE(frames.sendRequest(50, someDevice, request(sequence),
                                       log.make(std::to_string(sequence))));
    ASSERT_TRUE(log.entries.waitForCount(11));
    ASSERT_TRUE(log.entries.waitForCount(12, 5000ms));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 2000ms);
    const auto results = log.results();
    EXPECT_EQ(results.back(), "late:1:0");
    EXPECT_EQ(results.size(), 12u);

    // A late reply finds nothing pending.
    recordCommands();
    receive(datagram(36, 99, 2, 1));
    ASSERT_TRUE(commands.waitForCount(1));
}

// Requests answered before their deadlines never wake the time-out thread,
// neither the earlier deadlines they brought nor the ones it slept until: it
// wakes once, at the deadline of the request that was not answered.
TEST_F(FrameListTest, AnsweredRequestsLeaveTheTimeOutThreadAsleep) {
    CompletionLog log;
    const auto sendAndAnswer = [&](std::uint32_t sequence) {
        ASSERT_TRUE(frames.sendRequest(1000, someDevice, request(sequence), log.make("answered")));
        receive(datagram(36, 99, 2, sequence));
    };
    for (std::uint32_t sequence = 1; sequence <= 50; ++sequence)
        sendAndAnswer(sequence);
    ASSERT_TRUE(frames.sendRequest(1500, someDevice, request(100), log.make("unanswered")));
    for (std::uint32_t sequence = 101; sequence <= 150; ++sequence)
        sendAndAnswer(sequence); // earlier deadlines than the unanswered one's
    ASSERT_EQ(log.entries.size(), 100u);
    EXPECT_EQ(frames.timeoutWakeUps(), 0u);

    ASSERT_TRUE(log.entries.waitForCount(101));
    EXPECT_EQ(log.results().back(), "unanswered:1:0");
    EXPECT_EQ(frames.timeoutWakeUps(), 1u);
    EXPECT_EQ(frames.pendingCount(), 0u);
}

// Thousands of requests on a steady clock the test moves, most answered, some
// replaced: each pass ends exactly the requests due, in deadline order, and
// nothing answered or replaced, also after the deadline order was rebuilt.
TEST_F(FrameListTest, TimeOutsOnADrivenClockEndOnlyWhatIsDueInDeadlineOrder) {
    std::atomic<std::uint64_t> steady{1000000000000ull};
    auto driven = clocks();
    driven.steadyNanoseconds = [&steady] { return steady.load(); };
    Vorn::FrameList list(type, link, driven);
    CompletionLog log;
    std::vector<std::pair<std::uint32_t, std::string>> unanswered; // (timeout, tag)
    for (std::uint32_t sequence = 1; sequence <= 3000; ++sequence) {
        const std::uint32_t timeoutMs = 1 + (sequence * 7919) % 5000; // all distinct below
        const std::string tag = std::to_string(sequence);
        ASSERT_TRUE(list.sendRequest(timeoutMs, someDevice, request(sequence), log.make(tag)));
        if (sequence % 10 != 0) {
            const auto reply = datagram(36, 99, 2, sequence);
            list.onReceive(reply.data(), reply.size(), deviceAddress);
        } else if (sequence % 30 == 0) {
            ASSERT_TRUE(list.sendRequest(6000 + sequence, someDevice, request(sequence),
                                         log.make("again" + tag)));
            unanswered.emplace_back(6000 + sequence, "again" + tag);
        } else {
            unanswered.emplace_back(timeoutMs, tag);
        }
    }
    ASSERT_EQ(log.entries.size(), 2700u); // the answers, on this thread
    std::sort(unanswered.begin(), unanswered.end());
    const std::uint64_t start = steady.load();
    EXPECT_EQ(list.earliestDeadline(), start + unanswered.front().first * 1000000ull);

    auto expected = [&](std::uint32_t upToMs) {
        std::vector<std::string> tags;
        for (const auto& [timeoutMs, tag] : unanswered)
            if (timeoutMs <= upToMs)
                tags.push_back(tag + ":1:0");
        return tags;
    };
    auto timedOut = [&] {
        const auto all = log.results();
        return std::vector<std::string>(all.begin() + 2700, all.end());
    };
    steady = start + 2500 * 1000000ull;
    list.expireNow();
    const std::vector<std::string> first = expected(2500);
    ASSERT_TRUE(log.entries.waitForCount(2700 + first.size()));
    EXPECT_EQ(timedOut(), first);

    steady = start + 20000 * 1000000ull;
    list.expireNow();
    ASSERT_TRUE(log.entries.waitForCount(2700 + unanswered.size()));
    EXPECT_EQ(timedOut(), expected(20000));
    EXPECT_EQ(list.earliestDeadline(), 0u);
}

TEST_F(FrameListTest, DestroyingTheListDropsPendingRequestsUncalled) {
    CompletionLog log;
    auto held = std::make_shared<int>(0);
    std::atomic<std::uint64_t> steady{1000000000000ull};
    auto driven = clocks();
    driven.steadyNanoseconds = [&steady] { return steady.load(); };
    {
        Vorn::FrameList shortLived(type, link, driven);
        ASSERT_TRUE(shortLived.sendRequest(1, someDevice, request(3), log.make("x")));
        auto y = log.make("y");
        ASSERT_TRUE(
            shortLived.sendRequest(60000, someDevice, request(4),
                                   [y, held](const char* data, unsigned length,
                                             Vorn::ErrorCode code) { y(data, length, code); }));
        steady += 10 * 1000000ull;
        shortLived.expireNow(); // x's time-out is posted: it may run before the list goes, or not
    }
    // The worker is joined: what had not run never runs, and the request still
    // waiting went with the list, uncalled.
    const auto results = log.results();
    EXPECT_LE(results.size(), 1u);
    for (const std::string& result : results)
        EXPECT_EQ(result, "x:1:0");
    EXPECT_EQ(held.use_count(), 1);
}

// Several I/O threads deliver presence and replies while requests are sent,
// answered, answered twice or left to expire: every request ends exactly once.
TEST_F(FrameListTest, EveryRequestEndsExactlyOnceUnderConcurrentTraffic) {
    constexpr std::uint32_t requestCount = 400;
    std::vector<std::atomic<int>> ends(requestCount);
    std::atomic<int> timeouts{0};
    std::atomic<int> replies{0};
    std::atomic<bool> sending{true};
    auto tokenAdded = frames.frameAdded.subscribe([](std::uint64_t) {});

    std::vector<std::thread> io;
    for (int t = 0; t < 3; ++t) {
        io.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t));
            while (sending) {
                receive(
                    presence({.id = random() % 20, .changeMarkA = static_cast<int>(random() % 3)}));
                const std::uint32_t sequence = 1 + random() % requestCount;
                // Answer only even sequences; duplicates are common by chance.
                if (sequence % 2 == 0)
                    receive(datagram(36, 3, 2, sequence));
            }
        });
    }
    for (std::uint32_t i = 0; i < requestCount; ++i) {
        const std::uint32_t sequence = i + 1;
        ASSERT_TRUE(frames.sendRequest(
            50 + i % 50, someDevice, request(sequence),
            [&, i](const char*, unsigned, Vorn::ErrorCode code) {
                ends[i].fetch_add(1);
                (code == Vorn::ErrorCode::Success ? replies : timeouts).fetch_add(1);
            }));
    }
    const bool allEnded = waitUntil(
        [&] { return replies.load() + timeouts.load() >= static_cast<int>(requestCount); },
        20000ms);
    sending = false;
    for (auto& thread : io)
        thread.join();
    ASSERT_TRUE(allEnded);
    // The answering threads are joined; once nothing is pending and the worker
    // is idle no completion can come any more, so a second one would be counted.
    ASSERT_TRUE(waitUntil([&] { return frames.pendingCount() == 0 && frames.idle(); }, 20000ms));
    for (std::uint32_t i = 0; i < requestCount; ++i)
        EXPECT_EQ(ends[i].load(), 1) << "request " << i;
    EXPECT_GE(timeouts.load(), static_cast<int>(requestCount / 2)); // odd ones never answered
}

// The allocator's trim comes twice once a flood has passed and the table
// stayed small; a segment's ordinary coming and going never asks.
TEST(TrimSchedule, TrimsTwiceAfterAFloodHasPassed) {
    using Vorn::TrimSchedule;
    TrimSchedule trim;
    std::vector<int> trimmedAt; // sweeps
    int sweep = 0;
    auto sweeps = [&](std::size_t present, int count) {
        for (int i = 0; i < count; ++i, ++sweep)
            if (trim.afterSweep(present))
                trimmedAt.push_back(sweep);
    };
    sweeps(5000, 5);
    sweeps(10, 50); // below a flood's size
    sweeps(131072, 20);
    sweeps(40000, 10); // not yet a quarter of the peak
    EXPECT_TRUE(trimmedAt.empty());
    const int quietFrom = sweep;
    sweeps(12, 100);
    EXPECT_EQ(trimmedAt, (std::vector<int>{quietFrom + TrimSchedule::firstTrim - 1,
                                           quietFrom + TrimSchedule::lastTrim - 1}));
    trimmedAt.clear();
    sweeps(131072, 3); // the next flood
    sweeps(12, 100);
    EXPECT_EQ(trimmedAt.size(), 2u);
}

} // namespace
