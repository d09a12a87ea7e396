#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace mdf {

// One thread kept for work handed to it a piece at a time. A thread started for each piece
// begins on the core of the thread that started it and shares that core until the scheduler
// moves it, which takes longer than a piece of a few milliseconds lasts: work meant to run
// beside its starter would mostly run after it. A kept thread stays where it was put.
class WorkerThread {
  public:
    // Starts the thread; throws std::system_error when none can be had.
    WorkerThread();
    // Waits for the work handed over, then ends the thread.
    ~WorkerThread();
    WorkerThread(const WorkerThread&) = delete;
    WorkerThread& operator=(const WorkerThread&) = delete;

    // Hands work over; it runs on the thread at once. The work handed over before must have been
    // waited for.
    void start(std::function<void()> work);
    // Returns when the work handed over has ended (at once when there is none).
    void wait();

  private:
    void loop();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::function<void()> work_;
    bool busy_ = false;
    bool quit_ = false;
    std::thread thread_;
};

}  // namespace mdf
