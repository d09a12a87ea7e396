#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "scan/page_header.h"
#include "source/io_buffer.h"

namespace mdf {

class SectorSource;
class WindowReadAhead;

inline constexpr std::uint32_t kWindowSectors = 12288;  // 6 MiB
inline constexpr std::uint32_t kWindowChunkSectors = 128;

// Sees the sectors the scan reads, for a later step to keep what it would otherwise read again.
class WindowObserver {
  public:
    virtual ~WindowObserver() = default;
    // Sectors first .. first + bytes/512 - 1, every one of them read whole.
    virtual void sectorsRead(std::int64_t first, std::span<const std::uint8_t> bytes) = 0;
};

// The scan's read-ahead: 12288 sectors read at once, so that looking at a position costs a
// 96-byte copy. When a window read fails, it is read again chunk by chunk, so that a bad sector
// makes only the positions that lie in it unreadable and never hands out what an earlier
// window left in the buffer.
class ScanWindow {
  public:
    explicit ScanWindow(SectorSource& source, WindowObserver* observer = nullptr);
    ~ScanWindow();
    ScanWindow(const ScanWindow&) = delete;
    ScanWindow& operator=(const ScanWindow&) = delete;

    // The buffer, for the free-space map to use before the scan primes the window.
    std::span<std::uint8_t> buffer() { return buffer_; }

    // Where the window begins now.
    std::int64_t start() const { return start_; }

    // How many windows are read ahead while the scan looks at one: 2, or 1 for a scan that may
    // pass over the windows after this one (free space only), so that a window it skips is read
    // at most once for nothing, and a bad sector there is not met.
    void setReadAheadDepth(int windows) { readAheadDepth_ = windows; }

    // Reads the first window at start. False when not a single sector of it could be read.
    bool prime(std::int64_t start, std::int64_t endSector);

    // The 96 bytes at position p, or nothing when they cannot be read. windowed: positions past
    // the window move it forward by n sectors at a time (cut at endSector); otherwise a
    // position outside the window is read directly.
    std::optional<PageHeader> readHeaderAt(std::int64_t p, std::int64_t n, bool windowed);

    // The 16 sectors at p into out, when the window holds every one of them as read; false
    // otherwise (nothing is read for it).
    bool copyPage(std::int64_t p, std::span<std::uint8_t, 8192> out) const;

  private:
    bool fill(std::int64_t sectors);
    // Hands the observer sectors first .. first+count-1 of the buffer, just read whole.
    void tellObserver(std::int64_t first, std::int64_t count);
    std::optional<PageHeader> fromBuffer(std::int64_t p);
    std::optional<PageHeader> direct(std::int64_t p);

    SectorSource& source_;
    WindowObserver* observer_;
    IoBytes buffer_;
    std::vector<bool> chunkValid_;
    std::int64_t start_ = 0;
    std::int64_t end_ = 0;
    std::int64_t endSector_ = 0;
    std::int64_t filled_ = 0;  // sectors of the window the last fill asked for
    bool sequential_ = true;   // the window moved on to the one right after it
    int readAheadDepth_ = 2;
    // The next windows, read on a thread of their own while this one is looked at: a page-cached
    // read is the kernel copying, which then runs beside the scan and the observer's sums instead
    // of before them; a direct-I/O source reads into the window's own memory (aligned for it),
    // with no copy out of a read-ahead of its own.
    std::unique_ptr<WindowReadAhead> ahead_;  // last: it stops before what it reads into goes
};

}  // namespace mdf
