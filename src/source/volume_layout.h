#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace mdf {

class Reporter;
class SectorSource;

// File-system facts read from sector 0 of a source that holds a file system.
struct VolumeLayout {
    bool hasFileSystem = false;
    std::string fsKind;  // "NTFS", "FAT32" or "unkhnown"
    std::uint16_t sectorsPerCluster = 0;
    std::int64_t dataStartSector = 0;  // FAT32: reserved + 2 x sectors per FAT; otherwise 0
    std::int64_t fatReservedSectors = 0;
    std::int64_t fatSectors = 0;
    std::int64_t mftCluster = 0;
};

// Fills the layout from a boot sector: the kind by its signature, sectors per cluster for every
// kind, and the kind's own fields. Reads only the fields named in VolumeLayout.
void parseBootSector(std::span<const std::uint8_t, 512> sector, VolumeLayout& layout);

// Why a parsed boot sector cannot describe a volume of volumeSectors sectors; empty when it can.
std::string implausibleField(const VolumeLayout& layout, std::int64_t volumeSectors);

// Reads sector 0 and parses it: 0 on success, 1 (after the scan log line
// "512error read sec0") when the sector cannot be read. A boot sector whose fields cannot describe
// the volume is taken as an unknown file system, with a log line that says why.
int readBootSector(SectorSource& source, VolumeLayout& layout, Reporter& reporter);

}  // namespace mdf
