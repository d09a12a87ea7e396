#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "source/ntfs_record.h"
#include "source/volume_layout.h"

namespace mdf {

class Reporter;
class SectorSource;

// One bit per cluster of the volume, set when the file system marks the cluster in use; cluster
// k is bit k mod 8 (least significant first) of byte k div 8. NTFS clusters index it directly;
// FAT32 entries do, so its bits 0 and 1 stand for the reserved entries; ext4 blocks index it
// directly (block 0 at the volume's sector 0); exFAT's bit 0 is the cluster heap's first
// cluster (cluster 2), at dataStartSector.
class FreeSpaceMap {
  public:
    void clear() { bytes_.clear(); }
    const std::vector<std::uint8_t>& bytes() const { return bytes_; }
    void append(std::span<const std::uint8_t> bytes) {
        bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    }
    void appendZeros(std::size_t count) { bytes_.resize(bytes_.size() + count, 0); }

    // True when the cluster holding sector is in use. The kind comes from the file-system label
    // the user sees; a cluster beyond the map counts as free.
    bool isClusterInUse(std::int64_t sector, const std::string& fileSystemLabel,
                        const VolumeLayout& layout) const;

  private:
    std::vector<std::uint8_t> bytes_;
};

inline constexpr std::uint32_t kFatBlockSectors = 12288;
inline constexpr std::size_t kFatBlockBitmapBytes = 196608;  // 12288 sectors x 128 entries / 8

// Why the volume has no free-space map to read, as the scan log says it ("...: the whole volume
// is scanned"); empty when it has one. A file system not read here, and ext4 with bigalloc.
std::string freeSpaceMapMissing(const VolumeLayout& layout);

// Builds the map from the FAT, the $Bitmap, the exFAT allocation bitmap or the ext4 block
// bitmaps: 0 on success, 1 after the failure messages. A volume without a map to read
// (freeSpaceMapMissing) builds an empty one (every cluster free, the whole volume scanned)
// after that notice in the scan log.
// work is the scan's 6 MiB read-ahead buffer, used here before the scan primes it.
int buildFreeSpaceMap(FreeSpaceMap& map, SectorSource& source, const VolumeLayout& layout,
                      Reporter& reporter, std::span<std::uint8_t> work);

// NTFS: reads MFT record 6 and appends the $Bitmap's clusters run by run.
int readNtfsBitmap(FreeSpaceMap& map, SectorSource& source, const VolumeLayout& layout,
                   Reporter& reporter);
int appendClusterRun(FreeSpaceMap& map, SectorSource& source, const VolumeLayout& layout,
                     std::int64_t startCluster, std::int64_t clusterCount, Reporter& reporter);

// The run list of an MFT record's unnamed, non-resident data stream.
// False when there is none, or when anything would be read outside the record.
bool decodeBitmapRunList(std::span<const std::uint8_t> record, std::vector<ClusterRun>& runs);

}  // namespace mdf
