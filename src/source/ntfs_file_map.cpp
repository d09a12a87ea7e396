#include "source/ntfs_file_map.h"

#include <algorithm>
#include <array>
#include <climits>

#include "source/ntfs_record.h"
#include "source/sector_source.h"
#include "source/volume_layout.h"

namespace mdf {
namespace {

// The $MFT is read in pieces of this many bytes.
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

std::optional<NtfsFileMap> NtfsFileMap::read(SectorSource& source, std::string& why,
                                             const std::atomic<bool>* stop) {
    std::array<std::uint8_t, 512> boot{};
    VolumeLayout volume;
    if (source.readWholeSectors(1, boot.data(), 0)) parseBootSector(boot, volume);
    const std::int64_t spc = volume.sectorsPerCluster;
    const std::int32_t recordBytes = std::max(512, volume.mftRecordBytes / 512 * 512);
    if (volume.fsKind != "NTFS" || spc <= 0 || volume.mftCluster <= 0 ||
        volume.mftCluster > INT64_MAX / spc) {
        why = "the boot sector gives no place for the $MFT";
        return std::nullopt;
    }
    NtfsFileMap map;
    map.clusterSectors_ = spc;
    const std::int64_t sectors = source.endSector();
    map.volumeClusters_ = sectors > 0 ? sectors / spc : INT64_MAX / (spc * 512);
    const auto mftRecord = readRecord(source, volume.mftCluster * spc, recordBytes);
    const auto mftRuns = mftRecord ? unnamedDataRuns(*mftRecord) : std::nullopt;
    if (!mftRuns || mftRuns->firstFileCluster != 0) {
        why = "the $MFT's own record cannot be read";
        return std::nullopt;
    }
    // The $MFT is read as one stream of records across its runs: a record may begin in one run
    // and end in the next.
    std::vector<std::uint8_t> stream;
    std::int64_t records = 0;
    for (const ClusterRun& run : mftRuns->runs) {
        if (run.sparse || run.startCluster < 0 || run.clusterCount <= 0 ||
            run.clusterCount > map.volumeClusters_ - run.startCluster)
            break;
        const std::int64_t runBytes = run.clusterCount * spc * 512;
        for (std::int64_t at = 0; at < runBytes && records < kMostRecords; at += kReadBytes) {
            if (stop && stop->load()) {
                why = "stopped";
                return std::nullopt;
            }
            const std::int64_t bytes = std::min(kReadBytes, runBytes - at);
            const std::size_t kept = stream.size();
            stream.resize(kept + static_cast<std::size_t>(bytes));
            // An unreadable stretch of the $MFT costs its records, not the map: it is taken as
            // zeros, which no record is.
            if (!source.readWholeSectors(static_cast<std::uint32_t>(bytes / 512), &stream[kept],
                                         run.startCluster * spc + at / 512))
                std::fill(stream.begin() + static_cast<std::ptrdiff_t>(kept), stream.end(), 0);
            std::size_t used = 0;
            for (; stream.size() - used >= static_cast<std::size_t>(recordBytes) &&
                   records < kMostRecords;
                 used += static_cast<std::size_t>(recordBytes), ++records) {
                const std::span<std::uint8_t> record(&stream[used],
                                                     static_cast<std::size_t>(recordBytes));
                if (applyUpdateSequence(record) && recordInUse(record)) map.addRecord(record);
            }
            stream.erase(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(used));
            if (map.extents_.size() > kMostExtents) {
                why = "the $MFT maps more runs than are looked at";
                return std::nullopt;
            }
        }
    }
    std::sort(map.extents_.begin(), map.extents_.end(),
              [](const Extent& a, const Extent& b) { return a.firstCluster < b.firstCluster; });
    return map;
}

void NtfsFileMap::addRecord(std::span<const std::uint8_t> record) {
    const auto data = unnamedDataRuns(record);
    if (!data) return;
    // Each run's successor is where the next run of the same record begins; the last run's is
    // unknown (the file ends, or an extension record goes on). A run past the volume, or one
    // whose place in the file would overflow, makes the whole record untrusted.
    std::vector<Extent> runs;
    std::int64_t fileCluster = data->firstFileCluster;
    for (const ClusterRun& run : data->runs) {
        if (run.clusterCount <= 0 || fileCluster > INT64_MAX - run.clusterCount) return;
        if (!run.sparse && (run.startCluster < 0 || run.startCluster >= volumeClusters_ ||
                            run.clusterCount > volumeClusters_ - run.startCluster))
            return;
        if (!runs.empty() && runs.back().after == -2)
            runs.back().after = run.sparse ? -1 : run.startCluster;
        if (!run.sparse) runs.push_back({run.startCluster, run.clusterCount, fileCluster, -2});
        fileCluster += run.clusterCount;
    }
    for (Extent& e : runs) {
        if (e.after == -2) e.after = -1;
        extents_.push_back(e);
    }
}

template <typename Answer>
std::optional<std::int64_t> NtfsFileMap::agreed(std::int64_t cluster, Answer answer) const {
    std::optional<std::int64_t> agreed;
    // Files in use share no cluster; a damaged record may claim one all the same, so the few
    // extents that begin before it are all asked, and all that hold it must agree.
    constexpr std::ptrdiff_t kLookBack = 16;
    auto it = std::upper_bound(extents_.begin(), extents_.end(), cluster,
                               [](std::int64_t c, const Extent& e) { return c < e.firstCluster; });
    const auto from = it - std::min<std::ptrdiff_t>(kLookBack, it - extents_.begin());
    for (auto e = from; e != it; ++e) {
        if (cluster - e->firstCluster >= e->clusterCount) continue;
        const std::int64_t value = answer(*e);
        if (value < 0 || (agreed && *agreed != value)) return std::nullopt;
        agreed = value;
    }
    return agreed;
}

std::optional<std::int64_t> NtfsFileMap::clusterAfter(std::int64_t cluster) const {
    return agreed(cluster, [cluster](const Extent& e) {
        return cluster - e.firstCluster + 1 < e.clusterCount ? cluster + 1 : e.after;
    });
}

std::optional<std::int64_t> NtfsFileMap::placeInFile(std::int64_t cluster) const {
    return agreed(
        cluster, [cluster](const Extent& e) { return e.fileCluster + (cluster - e.firstCluster); });
}

}  // namespace mdf
