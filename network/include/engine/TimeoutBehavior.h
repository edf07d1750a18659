#pragma once

namespace Vorn {

// How long each attempt of a request waits and how many attempts are made.
// Implementations must be safe to call concurrently; attemptCount() >= 1.
// Destroyed through the concrete type only (no virtual destructor).
class TimeoutBehavior {
public:
    virtual int initialTimeout() const = 0;
    virtual int retryTimeout(int attempt) const = 0;
    virtual int attemptCount() const = 0;

protected:
    ~TimeoutBehavior() = default;
};

// 125 ms doubling per attempt, six attempts: 125, 250, 500, 1000, 2000, 4000.
class StandardTimeoutBehavior final : public TimeoutBehavior {
public:
    int initialTimeout() const override { return 125; }
    int retryTimeout(int attempt) const override {
        return static_cast<int>(125u << (static_cast<unsigned>(attempt) % 32u));
    }
    int attemptCount() const override { return 6; }
};

} // namespace Vorn
