#pragma once

#include "AccessControl.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace Vornctl::Serve {

// Keeps an AccessControl up to date with its access file while serve runs: a
// thread looks at the file's time, size and mode every `interval` (no more: it
// sleeps in between) and reads it again when one changed; a person removed,
// given a new token or whose link expired is `ended` at once, each once. It
// also writes the people's last uses beside the file (at most every few
// seconds). A file that cannot be used keeps the people as they were and is
// `reported`, once until it changes. The destructor stops and joins the thread.
class AccessWatch {
public:
    using Ended = std::function<void(const std::string& name, const std::string& why)>;
    using Report = std::function<void(const std::string& problem)>;

    // Reads the file once before it returns: false, with `error` set, when it
    // cannot be used (serve does not start then).
    static bool load(const std::filesystem::path& file, AccessControl& access, std::string& error);

    AccessWatch(std::filesystem::path file, AccessControl& access,
                std::chrono::milliseconds interval, Ended ended, Report report);
    ~AccessWatch();
    AccessWatch(const AccessWatch&) = delete;
    AccessWatch& operator=(const AccessWatch&) = delete;

private:
    struct Stamp {
        bool exists = false;
        std::filesystem::file_time_type time;
        std::uintmax_t size = 0;
        std::filesystem::perms mode = std::filesystem::perms::none;
        bool operator==(const Stamp&) const = default;
    };
    Stamp stamp() const;
    void run();
    void look();
    void saveLastUses();

    const std::filesystem::path file_;
    AccessControl& access_;
    const std::chrono::milliseconds interval_;
    const Ended ended_;
    const Report report_;
    // On the watch's thread only.
    Stamp seen_;
    std::string problem_; // the last one reported
    std::chrono::steady_clock::time_point saved_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopping_ = false; // guarded by mutex_
    std::thread thread_;
};

} // namespace Vornctl::Serve
