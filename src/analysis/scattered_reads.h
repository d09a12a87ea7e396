#pragma once

#include <cstdint>
#include <utility>
#include <vector>

namespace mdf {

class SectorSource;

// Many short stretches of a source, all read before any is needed, from as many threads as the
// source takes reads at once and in the order they lie on the disk. On a disk read with direct
// I/O every stretch is a trip to the device: one at a time, the tails the split-page search
// weighs took it longer than its look at the whole disk's sums.
class ScatteredReads {
  public:
    using Stretch = std::pair<std::int64_t, std::uint32_t>;  // first sector, sectors

    // Reads the stretches (any order; several at one sector are read once, at the longest) up to
    // mostBytes in all; those past it are read when asked for.
    ScatteredReads(SectorSource& source, std::vector<Stretch> stretches, std::size_t mostBytes);

    // count sectors at first into out, as readSectors would give them: from what was read before
    // where a read at first got at least that many, else from the source. A read that failed is
    // not tried again for as many sectors or more: on a failing disk every try at a bad sector
    // costs time and wear.
    bool read(std::uint32_t count, std::uint8_t* out, std::int64_t first);

  private:
    // Unread: left to a read when asked for (a read that threw, say: the asker's read then
    // meets what it met).
    enum class State { Unread, Read, Failed };
    struct Held {
        std::int64_t first = 0;
        std::uint32_t count = 0;
        std::size_t offset = 0;  // into bytes_
        State state = State::Unread;
    };
    void readAll();

    SectorSource& source_;
    std::vector<Held> held_;  // ascending by first
    std::vector<std::uint8_t> bytes_;
};

}  // namespace mdf
