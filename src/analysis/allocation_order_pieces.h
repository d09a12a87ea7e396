#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

#include "analysis/split_page_search.h"

namespace mdf {

class SectorSource;

// Whether a page put together from pieces holds: it verifies by its protection (torn bits and its
// structure both), or, without protection, its structure holds as meant.
bool holdsAsPieced(const std::array<std::uint8_t, 8192>& page);

// Reads sector ranges [first, end), in order, into the page from byte `offset` on, and tells
// whether every read succeeded and the page then holds as a pieced page does.
bool readPiecesThatHold(SectorSource& source,
                        const std::vector<std::pair<std::int64_t, std::int64_t>>& pieces,
                        std::size_t offset, std::array<std::uint8_t, 8192>& page);

// A file system that gives a growing file the next free cluster (FAT does) leaves a page that does
// not fit in one hole of free space in the free clusters that follow, in order: as many pieces as
// holes it crossed. Each page whose first sectors lie in free space (knownSectors of them, fewer
// than 16) is taken as those sectors and then the next clusters nothing claims, up to a page, and
// kept when it verifies by its protection and its structure holds as meant, or, without
// protection, when its structure holds. The order gives one candidate per page: nothing is chosen
// between forms, and a page that does not verify is left to the search among all unclaimed
// clusters.
std::map<std::int32_t, std::array<std::uint8_t, 8192>> pieceInAllocationOrder(
    SectorSource& source, const std::vector<BrokenPage>& pages,
    const SplitSearchSettings& settings);

}  // namespace mdf
