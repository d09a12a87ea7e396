#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "scan/fragment_list.h"
#include "scan/scan_window.h"
#include "session/content_blocks.h"
#include "source/output_file.h"
#include "source/sector_source.h"

namespace mdf {

// Writes the content file while the scan reads, from the sectors it has just read: saving it
// after the scan read every fragment a second time, which on a disk read with O_DIRECT cost more
// than the scan itself. A fragment's block is written once the next fragment is found (no later
// run can join it then); whatever has left the recent sectors by then is read from the source as
// a saving after the scan would.
class ContentSpooler : public WindowObserver {
  public:
    // Recent sectors kept: a run longer than this is read again from the source when its block
    // is written.
    static constexpr std::size_t kRecentBytes = std::size_t{64} << 20;

    ContentSpooler(std::string path, std::uint32_t seed, const OutputGuard& guard,
                   SectorSource& source, const FragmentList& list);

    bool matches(const std::string& path, std::uint32_t seed) const {
        return path == out_.path() && seed == seed_;
    }
    // What the scan reads goes on to `next` as well (the pages the analysis keeps).
    void forwardTo(WindowObserver* next) { next_ = next; }

    void sectorsRead(std::int64_t first, std::span<const std::uint8_t> bytes) override;

    enum class Finish { Written, ListChanged, Failed };
    // Writes the blocks still missing, the trailer, and puts the file in place. ListChanged
    // (nothing kept) when the list is not the one the blocks were written for: the caller saves
    // the content afresh. Failed with error() when the file could not be written.
    // The record takes the sectors that could not be read.
    Finish finish(std::uint16_t sectorsPerCluster, ContentRecord record);
    const std::string& error() const { return out_.error(); }
    const std::vector<SectorRange>& unreadable() const { return blocks_.unreadable(); }

  private:
    void appendBlock(const FragmentRecord& r);

    OutputFile out_;
    std::uint32_t seed_;
    const FragmentList& list_;
    RecentSectors recent_{kRecentBytes};
    ContentBlockWriter blocks_;
    WindowObserver* next_ = nullptr;
    // First sector and page count of every block written, in order.
    std::vector<std::pair<std::int64_t, std::int32_t>> written_;
};

}  // namespace mdf
