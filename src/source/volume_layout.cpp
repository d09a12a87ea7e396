#include "source/volume_layout.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "report/reporter.h"
#include "source/byte_order.h"
#include "source/sector_source.h"

namespace mdf {
namespace {

// The boot sector's own sector size, when it is one a disk can have; anything else (a damaged
// or foreign boot sector) is read as 512, as it always was.
std::uint32_t bootSectorBytes(std::span<const std::uint8_t, 512> s) {
    const std::uint16_t bytes = loadU16(&s[11]);
    return bytes == 1024 || bytes == 2048 || bytes == 4096 ? bytes : 512;
}

// NTFS keeps the MFT record size as clusters per record, or, when negative, as a power of two
// in bytes. Sizes outside what any NTFS writes fall back to the usual 1024.
std::int32_t mftRecordBytes(std::int8_t field, std::int64_t clusterBytes) {
    std::int64_t bytes = 0;
    if (field < 0 && field >= -16)
        bytes = std::int64_t{1} << -field;
    else if (field > 0)
        bytes = field * clusterBytes;
    return bytes >= 512 && bytes <= 65536 ? static_cast<std::int32_t>(bytes) : 1024;
}

void parseExfat(std::span<const std::uint8_t, 512> s, VolumeLayout& layout) {
    const unsigned sectorShift = s[108], clusterShift = s[109];
    // 512 to 4096-byte sectors, clusters of at most 32 MiB, as the format allows; a cluster the
    // 16-bit stride cannot hold is refused as damage.
    if (sectorShift < 9 || sectorShift > 12 || sectorShift + clusterShift > 25) {
        layout.fsKind = "unkhnown";
        layout.sectorsPerCluster = s[13];
        return;
    }
    const std::int64_t factor = std::int64_t{1} << (sectorShift - 9);
    layout.bytesPerSector = 1u << sectorShift;
    layout.sectorsPerCluster =
        static_cast<std::uint16_t>(std::int64_t{1} << (sectorShift + clusterShift - 9));
    layout.fatReservedSectors = std::int64_t{loadU32(&s[80])} * factor;
    layout.fatSectors = std::int64_t{loadU32(&s[84])} * factor;
    layout.dataStartSector = std::int64_t{loadU32(&s[88])} * factor;
    layout.clusterCount = loadU32(&s[92]);
    layout.rootDirectoryCluster = loadU32(&s[96]);
}

}  // namespace

void parseBootSector(std::span<const std::uint8_t, 512> s, VolumeLayout& layout) {
    if (std::memcmp(&s[3], "NTFS", 4) == 0)
        layout.fsKind = "NTFS";
    else if (std::memcmp(&s[3], "EXFAT   ", 8) == 0)
        layout.fsKind = "exFAT";
    else if (std::memcmp(&s[82], "FAT32", 5) == 0)
        layout.fsKind = "FAT32";
    else
        layout.fsKind = "unkhnown";
    layout.sectorsPerCluster = s[13];
    layout.bytesPerSector = 512;

    if (layout.fsKind == "exFAT") {
        parseExfat(s, layout);
        return;
    }
    // Volumes with larger sectors count everything in their own sectors; the system counts in
    // 512-byte ones throughout.
    const std::uint32_t bytes =
        layout.fsKind == "unkhnown" ? std::uint32_t{512} : bootSectorBytes(s);
    const std::int64_t factor = bytes / 512;
    layout.bytesPerSector = bytes;
    layout.sectorsPerCluster = static_cast<std::uint16_t>(s[13] * factor);

    if (layout.fsKind == "NTFS") {
        layout.mftCluster = loadI64(&s[48]);
        layout.mftRecordBytes = mftRecordBytes(static_cast<std::int8_t>(s[64]),
                                               std::int64_t{layout.sectorsPerCluster} * 512);
        layout.dataStartSector = 0;
    } else if (layout.fsKind == "FAT32") {
        // Both counts are unsigned on disk; read as signed, a damaged field would put the cluster
        // area before the volume.
        layout.fatReservedSectors = std::int64_t{loadU16(&s[14])} * factor;
        layout.fatSectors = std::int64_t{loadU32(&s[36])} * factor;
        layout.dataStartSector = layout.fatReservedSectors + 2 * layout.fatSectors;
    } else {
        layout.dataStartSector = 0;
    }
}

bool parseExtSuperblock(std::span<const std::uint8_t, 1024> sb, VolumeLayout& layout) {
    if (loadU16(&sb[56]) != 0xEF53) return false;
    const std::uint32_t logBlock = loadU32(&sb[24]);
    if (logBlock > 6) return false;  // 1 KiB to 64 KiB blocks
    std::uint64_t blocks = loadU32(&sb[4]);
    const std::uint32_t incompat = loadU32(&sb[96]);
    if ((incompat & 0x80) != 0) blocks |= std::uint64_t{loadU32(&sb[336])} << 32;  // 64bit
    layout.fsKind = "ext4";
    layout.bytesPerSector = 512;
    // bigalloc (read-only compatible feature 0x200): allocation counts clusters of 2^n blocks.
    const std::uint32_t logCluster = loadU32(&sb[28]);
    layout.extBlocksPerCluster =
        (loadU32(&sb[100]) & 0x200) != 0 && logCluster > logBlock && logCluster - logBlock < 31
            ? 1u << (logCluster - logBlock)
            : 1;
    layout.sectorsPerCluster = static_cast<std::uint16_t>(2u << logBlock);
    layout.dataStartSector = 0;
    layout.clusterCount = static_cast<std::int64_t>(blocks & 0x7FFFFFFFFFFFFFFFull);
    return true;
}

std::string implausibleField(const VolumeLayout& layout, std::int64_t volumeSectors) {
    if (layout.sectorsPerCluster == 0) return "0 sectors per cluster";
    if (volumeSectors <= 0) return {};
    if (layout.fsKind == "FAT32" && layout.dataStartSector >= volumeSectors)
        return "the cluster area would start at sector " + std::to_string(layout.dataStartSector) +
               ", past the volume's " + std::to_string(volumeSectors) + " sectors";
    if (layout.fsKind == "NTFS" &&
        (layout.mftCluster < 0 ||
         layout.mftCluster >= volumeSectors / std::max<std::int64_t>(1, layout.sectorsPerCluster)))
        return "the $MFT would lie at cluster " + std::to_string(layout.mftCluster) +
               ", past the volume";
    if (layout.fsKind == "exFAT" &&
        (layout.dataStartSector >= volumeSectors || layout.fatReservedSectors >= volumeSectors))
        return "the cluster heap would start at sector " + std::to_string(layout.dataStartSector) +
               ", past the volume's " + std::to_string(volumeSectors) + " sectors";
    return {};
}

int readBootSector(SectorSource& source, VolumeLayout& layout, Reporter& reporter) {
    std::array<std::uint8_t, 512> sector{};
    if (!source.readSectors(1, sector.data(), 0)) {
        reporter.logLine(Memo::Scan, "512error read sec0");
        return 1;
    }
    parseBootSector(sector, layout);
    if (layout.fsKind == "unkhnown") {
        std::array<std::uint8_t, 1024> superblock{};
        if (source.readWholeSectors(2, superblock.data(), 2))
            parseExtSuperblock(superblock, layout);
    }
    // A damaged boot sector must not steer the scan past the volume: it is scanned whole, at
    // every sector, as a volume whose file system is not known.
    if (std::string why = implausibleField(layout, source.endSector()); !why.empty()) {
        reporter.say(Memo::Scan, said(Saying::BootSectorDamaged, why));
        layout.fsKind = "unkhnown";
        layout.dataStartSector = 0;
        layout.sectorsPerCluster = 1;
    }
    // What no file system's boot sector says is a cluster size only when it could be one: a
    // stride of any other size would step over the database's pages and miss them.
    const std::uint16_t spc = layout.sectorsPerCluster;
    if (layout.fsKind == "unkhnown" && (spc == 0 || spc > 128 || (spc & (spc - 1)) != 0)) {
        reporter.say(Memo::Scan, said(Saying::NoClusterSize, int{sector[13]}));
        layout.sectorsPerCluster = 1;
    }
    return 0;
}

}  // namespace mdf
