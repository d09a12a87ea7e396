#include "source/ntfs_file_map.h"

#include <algorithm>

#include "source/ntfs_record.h"
#include "source/sector_source.h"

namespace mdf {
namespace {

// The MFT is read in pieces of this many bytes.
constexpr std::int64_t kReadBytes = std::int64_t{1} << 20;

std::optional<std::vector<std::uint8_t>> readRecord(SectorSource& source, std::int64_t sector,
                                                    std::int32_t recordBytes) {
    std::vector<std::uint8_t> record(static_cast<std::size_t>(recordBytes));
    if (!source.readWholeSectors(static_cast<std::uint32_t>(recordBytes / 512), record.data(),
                                 sector) ||
        !applyUpdateSequence(record))
        return std::nullopt;
    return record;
}

}  // namespace

std::optional<NtfsFileMap> NtfsFileMap::read(SectorSource& source, const VolumeLayout& volume,
                                             std::string& why) {
    const std::int64_t spc = volume.sectorsPerCluster;
    const std::int32_t recordBytes = std::max(512, volume.mftRecordBytes / 512 * 512);
    if (spc <= 0 || volume.mftCluster <= 0 || volume.mftCluster > INT64_MAX / spc) {
        why = "the boot sector gives no place for the $MFT";
        return std::nullopt;
    }
    const auto mftRecord = readRecord(source, volume.mftCluster * spc, recordBytes);
    const auto mftRuns = mftRecord ? unnamedDataRuns(*mftRecord) : std::nullopt;
    if (!mftRuns || mftRuns->firstFileCluster != 0) {
        why = "the $MFT's own record cannot be read";
        return std::nullopt;
    }
    NtfsFileMap map;
    std::int64_t records = 0;
    std::vector<std::uint8_t> chunk;
    for (const ClusterRun& run : mftRuns->runs) {
        if (run.sparse || run.startCluster < 0 || run.clusterCount <= 0 ||
            run.startCluster > INT64_MAX / spc / 512 - run.clusterCount)
            break;
        const std::int64_t runBytes = run.clusterCount * spc * 512;
        for (std::int64_t at = 0; at < runBytes && records < kMostRecords; at += kReadBytes) {
            const std::int64_t bytes =
                std::min(kReadBytes, runBytes - at) / recordBytes * recordBytes;
            if (bytes <= 0) break;
            chunk.resize(static_cast<std::size_t>(bytes));
            // An unreadable stretch of the MFT costs its records, not the map; it counts towards
            // the bound all the same, so a run list that claims far more than the volume holds
            // ends as soon as the bound is reached.
            const bool readable =
                source.readWholeSectors(static_cast<std::uint32_t>(bytes / 512), chunk.data(),
                                        run.startCluster * spc + at / 512);
            for (std::int64_t r = 0; r < bytes && records < kMostRecords;
                 r += recordBytes, ++records) {
                if (!readable) continue;
                std::vector<std::uint8_t> record(chunk.begin() + r,
                                                 chunk.begin() + r + recordBytes);
                if (applyUpdateSequence(record) && recordInUse(record)) map.addRecord(record);
            }
        }
    }
    std::sort(map.extents_.begin(), map.extents_.end(),
              [](const Extent& a, const Extent& b) { return a.firstCluster < b.firstCluster; });
    return map;
}

void NtfsFileMap::addRecord(const std::vector<std::uint8_t>& record) {
    const auto data = unnamedDataRuns(record);
    if (!data) return;
    // Each run's successor is where the next run of the same record begins; the last run's is
    // unknown (the file ends, or an extension record goes on).
    const std::size_t before = extents_.size();
    for (const ClusterRun& run : data->runs) {
        if (run.clusterCount <= 0) return;
        if (extents_.size() > before) extents_.back().after = run.sparse ? -1 : run.startCluster;
        if (run.sparse) {
            extents_.push_back({-1, 0, -1});  // a hole: nothing follows into it
            continue;
        }
        extents_.push_back({run.startCluster, run.clusterCount, -1});
    }
    std::erase_if(extents_, [](const Extent& e) { return e.firstCluster < 0; });
}

std::optional<std::int64_t> NtfsFileMap::clusterAfter(std::int64_t cluster) const {
    std::optional<std::int64_t> answer;
    // Files in use share no cluster; a damaged record may claim one all the same, so the few
    // extents that begin before it are all asked, and all that hold it must agree.
    constexpr int kLookBack = 16;
    auto it = std::upper_bound(extents_.begin(), extents_.end(), cluster,
                               [](std::int64_t c, const Extent& e) { return c < e.firstCluster; });
    const auto from = it - std::min<std::ptrdiff_t>(kLookBack, it - extents_.begin());
    for (auto e = from; e != it; ++e) {
        if (cluster >= e->firstCluster + e->clusterCount) continue;
        const std::int64_t next =
            cluster + 1 < e->firstCluster + e->clusterCount ? cluster + 1 : e->after;
        if (next < 0 || (answer && *answer != next)) return std::nullopt;
        answer = next;
    }
    return answer;
}

}  // namespace mdf
