#include "assembly/boundary_repair.h"

#include <array>
#include <cstring>

#include "scan/rounding.h"

namespace mdf {

bool repairBoundaryPage(PageBytes lastPage, std::span<const std::uint8_t, kLeadInBytes> leadIn,
                        std::uint16_t sectorsPerCluster) {
    if (sectorsPerCluster == 0) return verifyPage(lastPage);
    std::array<std::uint8_t, 8192> backup;
    std::memcpy(backup.data(), lastPage.data(), backup.size());
    const std::int64_t k = roundHalfEven(16, sectorsPerCluster);
    const std::size_t clusterBytes = std::size_t{sectorsPerCluster} * 512;
    for (std::int64_t j = 0; j < k; ++j) {
        const std::size_t tail = static_cast<std::size_t>(j) * clusterBytes;
        if (tail > kLeadInBytes) break;
        std::memcpy(lastPage.data(), backup.data(), backup.size());
        std::memcpy(lastPage.data() + 8192 - tail, leadIn.data() + kLeadInBytes - tail, tail);
        if (verifyPage(lastPage)) return true;
    }
    std::memcpy(lastPage.data(), backup.data(), backup.size());
    return false;
}

}  // namespace mdf
