// What lies at the start of a disk or image: its partition table and each partition's file system.
#include "cli/partition_listing.h"

#include <fmt/core.h>

#include <algorithm>
#include <array>

#include "source/platform_file.h"
#include "source/sector_source.h"
#include "source/volume_layout.h"

namespace mdf::cli {
namespace {

// The file system whose first sectors these are, by the signatures each one keeps there.
std::string fileSystemAt(const std::string& path, std::int64_t first, std::int64_t count) {
    SectorSource source;
    source.select(SourceKind::ImageFile, path, first + count, first);
    std::array<std::uint8_t, 3 * 512> head{};
    if (count < 1 || !source.readSectors(1, head.data(), 0)) return "-";
    VolumeLayout layout;
    parseBootSector(std::span<const std::uint8_t, 512>(head.data(), 512), layout);
    if ((layout.fsKind == "NTFS" || layout.fsKind == "FAT32") &&
        implausibleField(layout, count).empty())
        return layout.fsKind;
    if (std::string_view(reinterpret_cast<const char*>(head.data()) + 3, 8) == "EXFAT   ")
        return "exFAT";
    // The ext superblock lies at byte 1024; its magic 0xEF53 at offset 56 in it.
    if (count >= 3 && source.readSectors(1, head.data() + 1024, 2) && head[1024 + 56] == 0x53 &&
        head[1024 + 57] == 0xEF)
        return "ext2/3/4";
    return "-";
}

}  // namespace

std::string humanSize(std::int64_t sectors) {
    double bytes = static_cast<double>(sectors) * 512.0;
    const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int u = 0;
    while (bytes >= 1024.0 && u < 4) {
        bytes /= 1024.0;
        ++u;
    }
    return u == 0 ? fmt::format("{:.0f} B", bytes) : fmt::format("{:.1f} {}", bytes, units[u]);
}

DiskPartitions readDiskPartitions(const std::string& path) {
    DiskPartitions disk;
    disk.sectors = std::max<std::int64_t>(byteSizeOf(path), 0) / 512;
    if (disk.sectors == 0) return disk;
    // A FAT32 boot sector ends with the same signature as an MBR: a volume is recognised first.
    if (std::string fs = fileSystemAt(path, 0, disk.sectors); fs != "-") {
        disk.fileSystem = fs;
        return disk;
    }
    SectorSource source;
    source.select(SourceKind::ImageFile, path, disk.sectors);
    PartitionTable table = readPartitionTable(source);
    disk.scheme = table.scheme;
    disk.tableSectorBytes = table.lbaBytes;
    disk.problems = table.problems;
    for (const PartitionEntry& p : table.partitions) {
        const std::int64_t inside =
            std::clamp<std::int64_t>(disk.sectors - p.firstSector, 0, p.sectorCount);
        disk.partitions.push_back({p, fileSystemAt(path, p.firstSector, inside)});
    }
    return disk;
}

std::string partitionChoices(const DiskPartitions& disk) {
    std::string text;
    for (const ListedPartition& p : disk.partitions)
        text += fmt::format("{}{} ({}, sector {}, {})", text.empty() ? "" : ", ", p.entry.number,
                            p.fileSystem != "-" ? p.fileSystem : p.entry.typeName,
                            p.entry.firstSector, humanSize(p.entry.sectorCount));
    return text;
}

}  // namespace mdf::cli
