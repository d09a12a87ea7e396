#include "assembly/boundary_repair.h"

#include <array>
#include <cstring>

#include "scan/page_structure.h"
#include "scan/rounding.h"

namespace mdf {
namespace {

// The page with its last `tail` bytes taken from the end of the lead-in.
void withTail(PageBytes page, const std::array<std::uint8_t, 8192>& original,
              std::span<const std::uint8_t, kLeadInBytes> leadIn, std::size_t tail) {
    std::memcpy(page.data(), original.data(), original.size());
    std::memcpy(page.data() + 8192 - tail, leadIn.data() + kLeadInBytes - tail, tail);
}

}  // namespace

BoundaryRepair repairBoundaryPage(PageBytes lastPage,
                                  std::span<const std::uint8_t, kLeadInBytes> leadIn,
                                  std::uint16_t sectorsPerCluster) {
    if (sectorsPerCluster == 0)
        return verifyPage(lastPage) ? BoundaryRepair::Verified : BoundaryRepair::NoneHolds;
    std::array<std::uint8_t, 8192> backup;
    std::memcpy(backup.data(), lastPage.data(), backup.size());
    const bool unprotected = pageProtection(lastPage) == PageProtection::None;
    const std::int64_t k = roundHalfEven(16, sectorsPerCluster);
    const std::size_t clusterBytes = std::size_t{sectorsPerCluster} * 512;
    int holding = 0;
    std::size_t holdingTail = 0;
    for (std::int64_t j = 0; j < k; ++j) {
        const std::size_t tail = static_cast<std::size_t>(j) * clusterBytes;
        if (tail > kLeadInBytes) break;
        withTail(lastPage, backup, leadIn, tail);
        if (!unprotected) {
            if (verifyPage(lastPage)) return BoundaryRepair::Verified;
        } else if (structureHoldsAsMeant(lastPage)) {
            ++holding;
            holdingTail = tail;
        }
    }
    if (unprotected && holding == 1) {
        withTail(lastPage, backup, leadIn, holdingTail);
        return holdingTail == 0 ? BoundaryRepair::AsItStood : BoundaryRepair::Pieced;
    }
    std::memcpy(lastPage.data(), backup.data(), backup.size());
    return unprotected && holding > 1 ? BoundaryRepair::Ambiguous : BoundaryRepair::NoneHolds;
}

}  // namespace mdf
