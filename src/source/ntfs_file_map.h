#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace mdf {

class SectorSource;

// Where the files an NTFS volume still holds lie, from the run lists of the MFT records in use:
// which cluster follows a cluster in its file, and where in its file a cluster stands. A page cut
// where one run of a file ends goes on where the file's next run begins, as reading the file
// would give it.
class NtfsFileMap {
  public:
    // Reads the volume's boot sector (for its own cluster size, whatever stride a scan used) and
    // every record of the $MFT, as far as its record 0 maps it and at most kMostRecords. None,
    // with why, when the $MFT cannot be found, maps more than kMostExtents runs, or the work is
    // asked to stop.
    static std::optional<NtfsFileMap> read(SectorSource& source, std::string& why,
                                           const std::atomic<bool>* stop = nullptr);

    // The cluster that comes after `cluster` in the file in use that holds it; none when no
    // such file holds it, when the file ends there or goes on in a hole, or when two records
    // claim it and disagree.
    std::optional<std::int64_t> clusterAfter(std::int64_t cluster) const;
    // Where `cluster` stands in the file in use that holds it, in clusters from the file's start;
    // none as above.
    std::optional<std::int64_t> placeInFile(std::int64_t cluster) const;

    std::int64_t clusterSectors() const { return clusterSectors_; }

    static constexpr std::int64_t kMostRecords = std::int64_t{1} << 22;
    static constexpr std::size_t kMostExtents = std::size_t{1} << 24;

  private:
    struct Extent {
        std::int64_t firstCluster = 0;  // on the volume
        std::int64_t clusterCount = 0;
        std::int64_t fileCluster = 0;  // where its first cluster stands in the file
        std::int64_t after = -1;       // the cluster after its last one in the file; -1: none
    };
    void addRecord(std::span<const std::uint8_t> record);
    // The one answer every extent holding `cluster` gives; none when none holds it or two differ.
    template <typename Answer>
    std::optional<std::int64_t> agreed(std::int64_t cluster, Answer answer) const;

    std::int64_t clusterSectors_ = 8;
    std::int64_t volumeClusters_ = 0;  // clusters the volume has; runs past it are refused
    std::vector<Extent> extents_;      // sorted by first cluster once read
};

}  // namespace mdf
