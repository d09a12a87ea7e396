#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "source/volume_layout.h"

namespace mdf {

class SectorSource;

// Where the files an NTFS volume still holds lie, from the run lists of the MFT records in use:
// which cluster follows a cluster in its file. A page cut where one run of a file ends goes on
// where the file's next run begins, as reading the file would give it.
class NtfsFileMap {
  public:
    // Reads every record of the $MFT (as far as its own record 0 maps it, at most kMostRecords).
    // None, with why, when record 0 cannot be read or maps nothing.
    static std::optional<NtfsFileMap> read(SectorSource& source, const VolumeLayout& volume,
                                           std::string& why);

    // The cluster that comes after `cluster` in the file in use that holds it; none when no
    // such file holds it, when the file ends there or goes on in a hole, or when two records
    // claim it and disagree.
    std::optional<std::int64_t> clusterAfter(std::int64_t cluster) const;

    std::size_t extentCount() const { return extents_.size(); }

    static constexpr std::int64_t kMostRecords = std::int64_t{1} << 22;

  private:
    struct Extent {
        std::int64_t firstCluster = 0;  // on the volume
        std::int64_t clusterCount = 0;
        std::int64_t after = -1;  // the cluster after its last one in the file; -1 for none
    };
    void addRecord(const std::vector<std::uint8_t>& record);

    std::vector<Extent> extents_;  // sorted by first cluster once read
};

}  // namespace mdf
