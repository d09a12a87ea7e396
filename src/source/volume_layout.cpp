#include "source/volume_layout.h"

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
        layout.fatReservedSectors = loadI16(&s[14]);
        layout.fatSectors = loadI32(&s[36]);
        // The sum is formed in 32 bits, as the file system's own tools do, then widened.
        std::uint32_t sum = static_cast<std::uint32_t>(layout.fatReservedSectors) +
                            2u * static_cast<std::uint32_t>(layout.fatSectors);
        layout.dataStartSector = static_cast<std::int32_t>(sum);
    } else {
        layout.dataStartSector = 0;
    }
}

int readBootSector(SectorSource& source, VolumeLayout& layout, Reporter& reporter) {
    std::array<std::uint8_t, 512> sector{};
    if (!source.readSectors(1, sector.data(), 0)) {
        reporter.logLine(Memo::Scan, "512error read sec0");
        return 1;
    }
    parseBootSector(sector, layout);
    return 0;
}

}  // namespace mdf
