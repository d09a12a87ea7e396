#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

namespace mdf {

// The worker for one job ("scan" or "anlys"). It starts at once, waits for the one permit that
// keeps jobs from overlapping, runs its job and gives the permit back.
class TMyThread {
  public:
    using Execute = std::function<void(const std::string& jobMode)>;
    TMyThread(std::binary_semaphore& permit, std::string jobMode, Execute execute);
    ~TMyThread();
    TMyThread(const TMyThread&) = delete;
    TMyThread& operator=(const TMyThread&) = delete;

    void join();

  private:
    std::thread thread_;
};

// Owns the workers of a session and their permit; waits for running workers when it ends, so a
// worker never outlives the state it works on.
class JobRunner {
  public:
    ~JobRunner() { waitAll(); }
    void start(const std::string& jobMode, TMyThread::Execute execute);
    void waitAll();

  private:
    std::binary_semaphore permit_{1};
    std::mutex mutex_;
    std::vector<std::unique_ptr<TMyThread>> workers_;
};

}  // namespace mdf
