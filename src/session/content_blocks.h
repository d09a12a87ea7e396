#pragma once

#include <cstdint>
#include <deque>
#include <span>
#include <vector>

#include "scan/content_file.h"
#include "scan/fragment_list.h"
#include "source/output_file.h"
#include "source/sector_source.h"

namespace mdf {

// The sectors a scan read last, up to a capacity, in the order it read them: where a content
// block's bytes are taken from before the source is asked again.
class RecentSectors {
  public:
    explicit RecentSectors(std::size_t capacityBytes) : capacity_(capacityBytes) {}
    // Sectors first .. first + bytes/512 - 1, read whole; the oldest go when the capacity is
    // reached.
    void add(std::int64_t first, std::span<const std::uint8_t> bytes);
    // Copies count sectors from first into out; false (out then undefined) unless every one of
    // them is held.
    bool copy(std::int64_t first, std::int64_t count, std::uint8_t* out) const;
    // Memory the runs' buffers take, as allocated.
    std::size_t heldBytes() const { return held_; }

  private:
    struct Run {
        std::int64_t first = 0;
        std::vector<std::uint8_t> bytes;
    };
    static constexpr std::size_t kSpares = 2;
    void release(Run& run);
    std::vector<std::uint8_t> spareFor(std::size_t size);

    std::size_t capacity_;
    std::size_t held_ = 0;  // the runs' buffers, as allocated
    std::deque<Run> runs_;  // ascending, none overlapping
    std::vector<std::vector<std::uint8_t>> spare_;
};

// Appends the blocks of a content file being made: per fragment the 15 sectors before it as
// read, then its pages scrambled with the file's seed. A block is one stretch of the source, read
// in large pieces; a piece that cannot be read whole is read again page by page, so that only
// what truly cannot be read becomes zeros (their first sectors are listed).
class ContentBlockWriter {
  public:
    ContentBlockWriter(OutputFile& out, SectorSource& source, std::uint32_t seed);

    // The block of r; pieces `recent` holds whole are taken from it, not read again.
    void append(const FragmentRecord& r, const RecentSectors* recent = nullptr);
    // The sectors that could not be read and are held as zeros, in order.
    const std::vector<SectorRange>& unreadable() const { return unreadable_; }

  private:
    void fetch(std::uint8_t* pagesAt, std::int64_t prefixSectors, std::int64_t sector,
               std::int32_t pages, const RecentSectors* recent);
    void readOrZero(std::uint32_t count, std::uint8_t* buffer, std::int64_t sector);

    OutputFile& out_;
    SectorSource& source_;
    std::uint32_t seed_;
    std::vector<std::uint8_t> chunk_;
    std::vector<SectorRange> unreadable_;
};

}  // namespace mdf
