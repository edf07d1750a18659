#pragma once

#include "ApiJson.h"
#include "DeviceHub.h"
#include "Output.h"
#include "SerialPlan.h"
#include "SerialWriteFlow.h"
#include "ServeMetrics.h"

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class DeviceSession;

namespace Vornctl::Serve {

// What became of a serial write requested through the API: the HTTP status
// and either the write's report or the refusal (both with the outcome's code).
struct WriteAnswer {
    int status = 0;
    std::optional<WriteReport> report; // the device was read (and perhaps written)
    WriteRefusal refusal;              // without a report: why, and the warnings
    std::vector<std::string> warnings; // devices of the duplicate check that did not answer
    // For the metrics: the program table's result of a write with a report.
    std::optional<ProgramResult> counted;
};

// What became of a program run: 200 with every row, or (the journal failed,
// or anything else went wrong) 500 with the reason and the rows done so far.
struct ProgramAnswer {
    int status = 200;
    std::string error;
    std::vector<ProgramRow> rows;
};

// What vornctl serve does with the devices, over a started session whose
// events are published (DeviceSession::publishEvents): keeps the hub up to date on
// a thread of its own, and runs the device operations of the API. The
// callbacks run on the engine's threads (or the program thread): they must
// only hand the result over. Destroy it before the session.
class ServeController {
public:
    explicit ServeController(DeviceSession& session);
    ~ServeController();
    ServeController(const ServeController&) = delete;
    ServeController& operator=(const ServeController&) = delete;

    DeviceHub& hub() { return hub_; }
    // New devices not kept for want of room, in the engine's table or the hub,
    // since the start (see Vorn::FrameList::defaultFrameCap, DeviceHub).
    std::uint64_t devicesDropped() const;

    // The number read, or nothing when the device did not answer. False:
    // nothing was sent (the device is unknown to the engine), no callback.
    using SerialDone = std::function<void(std::optional<std::uint32_t>)>;
    bool readSerial(std::uint64_t id, SerialDone done);

    // Writes a serial number through the controller's write flow, as
    // vornctl serial set does: refuses (unless `allowDuplicate`) a number
    // another device on the network holds, writes unless the device holds it already,
    // reads it back, recorded in the journal with `client`, the address that
    // asked, and `person` as the operator. `done` is called once, on the
    // flow's thread. False (nothing done) when too many writes wait already.
    using WriteDone = std::function<void(const WriteAnswer&)>;
    bool writeSerial(std::uint64_t id, std::uint32_t serial, bool allowDuplicate,
                     const std::string& client, const std::string& person, WriteDone done);

    void select(std::uint64_t id, bool selected);

    // For GET /metrics: the figures of this moment.
    MetricsSnapshot metrics() const;

    // Runs a checked plan as vornctl serial program does, on a thread of its
    // own, each write through the write flow's queue with the serial writes,
    // and hands over the answer (always, unless serve stops first). False
    // (nothing done) while a run is going on.
    using ProgramDone = std::function<void(const ProgramAnswer&)>;
    bool program(std::vector<PlannedSerial> plan, bool dryRun, bool all, const std::string& client,
                 const std::string& person, ProgramDone done);

private:
    void relay();

    DeviceSession& session_;
    DeviceHub hub_;
    ServeCounters counters_;
    std::thread relayThread_;

    std::mutex programMutex_;
    bool programBusy_ = false;  // guarded by programMutex_
    std::thread programThread_; // guarded by programMutex_
    std::atomic<bool> stopping_{false};
};

// Serve's table of a write's outcomes: the answer to a serial write from the
// flow's report.
WriteAnswer writeAnswer(const SerialWriteReport& report);

} // namespace Vornctl::Serve
