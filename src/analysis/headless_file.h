#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis/chain_analysis.h"

namespace mdf {

// A database whose file header page is gone while pages of it remain: known by the path its
// page 32 holds, or, without page 32, only by its first PFS page.
struct HeadlessDatabase {
    std::string path;                  // empty when no page 32 was found
    std::int32_t namePageRecord = -1;  // the fragment holding its page 32
    // No other database's page 32 lies on the source, and wherever two fragments hold the same
    // page they hold the same bytes: a fragment that no allocation page speaks for is then taken
    // as this database's own.
    bool alone = false;
};

// The databases whose pages lie among the fragments without any fragment beginning with page
// 0: one per distinct path found in a page 32; a single unnamed one when no page 32 is there
// but fragments are (nothing then tells several databases apart).
std::vector<HeadlessDatabase> findHeadlessDatabases(const FragmentList& fragments,
                                                    const FragmentIndex& index, PageOrigin& pages);

// The memo of the empty record that stands for the lost page 0 in the combination.
inline const std::string kLostFileHeaderMemo = "文件头页丢失(file header page lost)";

// Analyses a database without its page 0. The record placeholderRecord (no pages, page 0) stands
// for the lost head. The map is started from the fragment holding page 32 and the best fragment
// beginning with the first PFS page; the walk then runs as for any file from page 1, and the
// fragment holding page 32 is part of the result wherever the walk left room for it. Without the
// first PFS page, when the database is alone on the source or not even page 32 is left, every
// fragment's pages start the map and the file reaches as far as the highest page found. With
// the first PFS page, the file's size, which page 0 would have stated, is taken as the highest
// page the accepted fragments hold or the recorded PFS pages mark allocated. True when the walk
// went through.
bool analyseHeadless(AnalysisContext& ctx, const HeadlessDatabase& database,
                     std::int32_t placeholderRecord);

}  // namespace mdf
