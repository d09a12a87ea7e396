#include "source/free_space_map.h"

#include <fmt/core.h>

#include <algorithm>
#include <array>
#include <climits>
#include <optional>

#include "report/reporter.h"
#include "source/byte_order.h"
#include "source/exfat_bitmap.h"
#include "source/ext4_bitmap.h"
#include "source/ntfs_record.h"
#include "source/sector_source.h"

namespace mdf {
namespace {

// A FAT32 has at most 2^28 entries of 4 bytes: 2^21 sectors. A larger count comes from a damaged
// boot sector and would only read unrelated sectors into the map.
constexpr std::int64_t kMaxFatSectors = std::int64_t{1} << 21;
constexpr std::uint32_t kRunReadSectors = 128;

void fail(Reporter& reporter, const std::string& text) {
    reporter.showMessage(text, "message");
}

// a x b + c, or nothing when a damaged boot sector or run list makes it overflow.
std::optional<std::int64_t> multiplyAdd(std::int64_t a, std::int64_t b, std::int64_t c = 0) {
    std::int64_t product = 0, sum = 0;
    if (__builtin_mul_overflow(a, b, &product) || __builtin_add_overflow(product, c, &sum))
        return std::nullopt;
    return sum;
}

int buildFatMap(FreeSpaceMap& map, SectorSource& source, const VolumeLayout& layout,
                Reporter& reporter, std::span<std::uint8_t> work) {
    const std::int64_t first = layout.fatReservedSectors;
    const std::int64_t end = first + std::min(layout.fatSectors, kMaxFatSectors);
    std::vector<std::uint8_t> blockBits(kFatBlockBitmapBytes);
    for (std::int64_t block = first; block < end; block += kFatBlockSectors) {
        const auto sectors =
            static_cast<std::uint32_t>(std::min<std::int64_t>(kFatBlockSectors, end - block));
        std::fill(work.begin(), work.end(), 0);
        if (!source.readSectors(sectors, work.data(), block)) {
            fail(reporter, fmt::format("read bitmap errorsec{}", block));
            return 1;
        }
        std::fill(blockBits.begin(), blockBits.end(), 0);
        for (std::uint32_t k = 0; k < sectors * 128u; ++k) {
            const std::uint8_t* entry = &work[std::size_t{k} * 4];
            if (entry[0] | entry[1] | entry[2] | entry[3])
                blockBits[k / 8] |= static_cast<std::uint8_t>(1u << (k % 8));
        }
        map.append(blockBits);
    }
    return 0;
}

}  // namespace

bool FreeSpaceMap::isClusterInUse(std::int64_t sector, const std::string& fileSystemLabel,
                                  const VolumeLayout& layout) const {
    if (layout.sectorsPerCluster == 0) return false;
    std::int64_t cluster;
    if (fileSystemLabel == "FAT32")
        cluster = (sector - layout.dataStartSector) / layout.sectorsPerCluster + 2;
    else if (fileSystemLabel == "NTFS" || fileSystemLabel == "ext4")
        cluster = sector / layout.sectorsPerCluster;
    else if (fileSystemLabel == "exFAT")  // bit 0 is the heap's first cluster
        cluster = sector >= layout.dataStartSector
                      ? (sector - layout.dataStartSector) / layout.sectorsPerCluster
                      : -1;
    else
        return false;
    // Two bytes must be there, as the map was always read in pairs.
    const std::int64_t byte = cluster >= 0 ? cluster / 8 : -1;
    if (!inBounds(byte, 2, bytes_.size())) return false;
    return (bytes_[static_cast<std::size_t>(byte)] >> (cluster % 8)) & 1;
}

std::string freeSpaceMapMissing(const VolumeLayout& layout) {
    const std::string& kind = layout.fsKind;
    if (kind != "FAT32" && kind != "NTFS" && kind != "exFAT" && kind != "ext4")
        return fmt::format("no free-space map for file system \"{}\": the whole volume is scanned",
                           kind);
    // Its bitmaps have one bit per cluster of several blocks, and libext2fs reads them so; a
    // map in blocks would need every bit spread over its blocks, which is not done here. A
    // free-space-only scan would then be wrong either way: better the whole volume, said aloud.
    if (kind == "ext4" && layout.extBlocksPerCluster > 1)
        return fmt::format(
            "ext4 with bigalloc (clusters of {} blocks): its free-space map is not read here; the "
            "whole volume is scanned, blocks in use as well",
            layout.extBlocksPerCluster);
    return {};
}

int buildFreeSpaceMap(FreeSpaceMap& map, SectorSource& source, const VolumeLayout& layout,
                      Reporter& reporter, std::span<std::uint8_t> work) {
    map.clear();
    if (const std::string missing = freeSpaceMapMissing(layout); !missing.empty()) {
        reporter.logLine(Memo::Scan, missing);
        return 0;
    }
    if (layout.fsKind == "FAT32") return buildFatMap(map, source, layout, reporter, work);
    if (layout.fsKind == "NTFS") {
        if (readNtfsBitmap(map, source, layout, reporter) != 0) {
            fail(reporter, "read $bitmap failed");
            return 1;
        }
        return 0;
    }
    // exFAT or ext4, the kinds left.
    const std::string problem = layout.fsKind == "exFAT" ? readExfatBitmap(map, source, layout)
                                                         : readExt4Bitmap(map, source, layout);
    if (!problem.empty()) {
        fail(reporter, problem);
        return 1;
    }
    return 0;
}

bool decodeBitmapRunList(std::span<const std::uint8_t> record, std::vector<ClusterRun>& runs) {
    std::optional<DataRuns> data = unnamedDataRuns(record);
    runs = data ? std::move(data->runs) : std::vector<ClusterRun>{};
    return data.has_value();
}

int readNtfsBitmap(FreeSpaceMap& map, SectorSource& source, const VolumeLayout& layout,
                   Reporter& reporter) {
    // $Bitmap is MFT record 6.
    const std::int32_t recordBytes = std::max(512, layout.mftRecordBytes / 512 * 512);
    const auto recordSectors = static_cast<std::uint32_t>(recordBytes / 512);
    const auto sector = multiplyAdd(layout.mftCluster, layout.sectorsPerCluster, 6 * recordSectors);
    std::vector<std::uint8_t> record(static_cast<std::size_t>(recordBytes));
    if (!sector || !source.readSectors(recordSectors, record.data(), *sector)) {
        fail(reporter, sector ? fmt::format("read bitmap errorsec{}", *sector)
                              : fmt::format("read bitmap errorsec(cluster {})", layout.mftCluster));
        return 1;
    }
    // The run list can lie across a stride end, where the disk holds the sequence number.
    if (!applyUpdateSequence(record)) return 1;
    std::vector<ClusterRun> runs;
    if (!decodeBitmapRunList(record, runs)) return 1;
    for (const ClusterRun& run : runs) {
        int result = 0;
        if (run.sparse)
            map.appendZeros(static_cast<std::size_t>(std::min<std::int64_t>(
                multiplyAdd(run.clusterCount, std::int64_t{layout.sectorsPerCluster} * 512)
                    .value_or(INT64_MAX),
                std::int64_t{1} << 30)));
        else
            result =
                appendClusterRun(map, source, layout, run.startCluster, run.clusterCount, reporter);
        if (result != 0) {
            fail(reporter, "error,write bitmap failed");
            return 1;
        }
    }
    return 0;
}

int appendClusterRun(FreeSpaceMap& map, SectorSource& source, const VolumeLayout& layout,
                     std::int64_t startCluster, std::int64_t clusterCount, Reporter& reporter) {
    const auto first = multiplyAdd(startCluster, layout.sectorsPerCluster);
    const auto count = multiplyAdd(clusterCount, layout.sectorsPerCluster);
    // A run longer than the volume itself comes from a damaged record; it is refused before
    // anything is read rather than read until memory runs out.
    const std::int64_t volumeSectors = source.sourceSectors() + 1;
    if (!first || !count || *first < 0 || *count < 0 || *first > INT64_MAX - *count ||
        (volumeSectors > 1 && *first + *count > volumeSectors)) {
        fail(reporter, fmt::format("512bitmaperrorsec{}", first.value_or(startCluster)));
        return 1;
    }
    std::vector<std::uint8_t> chunk(kRunReadSectors * 512);
    const std::int64_t end = *first + *count;
    for (std::int64_t s = *first; s < end; s += kRunReadSectors) {
        const auto n = static_cast<std::uint32_t>(std::min<std::int64_t>(kRunReadSectors, end - s));
        if (!source.readWholeSectors(n, chunk.data(), s)) {
            fail(reporter, fmt::format("512bitmaperrorsec{}", *first));
            return 1;
        }
        map.append(std::span(chunk.data(), std::size_t{n} * 512));
    }
    return 0;
}

}  // namespace mdf
