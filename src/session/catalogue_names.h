#pragma once

#include <string>
#include <vector>

#include "analysis/chain_analysis.h"
#include "analysis/fragment_pages.h"
#include "scan/file_catalogue.h"

namespace mdf {

class Reporter;

// Gives every catalogue row whose first fragment is too short to hold page 32 ("wrong file
// head,size:...") the name and size its own page 32 states, read from the fragment that holds
// it (resolveFileName); rows whose page 32 cannot be found, or whose page 32 the chains of other
// heads reach as well, keep their memo. The fragment
// records are not changed, so a saved scan keeps its memo as the scan composed it.
void nameShortHeads(std::vector<CatalogueRow>& rows, const FragmentList& fragments,
                    const FragmentIndex& index, PageOrigin& pages, std::uint16_t sectorsPerCluster,
                    Reporter& reporter);

}  // namespace mdf
