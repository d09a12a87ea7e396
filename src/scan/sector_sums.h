#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "scan/scan_window.h"

namespace mdf {

// What the split-page search needs of every sector the scan reads, gathered while the scan reads
// it, so that the search need not read the source a second time: per sector the XOR of its
// 32-bit words (the terms a page's checksum is made of), the low two bits of its last byte (the
// round a torn-bit page was written in) and whether it is all zero. Five bytes a sector, in a
// file that stays sparse where the source is zero and has no name once opened (it goes when this
// object or the process does), with the ranges of sectors it holds.
class SectorSums : public WindowObserver {
  public:
    // Creates the file (a new one: an existing name is refused); ok() is false when it could not
    // be. Past mostBytes written (0: no bound but the disk's room), or when a write fails, the
    // sums are dropped, their room given back, and the search reads the source as before.
    explicit SectorSums(std::string path, std::int64_t mostBytes = 0);
    ~SectorSums() override;
    SectorSums(const SectorSums&) = delete;
    SectorSums& operator=(const SectorSums&) = delete;

    bool ok() const { return fd_ >= 0; }
    const std::string& path() const { return path_; }
    // What the scan reads goes on to `next` as well.
    void forwardTo(WindowObserver* next) { next_ = next; }

    void sectorsRead(std::int64_t first, std::span<const std::uint8_t> bytes) override;

    // Every sector from first to end - 1 was taken.
    bool covers(std::int64_t first, std::int64_t end) const;
    // The sums of count sectors from first on, where covers() says they were taken; false
    // otherwise or when the file cannot be read (then the source is read instead).
    bool read(std::int64_t first, std::int64_t count, std::uint32_t* xors, std::uint8_t* lows,
              std::uint8_t* nonZero) const;

  private:
    void cover(std::int64_t first, std::int64_t end);
    void drop();

    std::string path_;
    int fd_ = -1;
    bool failed_ = false;  // dropped: nothing more is taken, and nothing is covered
    std::int64_t mostBytes_ = 0;
    std::int64_t written_ = 0;
    WindowObserver* next_ = nullptr;
    std::vector<std::pair<std::int64_t, std::int64_t>> covered_;  // [first, end), ascending
    std::vector<std::uint8_t> records_;
};

}  // namespace mdf
