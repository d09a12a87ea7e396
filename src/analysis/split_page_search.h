#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <utility>
#include <vector>

namespace mdf {

class SectorSource;
class SectorSums;

// A page whose form at its fragment does not verify: with clusters smaller than a page, its
// later sectors may lie in a cluster of their own, which carries no page header and so belongs
// to no fragment.
struct BrokenPage {
    std::int32_t pageId = 0;
    std::int64_t firstSector = 0;  // where its first sector lies
    std::array<std::uint8_t, 8192> asRead{};
    // How many of its first sectors are known to be its own where they lie: the rest of a page
    // whose later clusters are in use by a live file is no part of it.
    std::int32_t knownSectors = 16;
    // Where the run that goes on after this page begins, when one does (-1 otherwise): a tail
    // lying right before it continues the page where it was cut, and is preferred among several
    // that fit as well.
    std::int64_t nextRunSector = -1;
};

struct SplitSearchSettings {
    std::int32_t clusterSectors = 8;  // 1, 2, 4 or 8: a page spans 16 / clusterSectors clusters
    std::int64_t endSector = 0;       // the search looks at sectors 0 .. endSector - 1
    std::int64_t clusterOrigin = 0;   // a sector where a cluster begins
    // Sector ranges [first, end) that accepted fragments claim: never taken as pieces.
    std::vector<std::pair<std::int64_t, std::int64_t>> claimed;
    // Whether the cluster holding a sector is in use, asked lazily by the walk in allocation order
    // (pieceInAllocationOrder) where the clusters in use are not all among `claimed`.
    std::function<bool(std::int64_t sector)> inUse;
    // Told how far the pass over the source has come, in percent, whenever that changes.
    std::function<void(int percent)> progress;
    // Set when the person asks the work to stop: the pass ends where it is.
    const std::atomic<bool>* stop = nullptr;
    // What the scan gathered of the sectors it read: where it covers a stretch, the search takes
    // it from there instead of reading the source again (unless a page without protection is
    // sought: its tail's slot array is in the bytes themselves).
    const SectorSums* sums = nullptr;
};

struct SplitSearchResult {
    std::map<std::int32_t, std::array<std::uint8_t, 8192>> restored;  // page id -> whole page
    std::vector<std::int32_t> unresolved;
    std::vector<std::int32_t> ambiguous;  // more than one piece fits, and none continues the run
    std::int64_t candidateClusters = 0;   // unclaimed, non-zero clusters looked at
    bool stopped = false;                 // asked to stop: nothing was restored
    // Stretches of the source the pass took from the scan's sums, and those it read again.
    std::int64_t summedChunks = 0, readChunks = 0;
};

// Looks for the missing tail of every broken page among the clusters no fragment claims. A
// page is taken as its first j clusters where they lie and its remaining sectors from one
// unclaimed place that is not all zeros. Checksum pages: for each split point j the
// checksum the tail must contribute is known, so every candidate place is looked up once per j
// in a table of what the broken pages need (one pass over the source, whatever the number of
// pages); a found form is kept only when the whole page verifies, and taken only when no other
// form verifies too (or it alone continues into the next run). Torn-bit pages: a tail whose
// sectors all carry the page's torn value is taken only when it is the one place that fits. A
// page without protection has only its structure to tell: a tail is taken only when exactly one
// place gives a page whose header, slot array and records hold together (and the page is then
// still one pieced together, which nothing can verify); with several, it is ambiguous.
SplitSearchResult searchSplitPages(SectorSource& source, const std::vector<BrokenPage>& pages,
                                   const SplitSearchSettings& settings);

}  // namespace mdf
