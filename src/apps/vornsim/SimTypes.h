#pragma once

// The values the device simulator is configured with and reports: devices,
// faults, events and counters. Plain data, shared by the simulated devices
// (SimulatedRack), their network shell (DeviceSimulator) and vornsim.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace VornSim {

// The 64 bytes a device returns at 32..95 of its board-id reply.
using BoardRecord = std::array<unsigned char, 64>;
// Offset of the board id inside the record (60 in the message).
constexpr std::size_t boardIdInRecord = 28;

// Faults a device can show. The global set applies to every device without a
// set of its own.
struct Faults {
    double dropProbability = 0.0; // share of received requests ignored (0..1)
    std::uint32_t delayMs = 0;    // replies leave this much later
    bool duplicate = false;       // every reply is sent twice
    bool refuseWrites = false;    // board-id writes are refused (ackStatus 0)
    bool keepSerial = false;      // board-id writes are acknowledged, the old number kept
    bool muteAfterWrite = false;  // a board-id write is answered, then nothing more is
    bool silent = false;          // requests are acted on, nothing is ever sent
    bool malformed = false;       // replies carry a wrong command code (code + 1000)
    bool shortReplies = false;    // replies one byte below the minimum for their code
    bool gone = false; // the device has left: no presence, requests neither acted on nor answered

    bool operator==(const Faults&) const = default;
};

// One simulated device as configured.
struct DeviceSetup {
    std::uint64_t id = 0;                      // frame id
    std::uint16_t typeWord = 2;                // header sourceType; 1 and 6 are not device types
    std::uint8_t deviceType = 10;              // presence byte 72 (10..13: the listed products)
    std::string name;                          // at most 127 bytes, no NUL
    std::string address = "127.0.0.2";         // local IPv4 address the device sends from
    std::uint32_t serial = 0;                  // board id
    std::uint32_t modeFlags = 0;               // presence u32 at 64
    std::int32_t changeMarkA = 0;              // presence i32 at 48
    std::int32_t changeMarkB = 0;              // presence i32 at 60
    std::array<std::uint32_t, 2> stationTag{}; // presence bytes 80..83 and 84..87
    bool wrapped = false;                      // announce with wrapped presence (code 5, 436 bytes)
    std::optional<BoardRecord> boardRecord;    // default: defaultBoardRecord(id, serial)
};

// A recognisable record per device: bytes 0..7 hold the frame id as on the
// wire, the rest count up from the id's low byte in steps of 0x11; the board
// id sits at boardIdInRecord.
BoardRecord defaultBoardRecord(std::uint64_t id, std::uint32_t serial);

struct SimulatorConfig {
    std::uint16_t port = 6017; // 0: the system chooses (see DeviceSimulator::port)
    std::string bindAddress = "0.0.0.0";
    bool reuseAddress = false;
    int receiveBufferBytes = 4 << 20; // asked of the system for bursts of requests
    unsigned threads = 2;             // I/O threads, at least 1
    std::uint64_t seed = 1;           // drop decisions
    std::chrono::milliseconds presenceInterval{1000};
    std::chrono::milliseconds toolLifetime{10000}; // a tool not heard for longer is dropped
    Faults faults;
    std::vector<DeviceSetup> devices;
};

enum class EventKind {
    ToolHeard,    // a tool's presence (command 9) from a new address and port
    ToolLost,     // a tool not heard for longer than toolLifetime
    Request,      // a request for a known device arrived
    Dropped,      // ...and is ignored by the drop fault
    Ignored,      // a request for an unknown frame id, or unusable bytes
    Unheard,      // a request for a device that has left (the gone fault)
    ReplyLost,    // a reply was not sent: one of the replies to lose (loseReplies)
    Reply,        // a reply left (value: its size; counted once when duplicated)
    SerialSet,    // a board-id write was accepted (value: new board id)
    WriteRefused, // a board-id write was refused (value: the id asked for)
    Select,       // MSG_SelectMe (value: the mark)
    SendFailed,   // a send completed with an error
};

// One thing the simulator saw or did, for its event sink.
struct SimEvent {
    EventKind kind = EventKind::Request;
    std::uint64_t device = 0; // the device, or the destination id asked for (Ignored)
    std::uint16_t command = 0;
    std::uint32_t sequence = 0;
    std::uint32_t address = 0; // peer IPv4, host order
    std::uint16_t port = 0;    // peer port
    std::uint32_t value = 0;
};

// What a device holds and has received.
struct DeviceReport {
    DeviceSetup setup;                            // current values (serial follows accepted writes)
    BoardRecord boardRecord;                      // as the next board-id reply will carry it
    Faults faults;                                // in effect
    bool ownFaults = false;                       // faults set for this device alone
    std::optional<BoardRecord> lastWrittenRecord; // record of the last MSG_SetBoardID
    std::optional<std::uint16_t> selectMark;      // last MSG_SelectMe mark
    std::map<std::uint16_t, std::uint64_t> requestCounts; // by command code
    std::vector<char> lastRequest;                        // bytes of the last request
    std::uint64_t repliesSent = 0;
    std::uint64_t presenceSent = 0;
    std::uint32_t repliesToLose = 0; // replies still to be lost after acting on the request
    std::uint16_t loseCode = 0;      // ...only those with this code; 0: any
    bool holdingReplies = false;     // replies are held (holdReplies)
    bool mutedByWrite = false;       // answered a write under muteAfterWrite: answers nothing
    std::size_t repliesHeld = 0;     // ...and this many wait to be released
};

struct Counters {
    std::uint64_t datagrams = 0;    // everything received
    std::uint64_t toolPresence = 0; // command-9 messages
    std::uint64_t requests = 0;     // for known devices
    std::uint64_t dropped = 0;
    std::uint64_t ignored = 0;  // unknown destination or unusable
    std::uint64_t replies = 0;  // datagrams sent in answer (duplicates included)
    std::uint64_t presence = 0; // presence datagrams sent
    std::uint64_t sendErrors = 0;
    std::size_t tools = 0; // tools heard within toolLifetime
};

} // namespace VornSim
