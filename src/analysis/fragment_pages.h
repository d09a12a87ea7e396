#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <tuple>
#include <vector>

#include "analysis/fragment_page_cache.h"
#include "scan/content_file.h"
#include "scan/fragment_list.h"
#include "scan/page_protection.h"
#include "source/sector_source.h"

namespace mdf {

// Where the pages of fragments are read: the data source itself, or, once a saved scan's
// content is open, that content.
class PageOrigin {
  public:
    PageOrigin(SectorSource& source, ContentFile& content, const FragmentList& fragments,
               const bool& readFromSource)
        : source_(source),
          content_(content),
          fragments_(fragments),
          readFromSource_(readFromSource) {}

    // count sectors at offset (from -15 on) of the fragment whose first sector is fsec.
    bool readFragmentSectors(std::int64_t fsec, std::int32_t offset, std::int32_t count,
                             void* buffer);
    // Pages first .. first+count-1 of the fragment into buffer (count x 8192 bytes): from the
    // source in one read, from saved content page by page. False when any of them could not be
    // read.
    bool readFragmentPages(std::int64_t fsec, std::int32_t first, std::int32_t count, void* buffer);
    // The 15 sectors before a fragment and its first count pages, into buffer (7680 + count x
    // 8192 bytes), in one read of the source: one request where the writer made two. False when
    // that cannot be (saved content, a fragment at the source's start, a failed read): the
    // caller reads them apart.
    bool readLeadInAndPages(std::int64_t fsec, std::int32_t count, void* buffer);
    // How many of the reads above are worth making at once, from as many threads: saved content
    // is read one request at a time.
    int readsAtOnce() { return readFromSource_ ? source_.readsAtOnce() : 1; }

    // Page index of a fragment of fragmentPages pages, as the page map's passes see it (see
    // FragmentPageCache: of pages other than PFS and IAM pages only the header is real). Read
    // together with the pages that follow it and kept, so that the passes over a fragment, and
    // the tests of it at later steps, read it from the source once. True exactly when a read of
    // that page alone would succeed.
    bool readPassPage(std::int64_t fsec, std::int32_t index, std::int32_t fragmentPages,
                      PageBytes page);

    // Reads the pages of the fragments into the cache in ascending sector order, as far as its
    // budget goes, so that the analysis that follows, which tests fragments in page-id order,
    // makes a disk seek once per stretch rather than once per fragment. progress gets 0 to 100.
    struct Span {
        std::int64_t fsec = 0;
        std::int32_t pages = 0;
    };
    void prefetch(std::vector<Span> spans, const std::function<void(int)>& progress = {});

    struct ReadCounts {
        std::uint64_t pages = 0;     // fragment pages read from the source or the saved content
        std::uint64_t requests = 0;  // read calls that moved them
        std::uint64_t bytes = 0;     // bytes those calls moved, with any between fragments
    };
    ReadCounts passReads() const {
        return {pagesRead_.load(), readRequests_.load(), bytesRead_.load()};
    }
    // Where a scan of the source hands what it reads, for prefetch to take from instead of
    // reading it again. Told to begin by whoever starts the scan.
    ScannedPages& scannedPages();

    // 0 keeps nothing between passes (pages are still read in blocks).
    void setCacheBudget(std::size_t bytes);
    // Every page read alone where a pass needs it, nothing kept and nothing prefetched: how the
    // passes read before there was a cache, the reference the cached reads are measured against.
    void readPassPagesOneByOne(bool oneByOne);

  private:
    using Key = std::tuple<bool, std::uint64_t, std::uint64_t, std::uint64_t>;
    Key currentKey() const;
    void dropStaleLocked();
    bool readCountedPages(std::int64_t fsec, std::int32_t first, std::int32_t count,
                          std::uint8_t* out);
    bool loadBlockLocked(std::int64_t fsec, std::int32_t first, std::int32_t count);
    // False when the cache's budget ran out.
    bool takeScannedPagesLocked(const std::vector<Span>& spans);

    SectorSource& source_;
    ContentFile& content_;
    const FragmentList& fragments_;
    const bool& readFromSource_;

    std::mutex cacheMutex_;
    FragmentPageCache cache_;
    ScannedPages scanned_;
    Key cacheKey_{};
    // The last block read, for fragments the cache has no room for.
    std::vector<std::uint8_t> block_;
    std::int64_t blockFsec_ = -1;
    std::int32_t blockFirst_ = 0, blockPages_ = 0;
    // After a block read failed: pages up to this one are read one by one.
    std::int64_t failedFsec_ = -1;
    std::int32_t failedEnd_ = 0;
    bool oneByOne_ = false;
    std::atomic<std::uint64_t> pagesRead_{0}, readRequests_{0}, bytesRead_{0};
};

// Page index of the fragment whose first page lies at sector fsec; false when not all of its 16
// sectors could be read.
bool readFragmentPage(PageOrigin& origin, std::int64_t fsec, std::int32_t index, PageBytes page);
// Pages first .. first+count-1 of that fragment into buffer (count x 8192 bytes) in one read,
// and where that read fails page by page: readable[t] says whether page first+t was read whole
// (the bytes of one that was not are left as they were).
void readFragmentPagesEach(PageOrigin& origin, std::int64_t fsec, std::int32_t first,
                           std::int32_t count, std::uint8_t* buffer, std::vector<bool>& readable);

}  // namespace mdf
