#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "source/volume_layout.h"

namespace mdf {

class FreeSpaceMap;
class SectorSource;

// exFAT keeps which clusters are in use in its allocation bitmap, a file whose entry (type
// 0x81) lies in the root directory; bit k (least significant first) stands for cluster k + 2,
// the first cluster of the cluster heap.
//
// Appends that bitmap, cut to the volume's cluster count, to map. Empty on success; otherwise
// what went wrong (an unreadable sector, no bitmap entry, a bitmap that does not fit the
// volume).
std::string readExfatBitmap(FreeSpaceMap& map, SectorSource& source, const VolumeLayout& layout);

// The allocation bitmap's first cluster and length in bytes, from the root directory's
// entries; false when the entries end (type 0) before one of type 0x81.
struct ExfatBitmapEntry {
    std::uint32_t firstCluster = 0;
    std::uint64_t bytes = 0;
};
bool findExfatBitmapEntry(std::span<const std::uint8_t> directory, ExfatBitmapEntry& entry,
                          bool& endReached);

}  // namespace mdf
