#pragma once

#include <cstdint>
#include <set>

#include "analysis/fragment_pages.h"
#include "analysis/page_map.h"

namespace mdf {

class Reporter;

// What the passes over a fragment's pages use: the map they fill or match against, where pages
// are read, where conflicts are told, and the source's cluster size (below 16 sectors the last
// page of a fragment may be half someone else's).
struct PageMapPass {
    PageMap& map;
    PageOrigin& pages;
    Reporter& reporter;
    std::uint16_t sectorsPerCluster = 16;
    // Where the pages that could not be read are listed; a pass goes on past them.
    std::set<std::int32_t>* unreadable = nullptr;
    // The fragment recorded was a guess (PageMapEntry::guessed): so is every entry it sets.
    bool guessed = false;
};

enum class PassOutcome { Done, ReadFailed };

struct MatchCounts {
    std::int32_t matches = 0;
    std::int32_t mismatches = 0;
    std::int32_t guessedMatches = 0;  // of matches, those against entries a guess set
    // The same judgement leaving out the entries guesses set.
    std::int32_t firmMatches = 0;
    std::int32_t firmMismatches = 0;

    // The candidate fits only what guesses said.
    bool restsOnGuess() const { return matches > 0 && guessedMatches == matches; }
};

void resetPageMap(PageMap& map, std::int64_t count);

// A first fragment of one or two pages: only its PFS page is believed.
PassOutcome recordPfsPages(PageMapPass& pass, std::int32_t pages, std::int32_t basePage,
                           std::int64_t fsec);
// Every other accepted fragment: PFS pages, IAM pages and the page links of data and index pages.
PassOutcome recordFragmentPages(PageMapPass& pass, std::int32_t pages, std::int32_t basePage,
                                std::int64_t fsec);
// How many pages of a candidate agree with the map, up to the first that contradicts it.
MatchCounts matchFragmentPages(PageMapPass& pass, std::int32_t pages, std::int32_t basePage,
                               std::int64_t fsec);

}  // namespace mdf
