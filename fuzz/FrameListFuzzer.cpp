// The frame list's receive path driven by a script of records, over a transport
// that keeps nothing and clocks the input moves: datagrams from two senders
// (presence, wrapped presence, replies that match a pending request or not,
// short, long and negative-length messages), requests under a small set of
// sequences, and sweeps after the wall clock has moved on.
//
// Record: [u8 kind][u16 length, little-endian][length bytes]
//   kind % 4 == 0, 1  the bytes arrive as one datagram from 127.0.0.2 or 127.0.0.3
//   kind % 4 == 2     a request goes out; its sequence is 1 + byte 0 % 16
//   kind % 4 == 3     the wall clock moves on by byte 0 seconds; then a sweep
//
// Properties: a request completes at most once, only with a reply carrying its
// own sequence, and never once a later request has replaced it; a message the
// receive path must reject adds no frame; a message that reaches
// commandReceived holds at least a whole header.
//
// One frame list serves every input (starting and joining its three threads
// for each input made the target 25 times slower), but each input starts from
// the same state: no frame, no destination, no pending request. Each input ends
// by bringing the list back to it, so a finding never depends on the inputs
// run before it and its file reproduces it alone. Destinations are forgotten as
// their frames leave (a cap of 0); the cap's choice of the longest absent is
// tested on its own.

#include "FuzzCheck.h"
#include "engine/FrameList.h"
#include "transport/Transport.h"
#include "wire/NetworkType.h"
#include "wire/Wire.h"

#include <atomic>
#include <map>
#include <memory>
#include <vector>

namespace {

class DiscardingTransport : public Network::Transport {
public:
    bool broadcast(const char*, std::size_t) override { return true; }
    bool sendTo(const char*, std::size_t, std::uint32_t, std::uint16_t) override { return true; }
};

constexpr std::uint32_t senders[2] = {0x7F000002, 0x7F000003};
// Every sweep forgets the destinations of the frames it removes (the cap is
// exceeded by any absent frame), so that no input leaves a destination behind.
constexpr std::size_t destinationCap = 0;

// What the test knows of one request it made.
struct Sent {
    std::uint32_t sequence = 0;
    int completions = 0;
    bool replaced = false;
};

std::vector<char> requestBytes(std::uint16_t command, std::uint32_t sequence) {
    std::vector<char> bytes(36, 0);
    Vorn::Wire::writeU16(bytes.data() + Vorn::Header::length, 36);
    Vorn::Wire::writeU16(bytes.data() + Vorn::Header::command, command);
    Vorn::Wire::writeU32(bytes.data() + Vorn::Header::sequence, sequence);
    return bytes;
}

struct Harness {
    Vorn::AnyNetworkType type;
    DiscardingTransport transport;
    std::atomic<std::int64_t> wallSeconds{1000000};
    std::unique_ptr<Vorn::FrameList> frames;
    Vorn::FrameList::CommandEvent::Token commands;

    Harness() {
        Vorn::FrameList::Clocks clocks;
        clocks.wallSeconds = [this] { return wallSeconds.load(); };
        clocks.steadyNanoseconds = [] { return std::uint64_t{0}; }; // no request ever times out
        frames = std::make_unique<Vorn::FrameList>(type, transport, clocks, destinationCap);
        commands = frames->commandReceived.subscribe(
            [](std::uint64_t, const Vorn::Command<Vorn::MSG_CmdHdr>& command) {
                FUZZ_CHECK(command.valid ? command.size() >= Vorn::Header::size
                                         : command.size() == 0);
            });
    }

