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

static_assert(DeviceHub::defaultCap == Vorn::FrameList::defaultFrameCap,
              "the hub keeps every device the engine keeps");

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
                                    if (answer.counted)
                                        counters_.countWrite(*answer.counted);
                                    else if (answer.status == 500)
                                        counters_.countJournalFailure();
                                    done(answer);
                                });
}

WriteAnswer writeAnswer(const SerialWriteReport& report) {
    WriteAnswer answer;
    answer.warnings = silentWarnings(report);
    const auto reported = [&](int status) {
        std::string journalError;
        const ProgramRow row = programmedRow({0, report.id, report.target}, report, journalError);
        answer.status = status;
        answer.report = WriteReport{
            report.id, row.before, report.target, row.after, writeOutcomeName(report.outcome),
            row.detail};
        answer.counted = row.result;
        return answer;
    };
    const auto refused = [&](int status, std::string error) {
        answer.status = status;
        answer.refusal = {
            writeOutcomeName(report.outcome), std::move(error), answer.warnings, {}, {}};
        return answer;
    };
    switch (report.outcome) {
    case WriteOutcome::Verified:
    case WriteOutcome::AlreadySet:
        return reported(200);
    case WriteOutcome::Refused:
        return reported(409);
    case WriteOutcome::NoAnswer:
    case WriteOutcome::Unverified:
    case WriteOutcome::Unreadable:
        return reported(504);
    case WriteOutcome::Mismatch:
        return reported(502); // answered, but not as written
    case WriteOutcome::Duplicate:
        refused(409, duplicateRefusal(report) + " \"allowDuplicate\": true writes it anyway.");
        if (report.holder) {
            answer.refusal.holderId = report.holder->id;
            answer.refusal.holderName = report.holder->name;
        }
        return answer;
    case WriteOutcome::NotFound:
        return refused(404,
                       "device " + formatDeviceId(report.id) + ": did not appear on the network");
    case WriteOutcome::JournalUnwritable:
        return refused(500, report.error + "; nothing was written.");
    case WriteOutcome::Unrecorded:
    case WriteOutcome::Failed:
        return refused(500, report.error);
    }
    return refused(500, report.error);
}

MetricsSnapshot ServeController::metrics() const {
    MetricsSnapshot snapshot;
    snapshot.devices = hub_.devices(true);
    if (const VornNetwork* engine = session_.service().engine())
        snapshot.engine = engine->figures();
    snapshot.writes = counters_.writes();
    snapshot.journalFailures = counters_.journalFailures();
    snapshot.liveClients = hub_.clients();
    snapshot.devicesDropped = devicesDropped();
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
