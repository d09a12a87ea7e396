#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

#include "analysis/candidate_ranking.h"
#include "analysis/fragment_pages.h"
#include "scan/fragment_list.h"

namespace mdf {

// A run of pages the assembly takes: its fragment, the page ids it gives.
struct TakenRun {
    std::int32_t recordIndex = 0;
    std::int32_t startPage = 0;
    std::int32_t endPage = 0;
};

// What the other fragments of the scan hold of the pages the assembly takes.
struct NewestCopies {
    // Pages for which another copy is better: it verifies and is newer (or the page taken does
    // not verify), of the same kind and allocation unit, and from a log the file's head allows.
    std::map<std::int32_t, std::array<std::uint8_t, 8192>> better;
    // For every page more than one copy of which verifies: the newest log sequence number among
    // the copies the head allows, the one taken included. A newer copy from a fragment that
    // shares no page with the chain counts here though it is never taken: the page is in doubt.
    std::map<std::int32_t, LogSequence> newest;
};

// Reads, for every page id the runs take, the copies other fragments hold of it, and keeps the
// newest of those that verify by their own protection. A copy without protection proves nothing
// and is never taken over one the chain gave.
NewestCopies findNewestCopies(PageOrigin& origin, const FragmentList& fragments,
                              const FragmentIndex& index, const std::vector<TakenRun>& runs,
                              const HeadLogSequence& head);

}  // namespace mdf
