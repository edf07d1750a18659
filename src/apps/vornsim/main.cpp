// vornsim: simulated devices for development, demonstrations and end-to-end
// tests. See `vornsim --help`.

#include "DeviceSimulator.h"
#include "Options.h"
#include "VornVersion.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <functional>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <poll.h>
#include <unistd.h>
#endif

using namespace VornSim;

namespace {

// Whole lines on stdout, flushed one by one; callable from any thread.
class Output {
public:
    explicit Output(bool quiet) : quiet_(quiet) {}

    void line(const std::string& text) {
        std::lock_guard lock(mutex_);
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fputc('\n', stdout);
        std::fflush(stdout);
    }

    void event(const SimEvent& event) {
        const bool perRequest = event.kind != EventKind::ToolHeard &&
                                event.kind != EventKind::ToolLost &&
                                event.kind != EventKind::SendFailed;
        if (quiet_ && perRequest)
            return;
        line(formatEvent(event));
    }

private:
    const bool quiet_;
    std::mutex mutex_; // serialises writes to stdout
};

void error(const std::string& text) {
    std::fprintf(stderr, "vornsim: %s\n", text.c_str());
    std::fflush(stderr);
}

// Lines from stdin, giving up within a fraction of a second once `stop` is set.
class StdinLines {
public:
    enum class Result { Line, End, Stopped };

    Result next(std::string& line, const std::atomic<bool>& stop) {
        for (;;) {
            const auto newline = pending_.find('\n');
            if (newline != std::string::npos) {
                line = pending_.substr(0, newline);
                pending_.erase(0, newline + 1);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                return Result::Line;
            }
            if (ended_) {
                if (pending_.empty())
                    return Result::End;
                line.swap(pending_);
                pending_.clear();
                return Result::Line;
            }
            if (stop)
                return Result::Stopped;
            if (!waitReadable())
                continue;
            char buffer[4096];
            const long got = readSome(buffer, sizeof buffer);
            if (got <= 0)
                ended_ = true;
            else
                pending_.append(buffer, static_cast<std::size_t>(got));
        }
    }

private:
#ifdef _WIN32
    // Pipes are polled; a console or file is read directly (Ctrl+C ends a
    // console read).
    bool waitReadable() {
        const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
        if (GetFileType(input) != FILE_TYPE_PIPE)
            return true;
        DWORD available = 0;
        if (!PeekNamedPipe(input, nullptr, 0, nullptr, &available, nullptr))
            return true; // broken pipe: the read reports the end
        if (available > 0)
            return true;
        Sleep(50);
        return false;
    }

    long readSome(char* buffer, std::size_t size) {
        DWORD got = 0;
        if (!ReadFile(GetStdHandle(STD_INPUT_HANDLE), buffer, static_cast<DWORD>(size), &got,
                      nullptr))
            return -1;
        return static_cast<long>(got);
    }
#else
    bool waitReadable() {
        pollfd input{STDIN_FILENO, POLLIN, 0};
        return ::poll(&input, 1, 100) != 0;
    }

    long readSome(char* buffer, std::size_t size) {
        for (;;) {
            const ssize_t got = ::read(STDIN_FILENO, buffer, size);
            if (got >= 0 || errno != EINTR)
                return static_cast<long>(got);
        }
    }
#endif

