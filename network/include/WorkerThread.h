#pragma once

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/post.hpp>

#include <atomic>
#include <mutex>
#include <thread>

// One event loop run by one thread: posted handlers run one at a time in the
// order posted. stop() (and destruction) discards handlers not yet started and
// joins the thread; posting after that is harmless and runs nothing (the
// handler is kept unrun and destroyed with the loop).
//
// A handler that throws ends only itself; the loop goes on with the next one.
// A handler must not destroy the WorkerThread it runs on: the loop would be
// destroyed under its own feet, so that is treated as a fatal programming error.
class WorkerThread {
public:
    WorkerThread();
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    template <class Handler> void post(Handler&& handler) {
        // The check makes stop() discard queued handlers whatever the event
        // loop's backend does with them (IOCP still hands them out).
        boost::asio::post(context_, [this, handler = std::forward<Handler>(handler)]() mutable {
            if (!stopped_.load(std::memory_order_acquire))
                handler();
        });
    }

    // Ends the loop after the handler in progress; idempotent. From any other
    // thread it also joins the worker; from a handler on the worker itself it
    // only ends the loop (the destructor joins later).
    void stop();
    // True on the worker's own thread.
    bool isCurrentThread() const;

private:
    void run();

    std::atomic<bool> stopped_{false};
    boost::asio::io_context context_;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> guard_;
    std::mutex joinMutex_;           // guards the join of thread_ (stop() from several threads)
    std::thread thread_;             // joined under joinMutex_
    const std::thread::id threadId_; // set once at construction, read-only afterwards
};
