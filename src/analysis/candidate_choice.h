#pragma once

#include <cstdint>
#include <vector>

#include "analysis/chain_analysis.h"

namespace mdf {

struct MemberChoice {
    std::size_t position = 0;
    // Another member holds other content for the same pages and nothing but nearness or length
    // put this one first: it may as well be another database's (they share file id 1, and page
    // ids of one layout).
    bool guessed = false;
};

// Which of the first `members` positions of a candidate group continues the chain: the one
// whose pages hold up best (bestCandidate), judged against every member of the group, told in
// the analysis memo whenever that is not simply the nearest, and whenever it is a guess.
MemberChoice rankMembers(AnalysisContext& ctx, const std::vector<std::size_t>& group,
                         std::size_t members, std::int32_t lastChosen);

// True when the two fragments hold different bytes for a page id both hold, or one of those
// pages cannot be read: they are then not copies of one another.
bool differOnSharedPages(PageOrigin& origin, const FragmentRecord& a, const FragmentRecord& b);

// Takes the newest log sequence number of the file head's pages (the first fragment's).
void noteHeadLogSequence(AnalysisContext& ctx, std::int64_t firstSector, std::int32_t pages);

// A file head of one page (its page 1 lay in another cluster): gives the chain its page 1 from
// the fragment that begins with the file's first PFS page, the best of them when there are
// several, records it and moves expected past it. False when recording it failed (told).
bool continueLoneFileHeader(AnalysisContext& ctx, std::int64_t& expected);

// True when a recorded PFS page marks every page id from begin to end-1 free: a fragment there
// that gives no other evidence holds nothing the file needs.
bool fileMarksAllFree(const AnalysisResults& results, std::int32_t begin, std::int32_t end);

// "12/12 verified LSN ..": what the chooser shows beside each candidate.
std::string candidateEvidenceText(PageOrigin& origin, const FragmentRecord& fragment);

}  // namespace mdf
