#include "analysis/file_run_pieces.h"

#include "analysis/allocation_order_pieces.h"
#include "source/ntfs_file_map.h"
#include "source/sector_source.h"

namespace mdf {
namespace {

// The page's 16 sectors in file order as [first, end) ranges; nothing when the map loses the
// file before the page ends.
std::vector<std::pair<std::int64_t, std::int64_t>> sectorsInFileOrder(const NtfsFileMap& files,
                                                                      std::int64_t first,
                                                                      std::int64_t spc) {
    std::vector<std::pair<std::int64_t, std::int64_t>> pieces{{first, first}};
    std::int64_t at = first;
    for (int n = 0; n < 16; ++n) {
        if (pieces.back().second != at) pieces.push_back({at, at});
        ++pieces.back().second;
        if (n == 15) break;
        if ((at + 1) % spc != 0) {
            ++at;
            continue;
        }
        const auto next = files.clusterAfter(at / spc);
        if (!next || *next > INT64_MAX / spc) return {};
        at = *next * spc;
    }
    return pieces;
}

}  // namespace

std::map<std::int32_t, std::array<std::uint8_t, 8192>> pieceByFileRuns(
    SectorSource& source, const std::vector<BrokenPage>& pages, const NtfsFileMap& files) {
    std::map<std::int32_t, std::array<std::uint8_t, 8192>> restored;
    const std::int64_t spc = files.clusterSectors();
    if (spc <= 0 || spc >= 16) return restored;
    for (const BrokenPage& broken : pages) {
        if (broken.firstSector < 0 || broken.firstSector % spc != 0 || broken.pageId < 0) continue;
        const std::int64_t pageSector = std::int64_t{broken.pageId} * 16;  // in the file
        const auto place = files.placeInFile(broken.firstSector / spc);
        if (!place || pageSector % spc != 0 || *place != pageSector / spc) continue;
        const auto pieces = sectorsInFileOrder(files, broken.firstSector, spc);
        if (pieces.size() < 2) continue;  // whole where it lies: not cut by the file's runs
        std::array<std::uint8_t, 8192> page{};
        if (readPiecesThatHold(source, pieces, 0, page)) restored[broken.pageId] = page;
    }
    return restored;
}

}  // namespace mdf
