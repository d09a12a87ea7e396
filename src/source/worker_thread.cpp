#include "source/worker_thread.h"

#include <utility>

namespace mdf {

WorkerThread::WorkerThread() : thread_([this] { loop(); }) {}

WorkerThread::~WorkerThread() {
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !busy_; });
        quit_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void WorkerThread::start(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        work_ = std::move(work);
        busy_ = true;
    }
    changed_.notify_all();
}

void WorkerThread::wait() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return !busy_; });
}

void WorkerThread::loop() {
    std::unique_lock lock(mutex_);
    while (true) {
        changed_.wait(lock, [this] { return busy_ || quit_; });
        if (busy_) {
            std::function<void()> work = std::move(work_);
            lock.unlock();
            work();
            lock.lock();
            busy_ = false;
            changed_.notify_all();
        } else {
            return;
        }
    }
}

}  // namespace mdf
