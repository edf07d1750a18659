#include "WorkerThread.h"

#include <exception>

WorkerThread::WorkerThread()
    : context_(1), guard_(boost::asio::make_work_guard(context_)), thread_([this] { run(); }),
      threadId_(thread_.get_id()) {}

WorkerThread::~WorkerThread() {
    if (isCurrentThread()) {
        // A handler is destroying the worker that runs it: the loop it is
        // running on would be freed beneath it and the thread could never be
        // joined. There is no safe way on from here.
        std::terminate();
    }
    stop();
}

void WorkerThread::run() {
    for (;;) {
        try {
            context_.run();
            return; // stopped
        } catch (...) {
            // A throwing handler ends only itself; keep serving the queue.
        }
    }
}

void WorkerThread::stop() {
    stopped_.store(true, std::memory_order_release);
    context_.stop();
    if (isCurrentThread())
        return;
    std::lock_guard<std::mutex> lock(joinMutex_);
    if (thread_.joinable())
        thread_.join();
}

bool WorkerThread::isCurrentThread() const {
    return std::this_thread::get_id() == threadId_;
}
