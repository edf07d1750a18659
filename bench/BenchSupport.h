#pragma once

// Shared by the benchmark programs: the network-namespace guard, a small
// command-line reader, clocks (wall and process CPU), percentiles, the UDP
// error counters of the namespace, a watchdog that ends a stuck run and a
// device presence message.

#include "Exception.h"
#include "TestNamespace.h"
#include "wire/Message.h"
#include "wire/Wire.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <malloc.h>
#include <sched.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

namespace Bench {

using Clock = std::chrono::steady_clock;

// The programs bind the device port on the wildcard address and broadcast, so
// they run only inside the private network namespace that scripts/netns.sh
// creates. Returns false (after saying why on stderr) anywhere else.
inline bool insideTestNamespace(const char* program) {
    const std::string why = TestNamespace::problem();
    if (why.empty())
        return true;
    std::fprintf(stderr,
                 "%s: refusing to run outside a private network namespace (%s); run it as "
                 "scripts/netns.sh -- %s\n",
                 program, why.c_str(), program);
    return false;
}

// The body of every benchmark's main(): refuses to run outside the namespace and
// turns errors into messages and exit statuses (2: bad arguments, 1: failure).
template <class Run> int runMain(const char* program, Run run, int argc, char** argv) {
    if (!insideTestNamespace(program))
        return 2;
    try {
        return run(argc, argv);
    } catch (const std::invalid_argument& e) {
        std::fprintf(stderr, "%s: %s\n", program, e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s: %s\n", program, e.what());
        return 1;
    } catch (const Exception& e) {
        std::fprintf(stderr, "%s: %s\n", program, e.message().c_str());
        return 1;
    }
}

// "--name value" pairs and "--flag" switches, checked against the known names.
class Arguments {
public:
    Arguments(int argc, char** argv, const std::vector<std::string>& withValue,
              const std::vector<std::string>& switches) {
        for (int i = 1; i < argc; ++i) {
            const std::string name = argv[i];
            if (std::find(switches.begin(), switches.end(), name) != switches.end()) {
                values_[name] = "1";
            } else if (std::find(withValue.begin(), withValue.end(), name) != withValue.end()) {
                if (i + 1 >= argc)
                    throw std::invalid_argument(name + " needs a value");
                values_[name] = argv[++i];
            } else {
                throw std::invalid_argument("unknown option '" + name + "'");
            }
        }
    }

    bool has(const std::string& name) const { return values_.count(name) != 0; }

    std::string text(const std::string& name, const std::string& fallback) const {
        const auto found = values_.find(name);
        return found == values_.end() ? fallback : found->second;
    }

    std::uint64_t number(const std::string& name, std::uint64_t fallback, std::uint64_t minimum,
                         std::uint64_t maximum) const {
        const auto found = values_.find(name);
        if (found == values_.end())
            return fallback;
        std::size_t used = 0;
        unsigned long long value = 0;
        try {
            value = std::stoull(found->second, &used, 10);
        } catch (const std::exception&) {
            used = 0;
        }
        if (used == 0 || used != found->second.size() || value < minimum || value > maximum)
            throw std::invalid_argument(name + " takes a number from " + std::to_string(minimum) +
                                        " to " + std::to_string(maximum));
        return value;
    }

private:
    std::map<std::string, std::string> values_;
};

// Process CPU time (every thread) and context switches. The total comes from
// CLOCK_PROCESS_CPUTIME_ID (scheduler run time, nanoseconds); getrusage adds
// the user/system split (apportioned from tick samples, so only indicative)
// and the context switches.
struct ProcessTimes {
    double totalSeconds = 0;
    double userSeconds = 0;
    double systemSeconds = 0;
    long voluntarySwitches = 0;
    long involuntarySwitches = 0;

    static ProcessTimes now() {
        timespec cpu{};
        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        auto seconds = [](const timeval& t) {
            return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6;
        };
        return {static_cast<double>(cpu.tv_sec) + static_cast<double>(cpu.tv_nsec) * 1e-9,
                seconds(usage.ru_utime), seconds(usage.ru_stime), usage.ru_nvcsw, usage.ru_nivcsw};
    }

    double cpuSeconds() const { return totalSeconds; }

    ProcessTimes operator-(const ProcessTimes& earlier) const {
        return {totalSeconds - earlier.totalSeconds, userSeconds - earlier.userSeconds,
                systemSeconds - earlier.systemSeconds,
                voluntarySwitches - earlier.voluntarySwitches,
                involuntarySwitches - earlier.involuntarySwitches};
    }
};

inline double secondsSince(Clock::time_point start, Clock::time_point end = Clock::now()) {
    return std::chrono::duration<double>(end - start).count();
}

// The value below which `fraction` of the sorted samples lie (nearest rank).
inline double percentile(const std::vector<double>& sorted, double fraction) {
    if (sorted.empty())
        return 0;
    const double rank = fraction * static_cast<double>(sorted.size());
    std::size_t index = rank <= 1 ? 0 : static_cast<std::size_t>(rank + 0.999999) - 1;
    return sorted[std::min(index, sorted.size() - 1)];
}

// Datagram counters of this network namespace (/proc/net/snmp, line "Udp:"):
// a private namespace counts only what the benchmark itself sends.
struct UdpCounters {
    std::uint64_t inDatagrams = 0;
    std::uint64_t receiveBufferErrors = 0; // dropped: a receiver's socket buffer was full
    std::uint64_t inErrors = 0;

    static UdpCounters now() {
        UdpCounters counters;
        std::ifstream snmp("/proc/net/snmp");
        std::string names, values;
        for (std::string line; std::getline(snmp, line);) {
            if (line.rfind("Udp: ", 0) != 0)
                continue;
            if (names.empty())
                names = line;
            else
                values = line;
        }
        std::istringstream n(names), v(values);
        std::string name, value;
        while (n >> name && v >> value) {
            if (name == "InDatagrams")
                counters.inDatagrams = std::stoull(value);
            else if (name == "RcvbufErrors")
                counters.receiveBufferErrors = std::stoull(value);
            else if (name == "InErrors")
                counters.inErrors = std::stoull(value);
        }
        return counters;
    }

    UdpCounters operator-(const UdpCounters& earlier) const {
        return {inDatagrams - earlier.inDatagrams,
                receiveBufferErrors - earlier.receiveBufferErrors, inErrors - earlier.inErrors};
    }
};

// Datagrams dropped so far by the sockets bound to local UDP `port` (the last
// column of /proc/net/udp), for sockets that still exist.
inline std::uint64_t socketDrops(std::uint16_t port) {
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::getline(table, line); // column names
    std::uint64_t drops = 0;
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, last;
        if (!(fields >> slot >> local))
            continue;
        for (std::string field; fields >> field;)
            last = field;
        const auto colon = local.find(':');
        if (colon == std::string::npos || std::stoul(local.substr(colon + 1), nullptr, 16) != port)
            continue;
        drops += std::stoull(last);
    }
    return drops;
}

// Ends the process with a message when the run is not over by the deadline:
// a lost datagram in a plain blocking client would otherwise hang forever.
class Watchdog {
public:
    Watchdog(const char* program, std::chrono::seconds limit)
        : program_(program), limit_(limit), thread_([this] { run(); }) {}

