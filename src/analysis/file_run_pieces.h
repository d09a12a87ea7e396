#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

#include "analysis/split_page_search.h"

namespace mdf {

class NtfsFileMap;

// A page of a file the volume still holds, cut where one run of the file ends, goes on where the
// file's next run begins. A page is read so only when it stands in that file where its page id
// puts it (page p at byte p x 8192), which ties the file to this database; its clusters must be
// followed for 16 sectors, not all in one stretch; and it is kept when it holds as a pieced page
// does (its protection, or without one its structure). It is then the page as reading the file
// gives it: nothing is chosen between forms.
std::map<std::int32_t, std::array<std::uint8_t, 8192>> pieceByFileRuns(
    SectorSource& source, const std::vector<BrokenPage>& pages, const NtfsFileMap& files);

}  // namespace mdf
