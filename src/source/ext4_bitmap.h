#pragma once

#include <string>

#include "source/volume_layout.h"

namespace mdf {

class FreeSpaceMap;
class SectorSource;

// Appends the block bitmaps of an ext2/3/4 volume to map, one bit per block from block 0 (so
// block 0 starts at the volume's sector 0), read by libext2fs through source: the bitmaps of a
// volume inside a disk image or a virtual disk come from the same reads as everything else,
// and an unread area of a ddrescue map fails here too. Empty on success, else what went wrong.
std::string readExt4Bitmap(FreeSpaceMap& map, SectorSource& source, const VolumeLayout& layout);

}  // namespace mdf
