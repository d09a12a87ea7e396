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
    std::string fsKind;  // "NTFS", "FAT32", "exFAT", "ext4" or "unkhnown"
    std::uint16_t sectorsPerCluster = 0;
    std::int64_t dataStartSector = 0;  // FAT32: reserved + 2 x sectors per FAT; otherwise 0
    std::int64_t fatReservedSectors = 0;
    std::int64_t fatSectors = 0;
    std::int64_t mftCluster = 0;
    // Every count above is in 512-byte sectors, whatever the volume's own sector size; this is
    // that size (512 or 4096 on real disks), as its boot sector gives it.
    std::uint32_t bytesPerSector = 512;
    std::int32_t mftRecordBytes = 1024;     // NTFS: from the boot sector, 1024 or 4096 in practice
    std::int64_t clusterCount = 0;          // exFAT and ext4: clusters (blocks) the volume has
    std::int64_t rootDirectoryCluster = 0;  // exFAT: where the allocation bitmap's entry lies
    std::uint32_t extBlocksPerCluster = 1;  // ext4 bigalloc: blocks per allocation cluster
};

// Fills the layout from a boot sector: the kind by its signature, sectors per cluster for every
// kind, and the kind's own fields. Reads only the fields named in VolumeLayout.
void parseBootSector(std::span<const std::uint8_t, 512> sector, VolumeLayout& layout);

// An ext2/3/4 superblock (the 1024 bytes at byte 1024 of the volume): true, with the layout
// filled as "ext4" in blocks, when its magic and block size are those of one.
bool parseExtSuperblock(std::span<const std::uint8_t, 1024> superblock, VolumeLayout& layout);

// Why a parsed boot sector cannot describe a volume of volumeSectors sectors; empty when it can.
std::string implausibleField(const VolumeLayout& layout, std::int64_t volumeSectors);

// Reads sector 0 and parses it: 0 on success, 1 (after the scan log line
// "512error read sec0") when the sector cannot be read. A boot sector whose fields cannot describe
// the volume is taken as an unknown file system, with a log line that says why.
int readBootSector(SectorSource& source, VolumeLayout& layout, Reporter& reporter);

}  // namespace mdf
