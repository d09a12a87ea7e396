#include "session/job_runner.h"

namespace mdf {

TMyThread::TMyThread(std::binary_semaphore& permit, std::string jobMode, Execute execute)
    : thread_([&permit, mode = std::move(jobMode), run = std::move(execute)] {
          permit.acquire();
          run(mode);
          permit.release();
      }) {}

TMyThread::~TMyThread() {
    join();
}

void TMyThread::join() {
    if (thread_.joinable()) thread_.join();
}

void JobRunner::start(const std::string& jobMode, TMyThread::Execute execute) {
    std::lock_guard lock(mutex_);
    workers_.push_back(std::make_unique<TMyThread>(permit_, jobMode, std::move(execute)));
}

void JobRunner::waitAll() {
    std::vector<std::unique_ptr<TMyThread>> workers;
    {
        std::lock_guard lock(mutex_);
        workers.swap(workers_);
    }
    for (auto& w : workers)
        w->join();
}

}  // namespace mdf