    ~Watchdog() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }

    Watchdog(const Watchdog&) = delete;
    Watchdog& operator=(const Watchdog&) = delete;

private:
    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (wake_.wait_for(lock, limit_, [this] { return done_; }))
            return;
        std::fprintf(stderr, "%s: no result after %lld s; giving up\n", program_,
                     static_cast<long long>(limit_.count()));
        std::fflush(stderr);
        _exit(1);
    }

    const char* program_;
    const std::chrono::seconds limit_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool done_ = false; // guarded by mutex_
    std::thread thread_;
};

// Restricts every thread of the process to CPU `cpu`, or with -1 lets them
// run on every CPU again. Threads created later inherit their creator's set.
inline bool pinProcess(int cpu) {
    cpu_set_t set;
    CPU_ZERO(&set);
    const unsigned count = std::max(1u, std::thread::hardware_concurrency());
    for (unsigned i = 0; i < count; ++i)
        if (cpu < 0 || static_cast<unsigned>(cpu) == i)
            CPU_SET(i, &set);
    bool ok = true;
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", error)) {
        const pid_t tid = static_cast<pid_t>(std::stol(task.path().filename().string()));
        if (sched_setaffinity(tid, sizeof set, &set) != 0)
            ok = false;
    }
    return ok && !error;
}

// The one-minute load average: other work on the machine skews every figure.
inline std::string loadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string first;
    file >> first;
    return first.empty() ? "?" : first;
}

// printf into a std::string.
template <class... Args> std::string format(const char* pattern, Args... args) {
    char buffer[512];
    std::snprintf(buffer, sizeof buffer, pattern, args...);
    return buffer;
}

// Bytes of heap in use (glibc's count, small and mapped blocks).
inline std::size_t heapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// A 100-byte device presence message (code 4) from `id`, sealed.
inline std::vector<char> presenceFrom(std::uint64_t id) {
    // A device's presence has the layout of the tool's own (code 4 instead of 9)
    // and carries sequence 0.
    Vorn::Command<Vorn::MSG_BroadcastID> message(Vorn::Code::presence, id, 2);
    Vorn::Wire::writeU32(message.data() + Vorn::Header::sequence, 0);
    message.data()[Vorn::PresenceField::deviceType] = 10;
    Vorn::seal(message);
    return message.bytes;
}

} // namespace Bench
