#pragma once

#include <cstdint>
#include <vector>

#include "analysis/chain_analysis.h"

namespace mdf {

// Which of the first `members` positions of a candidate group continues the chain: the one
// whose pages hold up best (bestCandidate), judged against every member of the group, told in
// the analysis memo whenever that is not simply the nearest. Returns the position chosen.
std::size_t rankMembers(AnalysisContext& ctx, const std::vector<std::size_t>& group,
                        std::size_t members, std::int32_t lastChosen);

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