    std::string pending_;
    bool ended_ = false;
};

void dump(DeviceSimulator& simulator, Output& out) {
    out.line("faults " + formatFaults(simulator.faults()));
    for (const std::uint64_t id : simulator.deviceIds())
        if (const auto report = simulator.device(id))
            out.line(formatDevice(*report));
    out.line(formatCounters(simulator.counters()));
}

bool onOff(const std::string& word) {
    if (word == "on" || word == "1")
        return true;
    if (word == "off" || word == "0")
        return false;
    throw UsageError("expected on or off, not '" + word + "'");
}

// One control command. Returns false for "quit".
bool control(const std::string& line, DeviceSimulator& simulator, Output& out) {
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;)
        w.push_back(word);
    if (w.empty())
        return true;
    const std::string& verb = w[0];
    if (verb == "quit")
        return false;
    if (verb == "dump") {
        dump(simulator, out);
    } else if (verb == "faults") {
        out.line("faults " + formatFaults(simulator.faults()));
    } else if (verb == "clear" && w.size() <= 2) {
        if (w.size() == 1)
            simulator.setFaults({});
        else if (!simulator.setDeviceFaults(parseId(w[1]), std::nullopt))
            throw UsageError("no device " + w[1]);
    } else if (verb == "serial" && w.size() == 3) {
        if (!simulator.setSerial(parseId(w[1]), static_cast<std::uint32_t>(
                                                    parseNumber(w[2], 0xFFFFFFFFu, "serial"))))
            throw UsageError("no device " + w[1]);
    } else if (verb == "mode" && w.size() == 3) {
        if (!simulator.setModeFlags(
                parseId(w[1]), static_cast<std::uint32_t>(parseNumber(w[2], 0xFFFFFFFFu, "mode"))))
            throw UsageError("no device " + w[1]);
    } else if (verb == "lose-replies" && (w.size() == 3 || w.size() == 4)) {
        const auto count =
            static_cast<std::uint32_t>(parseNumber(w[2], 0xFFFFFFFFu, "reply count"));
        const auto code = static_cast<std::uint16_t>(
            w.size() == 4 ? parseNumber(w[3], 0xFFFF, "command code") : 0);
        if (!simulator.loseReplies(parseId(w[1]), count, code))
            throw UsageError("no device " + w[1]);
    } else if (verb == "changemark" && (w.size() == 3 || w.size() == 4)) {
        const std::int32_t a = parseSigned(w[2], "change mark");
        const std::int32_t b = w.size() == 4 ? parseSigned(w[3], "change mark") : 0;
        if (!simulator.setChangeMarks(parseId(w[1]), a, b))
            throw UsageError("no device " + w[1]);
    } else {
        // Fault switches: VERB [ID] VALUE.
        std::function<void(Faults&)> change;
        const std::string& value = w.back();
        if (verb == "silent")
            change = [on = onOff(value)](Faults& f) { f.silent = on; };
        else if (verb == "duplicate")
            change = [on = onOff(value)](Faults& f) { f.duplicate = on; };
        else if (verb == "refuse-writes")
            change = [on = onOff(value)](Faults& f) { f.refuseWrites = on; };
        else if (verb == "keep-serial")
            change = [on = onOff(value)](Faults& f) { f.keepSerial = on; };
        else if (verb == "mute-after-write")
            change = [on = onOff(value)](Faults& f) { f.muteAfterWrite = on; };
        else if (verb == "malformed")
            change = [on = onOff(value)](Faults& f) { f.malformed = on; };
        else if (verb == "short")
            change = [on = onOff(value)](Faults& f) { f.shortReplies = on; };
        else if (verb == "gone")
            change = [on = onOff(value)](Faults& f) { f.gone = on; };
        else if (verb == "drop")
            change = [p = parseProbability(value)](Faults& f) { f.dropProbability = p; };
        else if (verb == "delay")
            change = [ms = static_cast<std::uint32_t>(parseNumber(value, 3600000, "delay"))](
                         Faults& f) { f.delayMs = ms; };
        if (!change || w.size() < 2 || w.size() > 3)
            throw UsageError("unknown command '" + line + "'");
        if (w.size() == 2) {
            Faults faults = simulator.faults();
            change(faults);
            simulator.setFaults(faults);
        } else if (!simulator.updateDeviceFaults(parseId(w[1]), change)) {
            throw UsageError("no device " + w[1]);
        }
    }
    out.line("ok " + line);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const std::string program = "vornsim";
    ProgramOptions options;
    try {
        options = parseOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        error(e.what());
        std::fprintf(stderr, "Try '%s --help'.\n", program.c_str());
        return 2;
    }
    if (options.version) {
        std::printf("%s %s\n", program.c_str(), Vorn::version);
        return 0;
    }
    if (options.help) {
        std::fputs(usage(program).c_str(), stdout);
        return 0;
    }

    Output out(options.quiet);
    try {
        // Signals are caught before the first device is announced.
        boost::asio::io_context signals;
        boost::asio::signal_set stopSignals(signals, SIGINT, SIGTERM);
        std::atomic<bool> stop{false};
        stopSignals.async_wait([&stop](const boost::system::error_code& e, int) {
            if (!e)
                stop = true;
        });

        DeviceSimulator simulator(options.config, [&out](const SimEvent& e) { out.event(e); });
        std::set<std::string> addresses;
        for (const DeviceSetup& device : options.config.devices)
            addresses.insert(device.address);
        if (!options.quiet)
            for (const std::uint64_t id : simulator.deviceIds())
                out.line(formatDevice(*simulator.device(id)));
        out.line("ready port=" + std::to_string(simulator.port()) +
                 " bind=" + options.config.bindAddress +
                 " devices=" + std::to_string(options.config.devices.size()) +
                 " addresses=" + std::to_string(addresses.size()));

        if (options.stdinControl) {
            std::thread signalThread([&signals] { signals.run(); });
            StdinLines input;
            std::string line;
            while (input.next(line, stop) == StdinLines::Result::Line) {
                try {
                    if (!control(line, simulator, out))
                        break;
                } catch (const UsageError& e) {
                    error(e.what());
                }
            }
            signals.stop();
            signalThread.join();
        } else {
            signals.run();
        }
        simulator.stop();
        const Counters counters = simulator.counters();
        out.line("summary" + formatCounters(counters).substr(std::string("counters").size()));
    } catch (const std::exception& e) {
        error(e.what());
        return 1;
    }
    return 0;
}
