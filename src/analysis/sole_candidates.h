#pragma once

#include <cstdint>

#include "analysis/chain_analysis.h"

namespace mdf {

// Fragments of several databases compete for the same page ids (every primary file has file id 1),
// and a walk in page order meets those that nothing tells apart before the pages that would: an
// IAM page that the file's own PFS page places further on, whose claims exclude the other
// databases' runs. Takes, in rounds, every fragment that is the only one left for its pages and
// fits what the file's own pages say (not guesses), recording each into the map, until a round
// takes none. Pages below firstPage are the head's. False when recording failed (told).
bool takeSoleCandidates(AnalysisContext& ctx, std::int32_t firstPage);

}  // namespace mdf
