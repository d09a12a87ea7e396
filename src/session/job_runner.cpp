#include "session/job_runner.h"

namespace mdf {

JobThread::JobThread(std::binary_semaphore& permit, Job job)
    : thread_([&permit, run = std::move(job)] {
          permit.acquire();
          run();
          permit.release();
      }) {}

JobThread::~JobThread() {
    join();
}

void JobThread::join() {
    if (thread_.joinable()) thread_.join();
}

void JobRunner::start(JobThread::Job job) {
    std::lock_guard lock(mutex_);
    workers_.push_back(std::make_unique<JobThread>(permit_, std::move(job)));
}

void JobRunner::waitAll() {
    std::vector<std::unique_ptr<JobThread>> workers;
    {
        std::lock_guard lock(mutex_);
        workers.swap(workers_);
    }
    for (auto& w : workers)
        w->join();
}

}  // namespace mdf
