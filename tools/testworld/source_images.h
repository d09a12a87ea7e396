#pragma once

// Recovery images beyond raw, FAT32 and NTFS: exFAT and ext4 volumes holding a deleted
// database, and the same image in the container formats forensic imagers and virtual machines
// write, each made by the real tools.
#include <cstdint>
#include <string>
#include <vector>

#include "testworld/synthetic_database.h"
#include "testworld/test_world.h"

namespace mdf::test {

// The true fragments a scan sees in these extents: for each, the pages whose first sector lies
// in it, up to the used part of the file.
std::vector<ManifestFragment> fragmentsOfExtents(const std::vector<Extent>& extents,
                                                 std::int32_t usedPages);

struct ExfatImageInfo {
    std::vector<std::int64_t> liveClusters;      // clusters of the fillers still on the volume
    std::vector<std::int64_t> databaseClusters;  // clusters the deleted database lay in
};

// mkfs.exfat, then the database and fillers placed by writing their directory entries, FAT
// chains and allocation bits (no Debian tool copies into exFAT without mounting): fillers and
// pieces of the database alternate; the database is then deleted as exFAT deletes (entries
// marked unused, bits cleared). clusterSectors are 512-byte sectors. fsck.exfat -n must find
// the result clean, or this throws.
ImageManifest buildExfatImage(const SyntheticDatabase& db, const std::string& imagePath,
                              const FileSystemImageOptions& options,
                              ExfatImageInfo* info = nullptr);

// mke2fs -d with fillers, every other filler removed with debugfs, the database written into
// the holes by debugfs and removed. Block size clusterSectors x 512.
ImageManifest buildExt4Image(const SyntheticDatabase& db, const std::string& imagePath,
                             const FileSystemImageOptions& options);

// Converts a raw image with the format's own tool: "qcow2", "vhdx", "vpc" (VHD), "vmdk" by
// qemu-img; "ewf" by ewfacquire (written as OUT.E01 when out ends in .E01; segmentBytes > 0
// splits it). sectorBytes is what ewfacquire records as the disk's sector size.
void convertImage(const std::string& raw, const std::string& out, const std::string& format,
                  std::int64_t segmentBytes = 0, int sectorBytes = 512);

}  // namespace mdf::test
