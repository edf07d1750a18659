#include "AccessWatch.h"

namespace Vornctl::Serve {
namespace {

// Last uses reach the disk at most this often: a page's requests write nothing more.
constexpr std::chrono::seconds saveInterval{2};

} // namespace

bool AccessWatch::load(const std::filesystem::path& file, AccessControl& access,
                       std::string& error) {
    auto people = readAccessFile(file, error);
    if (!people)
        return false;
    access.setPeople(std::move(*people), std::chrono::system_clock::now());
    access.setLastUses(readLastUses(file));
    return true;
}

AccessWatch::AccessWatch(std::filesystem::path file, AccessControl& access,
                         std::chrono::milliseconds interval, Ended ended, Report report)
    : file_(std::move(file)), access_(access), interval_(interval), ended_(std::move(ended)),
      report_(std::move(report)), seen_(stamp()), saved_(std::chrono::steady_clock::now()),
      thread_([this] { run(); }) {}

AccessWatch::~AccessWatch() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
    saveLastUses();
}

AccessWatch::Stamp AccessWatch::stamp() const {
    Stamp stamp;
    std::error_code error;
    const auto status = std::filesystem::status(file_, error);
    if (error || !std::filesystem::exists(status))
        return stamp;
    stamp.exists = true;
    stamp.mode = status.permissions();
    stamp.time = std::filesystem::last_write_time(file_, error);
    stamp.size = std::filesystem::file_size(file_, error);
    return stamp;
}

void AccessWatch::run() {
    std::unique_lock lock(mutex_);
    while (!wake_.wait_for(lock, interval_, [this] { return stopping_; })) {
        lock.unlock();
        look();
        lock.lock();
    }
}

void AccessWatch::look() {
    const auto now = std::chrono::system_clock::now();
    const Stamp current = stamp();
    if (!(current == seen_)) {
        seen_ = current;
        std::string error;
        auto people = readAccessFile(file_, error);
        if (people) {
            problem_.clear();
            for (const std::string& name : access_.setPeople(std::move(*people), now))
                ended_(name, "revoked");
        } else if (error != problem_) {
            problem_ = error;
            report_(error + "; the people let in stay as they were");
        }
    }
    for (const std::string& name : access_.expireNow(now))
        ended_(name, "expired");
    if (std::chrono::steady_clock::now() - saved_ >= saveInterval)
        saveLastUses();
}

void AccessWatch::saveLastUses() {
    saved_ = std::chrono::steady_clock::now();
    const auto uses = access_.takeLastUses();
    if (!uses)
        return;
    try {
        writeLastUses(file_, *uses);
    } catch (const std::exception& failure) {
        report_(std::string("cannot record when links were last used: ") + failure.what());
    }
}

} // namespace Vornctl::Serve
