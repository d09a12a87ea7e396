#pragma once

#include <cstdint>
#include <span>

#include "scan/page_protection.h"

namespace mdf {

inline constexpr std::size_t kLeadInBytes = 15 * 512;

// What the repair of a fragment's last page did.
enum class BoundaryRepair {
    Verified,   // the page as it stood, or with a tail from before the next fragment, verifies
    Pieced,     // without protection: exactly one form holds together, and it took a new tail
    AsItStood,  // without protection, and only the page as it stood holds together
    Ambiguous,  // without protection: several forms hold together; the page stays as it stood
    NoneHolds,  // no form verifies or holds together; the page stays as it stood
};

// The last page of a fragment on a volume with clusters smaller than a page may have its tail in
// clusters that belong to someone else, while the real tail lies in the clusters just before the
// next fragment. Tries j = 0, 1, .. (16 / sectorsPerCluster) - 1: replace the page's last
// j clusters by the last j clusters of the 15 sectors before the next fragment, and keeps the
// first form that verifies by the page's own protection. A page without protection has only its
// structure to tell: a form is taken only when it is the one form whose structure holds.
BoundaryRepair repairBoundaryPage(PageBytes lastPage,
                                  std::span<const std::uint8_t, kLeadInBytes> leadIn,
                                  std::uint16_t sectorsPerCluster);

}  // namespace mdf
