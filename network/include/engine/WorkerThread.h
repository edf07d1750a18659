#pragma once

#include <cstddef>
#include <memory>
#include <type_traits>
#include <utility>

namespace Vorn {

// One queue of handlers run by one thread: posted handlers run one at a time in
// the order posted. stop() (and destruction) discards handlers not yet started
// and joins the thread; posting after that is harmless and runs nothing (the
// handler is kept unrun and destroyed with the worker).
//
// A handler that throws ends only itself; the loop goes on with the next one.
// The failure is counted (handlerFailures) and, in debug builds, reported on
// stderr.
// A handler must not destroy the WorkerThread it runs on: the loop would be
// destroyed under its own feet, so that is treated as a fatal programming error.
class WorkerThread {
public:
    // `name` names the thread for debuggers (Network::nameThisThread).
    explicit WorkerThread(const char* name = "vorn-worker");
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // One heap block per handler, which the queue links in place.
    template <class Handler> void post(Handler&& handler) {
        enqueue(std::make_unique<Job<std::decay_t<Handler>>>(std::forward<Handler>(handler)));
    }

    // Ends the loop after the handler in progress; idempotent. From any other
    // thread it also joins the worker; from a handler on the worker itself it
    // only ends the loop (the destructor joins later).
    void stop();
    // True on the worker's own thread.
    bool isCurrentThread() const;
    // Handlers that ended with an exception so far.
    std::size_t handlerFailures() const;
    // True when no handler is queued or running: for an owner that drives
    // time itself and must not move on while a handler is still in hand.
    bool idle() const;
    // Handlers posted and not yet started.
    std::size_t queued() const;

private:
    struct JobBase {
        virtual ~JobBase() = default;
        virtual void run() = 0;
        JobBase* next = nullptr; // the queue's link, guarded by the queue's mutex
    };
    template <class Handler> struct Job final : JobBase {
        template <class H> explicit Job(H&& h) : handler(std::forward<H>(h)) {}
        void run() override { handler(); }
        Handler handler;
    };
    struct Impl;

    void enqueue(std::unique_ptr<JobBase> job);

    std::unique_ptr<Impl> impl_;
};

} // namespace Vorn
