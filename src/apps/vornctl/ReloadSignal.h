#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace Vornctl {

// A request to read again what a running command took from files at its
// start (SIGHUP on Linux). Each part of the command joins with a step of its
// own; a request runs every step, in the order they joined, on the
// requesting thread. A step reports what went wrong on the console itself and
// keeps what it had: one failing step does not stop the others.
class ReloadSignal {
public:
    using Step = std::function<void()>;

    // Leaves the steps on destruction; once it is gone, its step is not
    // running and never runs again. Move-only.
    class Membership {
    public:
        Membership() = default;
        Membership(Membership&& other) noexcept;
        Membership& operator=(Membership&& other) noexcept;
        ~Membership();
        Membership(const Membership&) = delete;
        Membership& operator=(const Membership&) = delete;

    private:
        friend class ReloadSignal;
        Membership(ReloadSignal* signal, std::uint64_t id) : signal_(signal), id_(id) {}
        void leave();
        ReloadSignal* signal_ = nullptr;
        std::uint64_t id_ = 0;
    };

    // `name` says which step failed when one throws.
    [[nodiscard]] Membership join(std::string name, Step step);

    // Runs every step; returns the messages of the steps that threw (each
    // "NAME: MESSAGE"), empty when all went through.
    std::vector<std::string> request();

    // How many requests have run to their end (tests wait for it).
    std::uint64_t completed() const;

private:
    struct Entry {
        std::uint64_t id;
        std::string name;
        Step step;
    };
    void leave(std::uint64_t id);

    // Held while steps run and while they join or leave: a step must not join or leave.
    mutable std::mutex mutex_;
    std::vector<Entry> steps_;    // guarded by mutex_
    std::uint64_t nextId_ = 1;    // guarded by mutex_
    std::uint64_t completed_ = 0; // guarded by mutex_
};

} // namespace Vornctl
