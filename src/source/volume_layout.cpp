#include "source/volume_layout.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "report/reporter.h"
#include "source/byte_order.h"
#include "source/sector_source.h"

namespace mdf {

void parseBootSector(std::span<const std::uint8_t, 512> s, VolumeLayout& layout) {
    if (std::memcmp(&s[3], "NTFS", 4) == 0)
        layout.fsKind = "NTFS";
    else if (std::memcmp(&s[82], "FAT32", 5) == 0)
        layout.fsKind = "FAT32";
    else
        layout.fsKind = "unkhnown";
    layout.sectorsPerCluster = s[13];

    if (layout.fsKind == "NTFS") {
        layout.mftCluster = loadI64(&s[48]);
        layout.dataStartSector = 0;
    } else if (layout.fsKind == "FAT32") {
        // Both counts are unsigned on disk; read as signed, a damaged field would put the cluster
        // area before the volume.
        layout.fatReservedSectors = loadU16(&s[14]);
        layout.fatSectors = loadU32(&s[36]);
        layout.dataStartSector = layout.fatReservedSectors + 2 * layout.fatSectors;
    } else {
        layout.dataStartSector = 0;
    }
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
    return {};
}

int readBootSector(SectorSource& source, VolumeLayout& layout, Reporter& reporter) {
    std::array<std::uint8_t, 512> sector{};
    if (!source.readSectors(1, sector.data(), 0)) {
        reporter.logLine(Memo::Scan, "512error read sec0");
        return 1;
    }
    parseBootSector(sector, layout);
    // A damaged boot sector must not steer the scan past the volume: it is scanned whole, at
    // every sector, as a volume whose file system is not known.
    if (std::string why = implausibleField(layout, source.endSector()); !why.empty()) {
        reporter.logLine(Memo::Scan,
                         "引导扇区已损坏,按未知文件系统扫描 (the boot sector is damaged: " + why +
                             "; the volume is scanned whole)");
        layout.fsKind = "unkhnown";
        layout.dataStartSector = 0;
        layout.sectorsPerCluster = 1;
    }
    return 0;
}

}  // namespace mdf
