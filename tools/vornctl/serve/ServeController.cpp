#include "ServeController.h"

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

void ServeController::relay() {
    session_.relayEvents(
        [this](const WatchEvent& event) {
            hub_.apply(event);
            return true;
        },
        NameRounds::UntilNamed);
}

bool ServeController::readSerial(std::uint64_t id, SerialDone done) {
    return session_.service().requestSerialNumber(
        id, [done = std::move(done)](std::uint64_t, bool ok, unsigned serial) {
            done(ok ? std::optional<std::uint32_t>(serial) : std::nullopt);
        });
}

// The steps run in the engine's completions, which may send the next request;
// they hold the controller of the engine (which outlives every completion),
// not this object.
void ServeController::writeSerial(std::uint64_t id, std::uint32_t serial, WriteDone done) {
    VornService* service = &session_.service();
    auto report = std::make_shared<WriteReport>();
    report->id = id;
    report->target = serial;
    auto finish = [report, done = std::move(done)](ProgramResult result, std::string detail) {
        report->result = result;
        report->detail = std::move(detail);
        done(*report);
    };
    auto readBack = [service, report, finish](bool acknowledged) {
        auto judge = [report, finish, acknowledged](std::optional<std::uint32_t> after) {
            report->after = after;
            WriteJudgement judgement =
                judgeWrite(*report->before, report->target, acknowledged, after);
            finish(judgement.result, std::move(judgement.detail));
        };
        if (!service->requestSerialNumber(
                report->id, [judge](std::uint64_t, bool ok, unsigned after) {
                    judge(ok ? std::optional<std::uint32_t>(after) : std::nullopt);
                }))
            judge(std::nullopt);
    };
    const bool sent = service->requestSerialNumber(
        id, [service, report, finish, readBack](std::uint64_t, bool ok, unsigned before) {
            if (!ok)
                return finish(ProgramResult::NoAnswer,
                              "no answer to the serial number read; not written");
            report->before = before;
            if (before == report->target)
                return finish(ProgramResult::AlreadySet, "holds this number already; not written");
            if (!service->setSerialNumber(
                    report->id, report->target,
                    [readBack](std::uint64_t, bool acknowledged) { readBack(acknowledged); }))
                finish(ProgramResult::NoAnswer, "the device has gone; not written");
        });
    if (!sent)
        finish(ProgramResult::NoAnswer, "the device has gone; not written");
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
