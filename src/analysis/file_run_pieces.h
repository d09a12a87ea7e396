#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

#include "analysis/split_page_search.h"

namespace mdf {

class NtfsFileMap;

// A page of a file the volume still holds, cut where one run of the file ends, goes on where the
// file's next run begins. Each broken page whose clusters the map follows for 16 sectors, not all
// in one stretch, is read so and kept when it holds as a pieced page does (its protection, or
// without one its structure): it is then the page as reading the file gives it, and nothing is
// chosen between forms.
std::map<std::int32_t, std::array<std::uint8_t, 8192>> pieceByFileRuns(
    SectorSource& source, const std::vector<BrokenPage>& pages, const NtfsFileMap& files,
    std::int64_t sectorsPerCluster);

}  // namespace mdf
