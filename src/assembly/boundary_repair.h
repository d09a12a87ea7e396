#pragma once

#include <cstdint>
#include <span>

#include "scan/page_protection.h"

namespace mdf {

inline constexpr std::size_t kLeadInBytes = 15 * 512;

// The last page of a fragment on a volume with clusters smaller than a page may have its tail in
// clusters that belong to someone else, while the real tail lies in the clusters just before the
// next fragment. Tries j = 0, 1, .. (16 / sectorsPerCluster) - 1: replace the page's last
// j clusters by the last j clusters of the 15 sectors before the next fragment, and keeps the
// first form that verifies; with none, the page stays as it was. True when a form verified.
bool repairBoundaryPage(PageBytes lastPage, std::span<const std::uint8_t, kLeadInBytes> leadIn,
                        std::uint16_t sectorsPerCluster);

}  // namespace mdf
