#pragma once

#include <cstdint>
#include <memory>
#include <vector>

namespace mdf {

// What the file's own allocation pages say about one page id.
struct PageMapEntry {
    std::int32_t ownerId = 0;      // 0: none known
    std::uint8_t kind = 0;         // 10: a PFS byte marked the page as an IAM page
    std::uint8_t allocState = 0;   // 0xFF undetermined, 1 allocated, 0 free
    std::uint8_t ownerSource = 0;  // 0xFF never set, 0 firm, 1 provisional (from a page link)
    // Set by a fragment taken among others of other databases that nothing told apart: what it
    // says is no evidence that a page is this file's.
    bool guessed = false;
};

// One entry per page id of the lost file. Entries are kept in chunks made only where something
// is written, so that a page count read from a damaged page never costs memory by itself, and
// a file of hundreds of millions of pages costs only what its pages say.
class PageMap {
  public:
    static constexpr std::int64_t kChunkEntries = 1 << 16;

    // Page ids 0 .. count-1 become undetermined; entries from count on keep what they had.
    void reset(std::int64_t count);
    // The entry for a page id; ids that are no page id of any file read as an empty entry.
    PageMapEntry get(std::int64_t pageId) const;
    // The entry to change, or nullptr for an id outside 0 .. 2^31-1 (computed from damaged pages).
    PageMapEntry* at(std::int64_t pageId);
    std::size_t chunksInUse() const;
    // False when nothing was ever written near this page id: its entry is what a reset left.
    bool written(std::int64_t pageId) const;

  private:
    PageMapEntry fresh(std::int64_t pageId) const;

    std::vector<std::unique_ptr<PageMapEntry[]>> chunks_;
    std::int64_t resetCount_ = 0;  // the largest count reset so far
};

}  // namespace mdf
