#pragma once

#include <cstdint>
#include <fstream>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "scan/fragment_list.h"
#include "scan/page_protection.h"

namespace mdf {

inline constexpr std::int64_t kContentPrefixSectors = 15;
inline constexpr std::int64_t kContentPrefixBytes = kContentPrefixSectors * 512;
inline constexpr std::size_t kContentTrailerBytes = 6;

// Page scrambling of saved content, word by word over the page's 2048 little-endian words.
void scramblePage(PageBytes page, std::uint32_t seed);
void unscramblePage(PageBytes page, std::uint32_t seed);

// The six bytes that end a content file: the seed rotated right by 3, then the volume's sectors
// per cluster.
std::array<std::uint8_t, kContentTrailerBytes> contentTrailer(std::uint32_t seed,
                                                              std::uint16_t sectorsPerCluster);

// A run of sectors, in the source's own addressing.
struct SectorRange {
    std::int64_t first = 0;
    std::int64_t count = 0;
    std::int64_t end() const { return first + count; }
};

// What a content file tells of itself besides its blocks: which source it was read from, which
// scan it belongs to, and which sectors could not be read and are held as zeros. It lies between
// the last block and the trailer, where a reader that knows only the blocks and the trailer never
// looks: a file with it still opens wherever a file without it does.
struct ContentRecord {
    std::string madeFrom;  // the source's path
    std::int64_t sourceSectors = 0;
    std::string scanId;                   // the same in the scan's resume file
    std::vector<SectorRange> unreadable;  // ascending
};

// The bytes of a record as they go before the trailer.
std::vector<std::uint8_t> contentRecordBytes(const ContentRecord& record);

// A saved scan's page content: per fragment, in list order, the 15 sectors before it as read and
// then its pages scrambled.
class ContentFile {
  public:
    // Opens a content file for reading and takes its seed from the trailer. Nothing when the file
    // cannot be opened; a file shorter than the trailer opens with seed 0 and no sectors per
    // cluster.
    bool open(const std::string& path);
    bool isOpen() const { return file_.is_open(); }
    void close();
    std::uint32_t seed() const { return seed_; }
    std::optional<std::int16_t> trailerSectorsPerCluster() const { return trailerSpc_; }
    // What the file tells of itself; nothing for a file an older version wrote, whose
    // unreadable sectors are zeros like any other.
    const std::optional<ContentRecord>& record() const { return record_; }
    // Changes whenever another file is opened: what was read from the previous one is stale.
    std::uint64_t generation() const { return generation_; }

    // count sectors at offset (from -15 on) of the fragment whose first sector is firstSector;
    // a 16-sector read is unscrambled. False when no fragment has that first sector, the file is
    // short, or the record marks any of those sectors as unreadable when they were saved.
    bool readContentSectors(const FragmentList& list, std::int32_t offset, std::int32_t count,
                            void* buffer, std::int64_t firstSector);

  private:
    void indexBlocks(const FragmentList& list);

    std::ifstream file_;
    std::uint32_t seed_ = 0;
    std::optional<std::int16_t> trailerSpc_;
    std::optional<ContentRecord> record_;
    // Where each first sector's block starts (the first record with that sector wins), and the
    // list revision it was computed for.
    std::unordered_map<std::int64_t, std::int64_t> blockOffset_;
    std::uint64_t indexedRevision_ = ~std::uint64_t{0};
    const FragmentList* indexedList_ = nullptr;
    std::uint64_t generation_ = 0;
};

}  // namespace mdf
