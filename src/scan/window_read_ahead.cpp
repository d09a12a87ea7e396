#include "scan/window_read_ahead.h"

#include <algorithm>
#include <system_error>

#include "source/sector_source.h"
#include "source/worker_thread.h"

namespace mdf {

WindowReadAhead::WindowReadAhead(SectorSource& source) : source_(source) {}

WindowReadAhead::~WindowReadAhead() {
    std::unique_lock lock(mutex_);
    stop(lock);
}

void WindowReadAhead::stop(std::unique_lock<std::mutex>& lock) {
    stopping_ = true;
    changed_.notify_all();
    changed_.wait(lock, [this] { return !reading_; });
    stopping_ = false;
    head_ = 0;
    queued_ = 0;
}

void WindowReadAhead::follow(std::int64_t first, std::int64_t endSector, std::int64_t window,
                             int depth) {
    std::unique_lock lock(mutex_);
    if (reading_ || queued_ > 0 || first >= endSector || window <= 0) return;
    if (!reader_) {
        try {
            reader_ = std::make_unique<WorkerThread>();
        } catch (const std::system_error&) {
            return;  // no thread to be had: the windows are read in turn, as they always could be
        }
    }
    // The last run of the thread has ended (reading_ was false), so it may be handed more.
    reader_->wait();
    next_ = first;
    end_ = endSector;
    window_ = window;
    depth_ = depth > 1 ? slots_.size() : 1;
    generation_ = source_.generation();
    reading_ = true;
    reader_->start([this] { readWindows(); });
}

void WindowReadAhead::readWindows() {
    std::unique_lock lock(mutex_);
    while (true) {
        changed_.wait(lock, [this] { return stopping_ || queued_ < depth_; });
        if (stopping_ || next_ >= end_) break;
        const std::int64_t start = next_;
        const std::int64_t sectors = source_.readableCount(start, std::min(window_, end_ - start));
        if (sectors <= 0) break;
        next_ += window_;
        Slot& slot = slots_[(head_ + queued_) % slots_.size()];
        slot = {std::move(slot.bytes), start, sectors, false, false};
        ++queued_;
        lock.unlock();
        // The slot is this thread's until it is marked ready: the scan takes only ready ones.
        bool whole = false;
        try {
            slot.bytes.resize(static_cast<std::size_t>(window_) * kSectorSize);
            whole = source_.readWholeSectors(static_cast<std::uint32_t>(sectors), slot.bytes.data(),
                                             start);
        } catch (...) {
            whole = false;  // read again in turn, by the scan
        }
        lock.lock();
        slot.whole = whole;
        slot.ready = true;
        changed_.notify_all();
        if (!whole) break;
    }
    reading_ = false;
    changed_.notify_all();
}

WindowReadAhead::Result WindowReadAhead::take(std::int64_t start, std::int64_t sectors,
                                              IoBytes& buffer) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return queued_ > 0 ? slots_[head_].ready : !reading_; });
    if (queued_ == 0) return Result::None;
    Slot& slot = slots_[head_];
    if (slot.start != start || slot.sectors != sectors || generation_ != source_.generation()) {
        stop(lock);
        return Result::None;
    }
    if (!slot.whole) {
        stop(lock);
        return Result::Failed;
    }
    std::swap(buffer, slot.bytes);
    head_ = (head_ + 1) % slots_.size();
    --queued_;
    changed_.notify_all();
    return Result::Taken;
}

}  // namespace mdf
