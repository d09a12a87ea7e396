#include "source/exfat_bitmap.h"

#include <fmt/core.h>

#include <array>
#include <vector>

#include "source/byte_order.h"
#include "source/free_space_map.h"
#include "source/sector_source.h"

namespace mdf {
namespace {

// Follows cluster chains through the FAT, one sector of it at a time.
class ExfatChains {
  public:
    ExfatChains(SectorSource& source, const VolumeLayout& layout)
        : source_(source), layout_(layout) {}

    bool valid(std::int64_t cluster) const {
        return cluster >= 2 && cluster < layout_.clusterCount + 2;
    }
    std::int64_t firstSector(std::int64_t cluster) const {
        return layout_.dataStartSector + (cluster - 2) * layout_.sectorsPerCluster;
    }

    // The cluster after this one: the FAT's entry, or, where the FAT has none (a file written
    // without a chain is contiguous), the next one. 0 at the chain's end, -1 on a read error.
    std::int64_t next(std::int64_t cluster) {
        const std::int64_t byte = cluster * 4;
        if (byte / 512 >= layout_.fatSectors) return cluster + 1;
        const std::int64_t sector = layout_.fatReservedSectors + byte / 512;
        if (sector != cachedSector_) {
            if (!source_.readWholeSectors(1, fat_.data(), sector)) return -1;
            cachedSector_ = sector;
        }
        const std::uint32_t entry = loadU32(&fat_[static_cast<std::size_t>(byte % 512)]);
        if (entry == 0) return cluster + 1;
        if (entry >= 0xFFFFFFF7u) return 0;  // bad cluster mark or end of chain
        return entry;
    }

  private:
    SectorSource& source_;
    const VolumeLayout& layout_;
    std::array<std::uint8_t, 512> fat_{};
    std::int64_t cachedSector_ = -1;
};

}  // namespace

bool findExfatBitmapEntry(std::span<const std::uint8_t> directory, ExfatBitmapEntry& entry,
                          bool& endReached) {
    endReached = false;
    for (std::size_t at = 0; at + 32 <= directory.size(); at += 32) {
        const std::uint8_t type = directory[at];
        if (type == 0) {
            endReached = true;
            return false;
        }
        // The first bitmap; a second one (flags bit 0) belongs to the second FAT of TexFAT.
        if (type == 0x81 && (directory[at + 1] & 1) == 0) {
            entry.firstCluster = loadU32(&directory[at + 20]);
            entry.bytes = loadU64(&directory[at + 24]);
            return true;
        }
    }
    return false;
}

std::string readExfatBitmap(FreeSpaceMap& map, SectorSource& source, const VolumeLayout& layout) {
    const std::int64_t spc = layout.sectorsPerCluster;
    if (spc == 0 || layout.clusterCount <= 0) return "exFAT boot sector without clusters";
    // A cluster count the source cannot hold comes from a damaged boot sector.
    if (source.sourceSectors() > 0 && layout.clusterCount > (source.sourceSectors() + 1) / spc + 1)
        return fmt::format("exFAT boot sector gives {} clusters, more than the volume holds",
                           layout.clusterCount);
    ExfatChains chains(source, layout);
    const std::size_t clusterBytes = static_cast<std::size_t>(spc) * 512;
    std::vector<std::uint8_t> cluster(clusterBytes);

    // The root directory, cluster by cluster, until the bitmap entry or its end.
    ExfatBitmapEntry entry;
    bool found = false, end = false;
    std::int64_t c = layout.rootDirectoryCluster;
    for (std::int64_t steps = 0; !found && !end; ++steps) {
        if (!chains.valid(c) || steps > layout.clusterCount)
            return fmt::format("exFAT root directory leaves the volume at cluster {}", c);
        if (!source.readWholeSectors(static_cast<std::uint32_t>(spc), cluster.data(),
                                     chains.firstSector(c)))
            return fmt::format("read bitmap errorsec{}", chains.firstSector(c));
        found = findExfatBitmapEntry(cluster, entry, end);
        if (found || end) break;
        c = chains.next(c);
        if (c <= 0) break;
    }
    if (!found) return "exFAT root directory has no allocation bitmap";

    const std::uint64_t needed = static_cast<std::uint64_t>(layout.clusterCount + 7) / 8;
    if (entry.bytes < needed)
        return fmt::format("exFAT allocation bitmap of {} bytes for {} clusters", entry.bytes,
                           layout.clusterCount);
    std::vector<std::uint8_t> bits;
    bits.reserve(needed + 1);
    c = entry.firstCluster;
    for (std::int64_t steps = 0; bits.size() < needed; ++steps) {
        if (!chains.valid(c) || steps > layout.clusterCount)
            return fmt::format("exFAT allocation bitmap leaves the volume at cluster {}", c);
        if (!source.readWholeSectors(static_cast<std::uint32_t>(spc), cluster.data(),
                                     chains.firstSector(c)))
            return fmt::format("read bitmap errorsec{}", chains.firstSector(c));
        const std::size_t take = std::min<std::size_t>(clusterBytes, needed - bits.size());
        bits.insert(bits.end(), cluster.begin(), cluster.begin() + static_cast<long>(take));
        if (bits.size() >= needed) break;
        c = chains.next(c);
        if (c < 0) return fmt::format("read bitmap errorsec{}", layout.fatReservedSectors);
        if (c == 0) return "exFAT allocation bitmap chain ends early";
    }
    // Bits past the last cluster are not clusters; a byte more keeps the last ones readable.
    if (layout.clusterCount % 8 != 0)
        bits[needed - 1] &= static_cast<std::uint8_t>((1u << (layout.clusterCount % 8)) - 1);
    bits.push_back(0);
    map.append(bits);
    return {};
}

}  // namespace mdf
