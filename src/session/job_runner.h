#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <semaphore>
#include <thread>
#include <vector>

namespace mdf {

// A worker thread for one job (a scan, or an analysis in automatic mode). It starts at once,
// waits for the one permit that keeps jobs from overlapping, runs its job and gives the permit
// back.
class JobThread {
  public:
    using Job = std::function<void()>;
    JobThread(std::binary_semaphore& permit, Job job);
    ~JobThread();
    JobThread(const JobThread&) = delete;
    JobThread& operator=(const JobThread&) = delete;

    void join();

  private:
    std::thread thread_;
};

// Owns the workers of a session and their permit; waits for running workers when it ends, so a
// worker never outlives the state it works on.
class JobRunner {
  public:
    ~JobRunner() { waitAll(); }
    void start(JobThread::Job job);
    void waitAll();

  private:
    std::binary_semaphore permit_{1};
    std::mutex mutex_;
    std::vector<std::unique_ptr<JobThread>> workers_;
};

}  // namespace mdf
