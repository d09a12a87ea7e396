#pragma once

#include <array>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "source/io_buffer.h"

namespace mdf {

class SectorSource;
class WorkerThread;

// The scan's next windows, read on a thread of its own while the scan looks at the one it has.
// Two are kept ready: with one, the reader stood idle from the moment it finished until the scan
// had woken, taken the window and handed it the next (two wake-ups a window; a page-cached scan
// ran about 6 % slower). Windows are read in turn from where the scan asked,
// and handed out only to a scan that asks for exactly the window read; any other ask ends the
// reading ahead, as does a window that could not be read whole (a failing disk is read no
// further ahead than its bad sector).
class WindowReadAhead {
  public:
    explicit WindowReadAhead(SectorSource& source);
    // Waits for a read under way.
    ~WindowReadAhead();
    WindowReadAhead(const WindowReadAhead&) = delete;
    WindowReadAhead& operator=(const WindowReadAhead&) = delete;

    // Reads windows of `window` sectors ahead, from first on up to endSector, one at a time for
    // a depth of 1 and two otherwise, unless windows are being read ahead already.
    void follow(std::int64_t first, std::int64_t endSector, std::int64_t window, int depth);

    enum class Result { None, Taken, Failed };
    // The window of `sectors` sectors at start: swapped into buffer when it was read whole
    // (Taken); Failed when that very window was read and failed; None otherwise, and then
    // nothing more is read ahead until follow is called again.
    Result take(std::int64_t start, std::int64_t sectors, IoBytes& buffer);

  private:
    struct Slot {
        IoBytes bytes;
        std::int64_t start = -1;
        std::int64_t sectors = 0;
        bool whole = false;
        bool ready = false;
    };
    void readWindows();
    void stop(std::unique_lock<std::mutex>& lock);

    SectorSource& source_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::array<Slot, 2> slots_;
    std::size_t head_ = 0;    // the slot of the next window to hand out
    std::size_t queued_ = 0;  // slots being read or ready, from head_ on
    std::int64_t next_ = 0;   // the next window to read
    std::int64_t end_ = 0;
    std::int64_t window_ = 0;
    std::size_t depth_ = 2;
    std::uint64_t generation_ = 0;  // the source's, when the windows began to be read
    bool reading_ = false;          // the thread reads windows, or waits for a slot to be free
    bool stopping_ = false;
    std::unique_ptr<WorkerThread> reader_;  // last: it stops before what it reads into goes
};

}  // namespace mdf
