#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "analysis/fragment_pages.h"
#include "scan/fragment_list.h"

namespace mdf {

struct ResolvedFileName {
    std::string path;             // the file's own path, from its page 32
    std::int32_t pageCount = 0;   // from its page 0
    std::int32_t fromRecord = 0;  // the fragment page 32 was read from
};

// The name of a database file whose first fragment is too short to hold page 32: page 32 is
// taken from the fragment that the chain analysis from this head accepts for it, or, when the
// analysis accepts none, from the only fragment there is that holds page 32 and does not
// contradict the head. Nothing when neither is found or page 32 holds no name.
std::optional<ResolvedFileName> resolveFileName(const FragmentList& fragments,
                                                const FragmentIndex& index, PageOrigin& pages,
                                                std::uint16_t sectorsPerCluster,
                                                std::int64_t headFirstSector,
                                                std::int64_t headSizeKB);

}  // namespace mdf
