#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <span>
#include <unordered_map>
#include <vector>

#include "scan/page_protection.h"
#include "scan/scan_window.h"

namespace mdf {

// The pages of candidate fragments as the page map's passes see them, kept between the passes
// so that matching a fragment, recording it, and testing it again at a later step read it from
// the source once.
//
// Those passes look at nothing of a page but its header unless it is a PFS or an IAM page
// (types 11 and 10), so only those are kept whole; of every other page the first 64 bytes are
// kept (the fields up to and including the protection word at offset 60) and the rest reads as
// zero. That makes a page cost 64 bytes, and the pages of a 20 GiB file fit in about 170 MB.
//
// A fragment is kept as a prefix of its pages, from page 0 on. Fragments are dropped least
// recently used first when the byte budget is reached.
class FragmentPageCache {
  public:
    static constexpr std::size_t kHeadBytes = 64;
    static constexpr std::size_t kDefaultBudget = std::size_t{256} << 20;

    explicit FragmentPageCache(std::size_t budgetBytes = kDefaultBudget) : budget_(budgetBytes) {}

    // How many pages from page 0 on are kept of the fragment whose first sector is fsec.
    std::int32_t loadedPages(std::int64_t fsec) const;
    // Page index as the passes see it; false when it is not kept.
    bool copyPage(std::int64_t fsec, std::int32_t index, PageBytes out);
    // Keeps count pages, as read, as pages first .. first+count-1 of the fragment; first must be
    // loadedPages(fsec). mayEvict: make room by dropping other fragments. False when the pages
    // were not kept (no room, or not the next pages of the prefix).
    bool append(std::int64_t fsec, std::int32_t first, std::int32_t count,
                const std::uint8_t* pages, bool mayEvict);
    // The same for pages kept elsewhere: each leads to a page's first kHeadBytes, or to the whole
    // page where keptWhole says it is kept whole.
    bool append(std::int64_t fsec, std::int32_t first, std::span<const std::uint8_t* const> pages,
                bool mayEvict);
    void clear();
    void setBudget(std::size_t bytes);
    std::size_t budget() const { return budget_; }
    std::size_t bytesInUse() const { return bytes_; }
    std::size_t fragmentsKept() const { return entries_.size(); }

    static bool keptWhole(const std::uint8_t* page) { return page[1] == 10 || page[1] == 11; }

  private:
    struct Entry {
        std::vector<std::uint8_t> heads;       // kHeadBytes per page
        std::vector<std::int32_t> wholeIndex;  // page indices kept whole, ascending
        std::vector<std::uint8_t> whole;       // 8192 bytes for each of them
        std::list<std::int64_t>::iterator lru;
        std::size_t bytes = 0;
        std::int32_t pages() const { return static_cast<std::int32_t>(heads.size() / kHeadBytes); }
    };
    static constexpr std::size_t kEntryOverhead = 128;

    bool makeRoom(std::size_t bytes, std::int64_t keep, bool mayEvict);
    // Both appends: pageAt(i) leads to the i-th page's head (or the whole page, where kept whole).
    template <typename PageAt>
    bool appendEach(std::int64_t fsec, std::int32_t first, std::size_t count, PageAt pageAt,
                    bool mayEvict);
    void drop(std::unordered_map<std::int64_t, Entry>::iterator it);

    std::size_t budget_;
    std::size_t bytes_ = 0;
    std::unordered_map<std::int64_t, Entry> entries_;
    std::list<std::int64_t> lru_;  // most recently used first
};

// What the scan read of every place a page may begin, kept as FragmentPageCache keeps pages (the
// 64-byte head, PFS and IAM pages whole), so that the analysis of the same run finds the pages
// of its candidates without reading them again. Only pages whose 16 sectors were all read are
// kept; sectors arrive in ascending order, as the scan reads them.
class ScannedPages : public WindowObserver {
  public:
    explicit ScannedPages(std::size_t budgetBytes = FragmentPageCache::kDefaultBudget)
        : budget_(budgetBytes) {}

    // A scan of the source in the state the generation names begins: what an earlier scan left
    // is dropped.
    void begin(std::uint64_t sourceGeneration);
    std::uint64_t sourceGeneration() const { return generation_; }
    void sectorsRead(std::int64_t first, std::span<const std::uint8_t> bytes) override;
    // The page that begins at sector, as FragmentPageCache hands it out; false when not kept.
    bool copyPage(std::int64_t sector, PageBytes out) const;
    // The kept pages that begin at sector, sector + 16, ... (at most `most`, up to the first
    // not kept), as FragmentPageCache::append takes them; valid until the next change.
    void keptRunFrom(std::int64_t sector, std::int32_t most,
                     std::vector<const std::uint8_t*>& out) const;
    bool empty() const { return heads_.empty(); }
    std::size_t bytesInUse() const { return bytes_; }
    // Whether the budget ran out: pages after the first that did not fit are not kept.
    bool full() const { return full_; }
    void clear();

  private:
    void consider(std::int64_t sector, const std::uint8_t* page);

    std::size_t budget_;
    std::size_t bytes_ = 0;
    bool full_ = false;
    std::uint64_t generation_ = 0;
    std::vector<std::int64_t> sectors_;    // ascending
    std::vector<std::int32_t> wholeSlot_;  // -1, or the index of the page in whole_
    std::vector<std::uint8_t> heads_;      // kHeadBytes per kept page
    std::vector<std::uint8_t> whole_;
    // The last sectors of the previous run, for a page that continues into the next one.
    std::int64_t tailStart_ = -1;
    std::vector<std::uint8_t> tail_;
};

}  // namespace mdf
