#include "ServeController.h"

#include "engine/VornNetwork.h"

#include "Arguments.h"
#include "DeviceSession.h"
#include "JournalFile.h"
#include "SerialProgrammer.h"
#include "VornService.h"

#include <iostream>
#include <memory>

namespace Vornctl::Serve {
namespace {

// Ends a program run early when serve stops (thrown from its progress call).
struct Cancelled {};

} // namespace

ServeController::ServeController(DeviceSession& session) : session_(session) {
    relayThread_ = std::thread([this] { relay(); });
}

ServeController::~ServeController() {
    stopping_ = true;
    session_.stopEvents();
    relayThread_.join();
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
        [this](const DeviceEvent& event) {
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
                                  const std::string& client, const std::string& person,
                                  WriteDone done) {
    SerialWriteRequest request;
    request.id = id;
    request.target = serial;
    request.allowDuplicate = allowDuplicate;
    request.client = client;
    request.operatorName = person;
    // Every device the hub knows, of any product: a number is one device's.
    if (!allowDuplicate)
        for (const FoundDevice& row : hub_.devices(true))
            request.listed.push_back({row.id, row.name});
    return session_.submitWrite(std::move(request),
                                [this, done = std::move(done)](const SerialWriteReport& report) {
                                    WriteAnswer answer = writeAnswer(report);
                                    if (answer.report)
                                        counters_.countWrite(answer.report->result);
                                    else if (answer.status == 500)
                                        counters_.countJournalFailure();
                                    done(answer);
                                });
}

WriteAnswer writeAnswer(const SerialWriteReport& report) {
    WriteAnswer answer;
    answer.warnings = silentWarnings(report);
    if (report.result == Journal::WriteResult::Duplicate) {
        answer.status = 409;
        answer.error = duplicateRefusal(report) + " \"allowDuplicate\": true writes it anyway.";
        answer.holder = report.holder;
        return answer;
    }
    if (!report.found) {
        answer.status = 404;
        answer.error = "device " + formatDeviceId(report.id) + ": did not appear on the network";
        return answer;
    }
    if (report.before && !report.intentRecorded &&
        report.result != Journal::WriteResult::AlreadySet) {
        answer.status = 500;
        answer.error = report.journalError + "; nothing was written.";
        return answer;
    }
    std::string journalError;
    const ProgramRow row = programmedRow({0, report.id, report.target}, report, journalError);
    if (!journalError.empty()) {
        answer.status = 500;
        answer.error = journalError;
        return answer;
    }
    answer.report =
        WriteReport{report.id, row.before, report.target, row.after, row.result, row.detail};
    return answer;
}

MetricsSnapshot ServeController::metrics() const {
    MetricsSnapshot snapshot;
    snapshot.devices = hub_.devices(true);
    if (const VornNetwork* engine = session_.service().engine())
        snapshot.engine = engine->figures();
    snapshot.writes = counters_.writes();
    snapshot.journalFailures = counters_.journalFailures();
    snapshot.liveClients = hub_.clients();
    return snapshot;
}

void ServeController::select(std::uint64_t id, bool selected) {
    if (selected)
        session_.service().selectDevice(id);
    else
        session_.service().deselectDevice(id);
}

bool ServeController::program(std::vector<PlannedSerial> plan, bool dryRun, bool all,
                              const std::string& client, const std::string& person,
                              ProgramDone done) {
    std::lock_guard<std::mutex> lock(programMutex_);
    if (programBusy_ || stopping_)
        return false;
    if (programThread_.joinable())
        programThread_.join(); // the previous run, finished
    programBusy_ = true;
    programThread_ = std::thread(
        [this, plan = std::move(plan), dryRun, all, client, person, done = std::move(done)] {
            Options options;
            options.dryRun = dryRun;
            options.all = all;
            ProgramAnswer answer;
            bool cancelled = false;
            try {
                answer.rows = SerialProgrammer(session_, options, client, person)
                                  .run(plan, [this, &answer](const ProgramRow& row, std::size_t) {
                                      answer.rows.push_back(row);
                                      if (stopping_)
                                          throw Cancelled{};
                                  });
            } catch (const Cancelled&) {
                cancelled = true;
            } catch (const Journal::JournalError& failure) {
                counters_.countJournalFailure();
                answer.status = 500;
                answer.error = std::string("the program run stopped: ") + failure.what();
            } catch (const std::exception& failure) {
                // The rows done so far stay in the answer: each is in the journal.
                answer.status = 500;
                answer.error = std::string("the program run stopped: ") + failure.what();
            }
            if (!dryRun)
                for (const ProgramRow& row : answer.rows)
                    counters_.countWrite(row.result);
            {
                // Free before the answer leaves: a client that posts the next run as soon
                // as it has this one's report is not told that a run is going on.
                std::lock_guard<std::mutex> finished(programMutex_);
                programBusy_ = false;
            }
            if (!cancelled) {
                try {
                    done(answer);
                } catch (const std::exception& failure) {
                    std::cerr << "Error: answering a program run failed: " << failure.what()
                              << std::endl;
                }
            }
        });
    return true;
}

} // namespace Vornctl::Serve
