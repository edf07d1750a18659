#pragma once

#include "ApiJson.h"
#include "DeviceHub.h"
#include "Output.h"
#include "SerialPlan.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace Vornctl {
class Session;
}

namespace Vornctl::Serve {

// What became of a serial write requested through the API.
struct WriteAnswer {
    std::optional<WriteReport> report; // none: nothing was sent, see `status`
    int status = 0;                    // without a report: the HTTP status
    std::string error;                 // without a report: why
    std::vector<std::string> warnings; // devices of the duplicate check that did not answer
};

// What vornctl serve does with the devices, over a started session whose
// events are published (Session::publishEvents): keeps the hub up to date on
// a thread of its own, and runs the device operations of the API. The
// callbacks run on the engine's threads (or the program thread): they must
// only hand the result over. Destroy it before the session.
class ServeController {
public:
    explicit ServeController(Session& session);
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

    // Writes a serial number as vornctl serial set does, on the writer
    // thread: refuses (unless `allowDuplicate`) a number another listed device
    // holds, reads the present one, writes unless the device holds it
    // already, and reads it back, recorded in the journal. Every serial number
    // serve writes goes through here. `done` is called once, on the writer
    // thread. False (nothing done) when too many writes wait already.
    using WriteDone = std::function<void(const WriteAnswer&)>;
    bool writeSerial(std::uint64_t id, std::uint32_t serial, bool allowDuplicate, bool all,
                     WriteDone done);

    void select(std::uint64_t id, bool selected);

    // Runs a checked plan as vornctl serial program does, on a thread of its
    // own, and hands over the rows. False (nothing done) while a run is going on.
    using ProgramDone = std::function<void(const std::vector<ProgramRow>&)>;
    bool program(std::vector<PlannedSerial> plan, bool dryRun, bool all, ProgramDone done);

private:
    void relay();
    void runWrites();
    WriteAnswer write(std::uint64_t id, std::uint32_t serial, bool allowDuplicate, bool all);

    Session& session_;
    DeviceHub hub_;
    std::thread relayThread_;

    std::mutex programMutex_;
    bool programBusy_ = false;  // guarded by programMutex_
    std::thread programThread_; // guarded by programMutex_
    std::atomic<bool> stopping_{false};

    std::mutex writesMutex_;
    std::condition_variable writesChanged_;
    std::deque<std::function<void()>> writes_; // guarded by writesMutex_
    bool writesEnd_ = false;                   // guarded by writesMutex_
    std::thread writerThread_;
};

} // namespace Vornctl::Serve
