#pragma once

#include <cstdint>
#include <vector>

#include "assembly/assembly_context.h"

namespace mdf {

// What a search for more fragments did.
struct SearchOutcome {
    bool completed = false;                 // ran until a pass found nothing
    bool stopped = false;                   // asked to stop
    std::vector<std::int32_t> confirmed;    // records taken because the map confirmed them
    std::vector<std::int32_t> unconfirmed;  // records taken without evidence either way
};

// Fills the gaps of the combination, at most one fragment per gap and pass, the first that the map
// confirms or else the first it cannot judge, pass after pass until a pass finds nothing; then
// reads the file's name from page 32 when the first row is too short to hold it and writes name
// and size into the first row's remark.
SearchOutcome searchMore(AssemblyContext& ctx);

// The pages the combination still lacks: missing PFS pages, and every page a recorded PFS page
// marks allocated, gap by gap.
struct MissingPageReport {
    bool completed = false;  // false: the rows overlap, or the first does not start at page 0
    std::vector<std::int32_t> pfsPages;
    std::vector<std::int32_t> pages;
};
MissingPageReport checkMissingPages(AssemblyContext& ctx);

}  // namespace mdf