    // Brings the list back to the state every input starts from: its pending
    // requests are answered (`unanswered` sequences) and the clock moves past
    // every frame's lifetime; with a cap of 0, the sweep that removes the
    // frames forgets their destinations as well.
    void settle(const std::vector<std::uint32_t>& unanswered) {
        for (std::uint32_t sequence : unanswered) {
            const auto reply = requestBytes(Vorn::Code::acknowledgement, sequence);
            frames->onReceive(reply.data(), reply.size(), senders[0]); // from a device type
        }
        FUZZ_CHECK(frames->pendingCount() == 0);
        wallSeconds += 11;
        frames->sweep();
    }
};

Harness& harness() {
    static Harness instance;
    return instance;
}

// The sequences whose latest request has not completed.
std::vector<std::uint32_t> unanswered(const std::map<std::uint32_t, std::size_t>& latest,
                                      const std::vector<Sent>& sent) {
    std::vector<std::uint32_t> sequences;
    for (const auto& [sequence, ticket] : latest)
        if (sent[ticket].completions == 0)
            sequences.push_back(sequence);
    return sequences;
}

bool present(Vorn::FrameList& frames, std::uint64_t id) {
    return frames.findFrame(id).has_value();
}

// The receive path's rules, restated from the message layouts: which datagrams
// must never create a frame.
bool mustBeRejected(const char* data, std::size_t size, const Vorn::NetworkType& type) {
    if (size < Vorn::Header::size || size > Network::Server::maxDatagram)
        return true;
    const char* message = data;
    std::size_t length = size;
    if (const char* embedded = Vorn::unwrapPresence(data, size)) {
        message = embedded;
        length = Vorn::presenceSize;
    }
    const std::int16_t declared = Vorn::Wire::readI16(message + Vorn::Header::length);
    if (declared < static_cast<std::int16_t>(Vorn::Header::size) ||
        static_cast<std::size_t>(declared) > length)
        return true;
    if (Vorn::Wire::readU16(message + Vorn::Header::command) != Vorn::Code::presence)
        return true; // only presence messages create frames
    std::vector<char> header(message, message + Vorn::Header::size);
    Vorn::MSG_CmdHdr view(header.data());
    type.normalizeHeader(view);
    const std::uint32_t mode = Vorn::modeFromFlags(Vorn::decodePresence(message, length).modeFlags);
    return mode == 0 && !type.isDeviceType(view);
}

void receive(Harness& h, const char* data, std::size_t size, std::uint32_t sender) {
    const bool reject = mustBeRejected(data, size, h.type);
    std::uint64_t id = 0;
    bool before = false;
    if (reject && size >= Vorn::Header::size) {
        const char* embedded = Vorn::unwrapPresence(data, size);
        id = Vorn::Wire::readFrameId((embedded ? embedded : data) + Vorn::Header::sourceId);
        before = present(*h.frames, id);
    }
    h.frames->onReceive(data, size, sender);
    if (reject && size >= Vorn::Header::size)
        FUZZ_CHECK(present(*h.frames, id) == before);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    Harness& h = harness();
    // Sent requests by ticket; the completions check against their own entry.
    auto sent = std::make_shared<std::vector<Sent>>();
    std::map<std::uint32_t, std::size_t> latest; // sequence -> ticket of its pending request

    std::size_t at = 0;
    while (at + 3 <= size) {
        const std::uint8_t kind = bytes[at];
        const std::size_t length = std::min<std::size_t>(
            Vorn::Wire::readU16(reinterpret_cast<const char*>(bytes + at + 1)), size - at - 3);
        // An exact copy of the record's bytes: reads past them are findings.
        const std::vector<char> record(bytes + at + 3, bytes + at + 3 + length);
        at += 3 + length;
        switch (kind % 4) {
        case 0:
        case 1:
            receive(h, record.data(), record.size(), senders[kind % 4]);
            break;
        case 2: {
            const std::uint32_t sequence = 1 + (record.empty() ? 0u : record[0] & 0x0Fu);
            Vorn::Message request;
            request.bytes = requestBytes(Vorn::Code::getBoardId, sequence);
            const std::size_t ticket = sent->size();
            sent->push_back({sequence, 0, false});
            if (auto previous = latest.find(sequence); previous != latest.end())
                (*sent)[previous->second].replaced = true;
            latest[sequence] = ticket;
            const bool accepted = h.frames->sendRequest(
                60000, Vorn::Destination{1, senders[0], false}, request,
                [sent, ticket](const char* reply, unsigned replyLength, Vorn::ErrorCode code) {
                    Sent& entry = (*sent)[ticket];
                    FUZZ_CHECK(!entry.replaced);
                    FUZZ_CHECK(++entry.completions == 1);
                    FUZZ_CHECK(code == Vorn::ErrorCode::Success);
                    FUZZ_CHECK(reply != nullptr && replyLength >= Vorn::Header::size);
                    FUZZ_CHECK(Vorn::Wire::readU32(reply + Vorn::Header::sequence) ==
                               entry.sequence);
                });
            FUZZ_CHECK(accepted);
            break;
        }
        default:
            h.wallSeconds += record.empty() ? 0 : static_cast<std::uint8_t>(record[0]);
            h.frames->sweep();
            break;
        }
    }
    h.settle(unanswered(latest, *sent));
    return 0;
}
