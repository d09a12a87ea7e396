#include "analysis/allocation_order_pieces.h"

#include "analysis/sector_claims.h"
#include "scan/page_protection.h"
#include "scan/page_structure.h"
#include "source/sector_source.h"

namespace mdf {
namespace {

// How many clusters in use, asked one by one, a page's pieces may lie across: 128 MiB of live
// files with 512-byte clusters. Claimed ranges are merged, so crossing one is a single step.
constexpr std::int64_t kMostClustersInUse = std::int64_t{1} << 18;

// The sectors after a page's head that the next free clusters give, in order: [first, end)
// ranges adding up to what the page lacks, or nothing when the source ends first.
std::vector<std::pair<std::int64_t, std::int64_t>> nextFreeSectors(
    const SectorClaims& claims, const SplitSearchSettings& settings, std::int64_t from,
    int wanted) {
    std::vector<std::pair<std::int64_t, std::int64_t>> pieces;
    const std::int64_t cs = std::max(1, settings.clusterSectors);
    std::int64_t at = from;
    for (std::int64_t inUse = 0; wanted > 0;) {
        if (at < 0 || at >= settings.endSector) return {};
        const std::int64_t past = claims.endOfClaimAt(at);
        if (past != at) {
            at = past;
            continue;
        }
        if (settings.inUse && settings.inUse(at)) {
            if (++inUse > kMostClustersInUse) return {};
            const std::int64_t into = ((at - settings.clusterOrigin) % cs + cs) % cs;
            at += cs - into;
            continue;
        }
        if (!pieces.empty() && pieces.back().second == at)
            ++pieces.back().second;
        else
            pieces.push_back({at, at + 1});
        ++at;
        --wanted;
    }
    if (wanted > 0) return {};
    return pieces;
}

}  // namespace

bool holdsAsPieced(const std::array<std::uint8_t, 8192>& page) {
    switch (pageProtection(page)) {
        case PageProtection::Checksum:
            return verifyPage(page);
        case PageProtection::TornBits:
            // Torn bits agree with any sector written in the same round: the structure has to
            // hold as well.
            return verifyPage(page) && structureHoldsAsMeant(page);
        case PageProtection::None:
            return structureHoldsAsMeant(page);
    }
    return false;
}

bool readPiecesThatHold(SectorSource& source,
                        const std::vector<std::pair<std::int64_t, std::int64_t>>& pieces,
                        std::size_t offset, std::array<std::uint8_t, 8192>& page) {
    for (const auto& [first, end] : pieces) {
        const auto count = static_cast<std::uint32_t>(end - first);
        if (offset + std::size_t{count} * 512 > page.size() ||
            !source.readWholeSectors(count, &page[offset], first))
            return false;
        offset += std::size_t{count} * 512;
    }
    return holdsAsPieced(page);
}

std::map<std::int32_t, std::array<std::uint8_t, 8192>> pieceInAllocationOrder(
    SectorSource& source, const std::vector<BrokenPage>& pages,
    const SplitSearchSettings& settings) {
    std::map<std::int32_t, std::array<std::uint8_t, 8192>> restored;
    const SectorClaims claims(settings.claimed);
    for (const BrokenPage& broken : pages) {
        const int known = broken.knownSectors;
        if (known <= 0 || known >= 16) continue;
        const auto pieces =
            nextFreeSectors(claims, settings, broken.firstSector + known, 16 - known);
        if (pieces.empty()) continue;
        std::array<std::uint8_t, 8192> page = broken.asRead;
        if (readPiecesThatHold(source, pieces, static_cast<std::size_t>(known) * 512, page))
            restored[broken.pageId] = page;
    }
    return restored;
}

}  // namespace mdf
