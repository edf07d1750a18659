#include "engine/WorkerThread.h"

#include "engine/HandlerFailure.h"
#include "transport/Platform.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

namespace Vorn {

struct WorkerThread::Impl {
    // Deletes the jobs that never ran, one by one (no recursion on a long queue).
    ~Impl() {
        while (JobBase* job = first) {
            first = job->next;
            delete job;
        }
    }

    // Takes the next job, or null once stopped.
    std::unique_ptr<JobBase> next() {
        std::unique_lock<std::mutex> lock(queueMutex);
        busy = false; // the previous job, if any, has ended
        ready.wait(lock, [this] { return stopped || first != nullptr; });
        if (stopped)
            return nullptr;
        std::unique_ptr<JobBase> job(first);
        waiting.fetch_sub(1, std::memory_order_relaxed);
        first = job->next;
        if (first == nullptr)
            last = nullptr;
        busy = true;
        return job;
    }

    void run() {
        while (std::unique_ptr<JobBase> job = next()) {
            try {
                job->run();
            } catch (...) {
                // A throwing handler ends only itself; keep serving the queue.
                Vorn::reportHandlerFailure(failures, "WorkerThread");
            }
        }
    }

    std::mutex queueMutex;
    std::condition_variable ready; // signalled on the first job of an empty queue and on stop
    bool stopped = false;          // guarded by queueMutex
    bool busy = false;             // guarded by queueMutex: a job taken has not ended yet
    JobBase* first = nullptr;      // owned list of jobs not yet started, guarded by queueMutex
    JobBase* last = nullptr;       // guarded by queueMutex
    std::mutex joinMutex;          // guards the join of thread (stop() from several threads)
    std::thread thread;            // joined under joinMutex
    std::thread::id threadId;      // set once at construction, read-only afterwards
    std::atomic<std::size_t> failures{0}; // handlers that threw
    std::atomic<std::size_t> waiting{0};  // jobs in the queue (read without the lock)
};

WorkerThread::WorkerThread(const char* name) : impl_(std::make_unique<Impl>()) {
    impl_->thread = std::thread([impl = impl_.get(), name] {
        Network::nameThisThread(name);
        impl->run();
    });
    impl_->threadId = impl_->thread.get_id();
}

WorkerThread::~WorkerThread() {
    if (isCurrentThread()) {
        // A handler is destroying the worker that runs it: the queue it is
        // running from would be freed beneath it and the thread could never be
        // joined. There is no safe way on from here.
        std::terminate();
    }
    stop();
}

void WorkerThread::enqueue(std::unique_ptr<JobBase> job) {
    JobBase* added = job.release();
    bool wasEmpty = false;
    {
        std::lock_guard<std::mutex> lock(impl_->queueMutex);
        wasEmpty = impl_->first == nullptr;
        if (wasEmpty)
            impl_->first = added;
        else
            impl_->last->next = added;
        impl_->last = added;
        impl_->waiting.fetch_add(1, std::memory_order_relaxed);
    }
    // The worker waits only on an empty queue.
    if (wasEmpty)
        impl_->ready.notify_one();
}

void WorkerThread::stop() {
    {
        std::lock_guard<std::mutex> lock(impl_->queueMutex);
        impl_->stopped = true;
    }
    impl_->ready.notify_all();
    if (isCurrentThread())
        return;
    std::lock_guard<std::mutex> lock(impl_->joinMutex);
    if (impl_->thread.joinable())
        impl_->thread.join();
}

std::size_t WorkerThread::queued() const {
    return impl_->waiting.load(std::memory_order_relaxed);
}

std::size_t WorkerThread::handlerFailures() const {
    return impl_->failures.load(std::memory_order_relaxed);
}

bool WorkerThread::idle() const {
    std::lock_guard<std::mutex> lock(impl_->queueMutex);
    return impl_->first == nullptr && !impl_->busy;
}

bool WorkerThread::isCurrentThread() const {
    return std::this_thread::get_id() == impl_->threadId;
}

} // namespace Vorn
