#pragma once

#include <cstdint>
#include <vector>

#include "tables/database_pages.h"

namespace mdf {

// The pages one allocation unit owns, from its own IAM pages and the file's PFS pages.
struct UnitPages {
    std::vector<std::int32_t> pages;     // owned, ascending (IAM pages not included)
    std::vector<std::int32_t> iamPages;  // its IAM pages that were read
    // An IAM page of its chain is lost: the pages it owns are known only from the headers of the
    // pages that are left, so a lost page of it cannot be told.
    bool mapLost = false;
    std::vector<std::int32_t> lostIamPages;
    // A PFS page is lost: pages of its extents that are zero cannot be told from unused ones.
    bool pfsLost = false;
};

// Follows the unit's IAM chain from firstIam (0 when the catalogue does not say) and adds every
// other IAM page whose header names the unit; a page counts as owned when an IAM page gives it to
// the unit (a single page, or a page of an extent the PFS marks allocated).
UnitPages unitPages(const DatabasePages& file, AllocationUnitId unit, std::int32_t firstIam);

}  // namespace mdf
