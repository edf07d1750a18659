#include "ServeController.h"

#include "JournalFile.h"
#include "SerialProgrammer.h"
#include "Session.h"
#include "VornService.h"

#include <iostream>
#include <memory>

namespace Vornctl::Serve {
namespace {

// Ends a program run early when serve stops (thrown from its progress call).
struct Cancelled {};

} // namespace

ServeController::ServeController(Session& session) : session_(session) {
    relayThread_ = std::thread([this] { relay(); });
    writerThread_ = std::thread([this] { runWrites(); });
}

ServeController::~ServeController() {
    stopping_ = true;
    session_.stopEvents();
    relayThread_.join();
    {
        std::lock_guard<std::mutex> lock(writesMutex_);
        writesEnd_ = true;
        writes_.clear(); // not begun: their connections are closing
    }
    writesChanged_.notify_one();
    writerThread_.join(); // the write in progress, seconds at most
    std::thread program;
    {
        std::lock_guard<std::mutex> lock(programMutex_);
        program = std::move(programThread_);
    }
    // At most the device in progress (about 8 s when it does not answer).
    if (program.joinable())
        program.join();
}

// Every device reaches the hub, whatever serve was started with: the page and
// the API show the other products too when asked (?all=1).
void ServeController::relay() {
    session_.relayEvents(
        [this](const WatchEvent& event) {
            hub_.apply(event);
            return true;
        },
        NameRounds::UntilNamed, true);
}

std::uint64_t ServeController::devicesDropped() const {
    VornNetwork* engine = session_.service().engine();
    return hub_.dropped() + (engine ? engine->frameList().framesDropped() : 0);
}

bool ServeController::readSerial(std::uint64_t id, SerialDone done) {
    return session_.service().requestSerialNumber(
        id, [done = std::move(done)](std::uint64_t, bool ok, unsigned serial) {
            done(ok ? std::optional<std::uint32_t>(serial) : std::nullopt);
        });
}

bool ServeController::writeSerial(std::uint64_t id, std::uint32_t serial, bool allowDuplicate,
                                  bool all, WriteDone done) {
    // Each write waits seconds at most; a few queued are plenty for people.
    constexpr std::size_t queuedWrites = 16;
    {
        std::lock_guard<std::mutex> lock(writesMutex_);
        if (writesEnd_ || writes_.size() >= queuedWrites)
            return false;
        writes_.push_back([this, id, serial, allowDuplicate, all, done = std::move(done)] {
            WriteAnswer answer;
            try {
                answer = write(id, serial, allowDuplicate, all);
            } catch (const std::exception& failure) {
                answer.status = 500;
                answer.error = std::string("the serial write failed: ") + failure.what();
            }
            done(answer);
        });
    }
    writesChanged_.notify_one();
    return true;
}

void ServeController::runWrites() {
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock<std::mutex> lock(writesMutex_);
            writesChanged_.wait(lock, [this] { return writesEnd_ || !writes_.empty(); });
            if (writes_.empty())
                return;
            job = std::move(writes_.front());
            writes_.pop_front();
        }
        try {
            job();
        } catch (const std::exception& failure) {
            std::cerr << "Error: answering a serial write failed: " << failure.what() << std::endl;
        }
    }
}

// As vornctl serial set: the duplicate check, then one device programmed
// (read, recorded, written, read back) as vornctl serial program does.
WriteAnswer ServeController::write(std::uint64_t id, std::uint32_t serial, bool allowDuplicate,
                                   bool all) {
    WriteAnswer answer;
    if (!allowDuplicate) {
        DuplicateCheck check = session_.checkDuplicate(id, serial);
        answer.warnings = std::move(check.warnings);
        if (!check.refusal.empty()) {
            answer.status = 409;
            answer.error = check.refusal + " \"allowDuplicate\": true writes it anyway.";
            return answer;
        }
    }
    Options options;
    options.all = all;
    std::vector<ProgramRow> rows;
    bool rowDone = false; // the device's row is complete: the journal failed after the write
    try {
        rows = SerialProgrammer(session_, options)
                   .run({PlannedSerial{0, id, serial}},
                        [&rowDone](const ProgramRow&, std::size_t) { rowDone = true; });
    } catch (const Journal::JournalError& failure) {
        answer.status = 500;
        answer.error = std::string(failure.what()) + (rowDone ? "" : "; nothing was written.");
        return answer;
    }
    const ProgramRow& row = rows.front();
    if (row.result == ProgramResult::NotFound || row.result == ProgramResult::NotServiced) {
        answer.status = 404;
        answer.error = "device " + formatDeviceId(id) + ": " + row.detail;
        return answer;
    }
    answer.report = WriteReport{id, row.before, serial, row.after, row.result, row.detail};
    return answer;
}

void ServeController::select(std::uint64_t id, bool selected) {
    if (selected)
        session_.service().selectDevice(id);
    else
        session_.service().deselectDevice(id);
}

bool ServeController::program(std::vector<PlannedSerial> plan, bool dryRun, bool all,
                              ProgramDone done) {
    std::lock_guard<std::mutex> lock(programMutex_);
    if (programBusy_ || stopping_)
        return false;
    if (programThread_.joinable())
        programThread_.join(); // the previous run, finished
    programBusy_ = true;
    programThread_ =
        std::thread([this, plan = std::move(plan), dryRun, all, done = std::move(done)] {
            Options options;
            options.dryRun = dryRun;
            options.all = all;
            try {
                const auto rows = SerialProgrammer(session_, options)
                                      .run(plan, [this](const ProgramRow&, std::size_t) {
                                          if (stopping_)
                                              throw Cancelled{};
                                      });
                done(rows);
            } catch (const Cancelled&) {
            } catch (const std::exception& failure) {
                std::cerr << "Error: serial program run failed: " << failure.what() << std::endl;
            }
            std::lock_guard<std::mutex> finished(programMutex_);
            programBusy_ = false;
        });
    return true;
}

} // namespace Vornctl::Serve
