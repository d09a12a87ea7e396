#include "source/partition_table.h"

#include <fmt/core.h>

#include <algorithm>
#include <array>
#include <climits>
#include <set>
#include <string_view>

#include "source/byte_order.h"
#include "source/sector_source.h"

namespace mdf {
namespace {

constexpr std::uint32_t kMaxGptEntries = 1024;
constexpr int kMaxLogicalPartitions = 128;

// A partition image's boot sector also ends in 55 AA, and where a table would be it holds boot
// code; its file-system signature tells the two apart.
bool holdsFileSystemBootSector(std::span<const std::uint8_t, 512> s) {
    auto at = [&](std::size_t offset, std::string_view text) {
        return std::string_view(reinterpret_cast<const char*>(&s[offset]), text.size()) == text;
    };
    return at(3, "NTFS    ") || at(82, "FAT32   ") || at(54, "FAT1") || at(3, "EXFAT   ");
}

bool isExtended(std::uint8_t type) {
    return type == 0x05 || type == 0x0F || type == 0x85;
}

std::string guidText(const std::uint8_t* g) {
    return fmt::format("{:08X}-{:04X}-{:04X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}",
                       loadU32(g), loadU16(g + 4), loadU16(g + 6), g[8], g[9], g[10], g[11], g[12],
                       g[13], g[14], g[15]);
}

std::string gptTypeName(const std::string& guid) {
    if (guid == "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7") return "Microsoft basic data";
    if (guid == "C12A7328-F81F-11D2-BA4B-00A0C93EC93B") return "EFI system";
    if (guid == "E3C9E316-0B5C-4DB8-817D-F92DF00215AE") return "Microsoft reserved";
    if (guid == "0FC63DAF-8483-4772-8E79-3D69D8477DE4") return "Linux filesystem";
    return guid;
}

void readLogicalPartitions(SectorSource& source, std::uint32_t extendedStart,
                           PartitionTable& table) {
    std::set<std::uint64_t> visited;
    std::uint64_t ebr = extendedStart;
    int number = 5;
    for (int i = 0; i < kMaxLogicalPartitions; ++i) {
        if (!visited.insert(ebr).second) {
            table.problems.push_back(
                fmt::format("extended partition chain loops at sector {}", ebr));
            return;
        }
        std::array<std::uint8_t, 512> sector{};
        if (!source.readSectors(1, sector.data(), static_cast<std::int64_t>(ebr))) {
            table.problems.push_back(
                fmt::format("cannot read extended boot record at sector {}", ebr));
            return;
        }
        if (!hasBootSignature(sector)) {
            table.problems.push_back(
                fmt::format("no signature in extended boot record at sector {}", ebr));
            return;
        }
        auto slots = parseMbrSlots(sector);
        if (slots[0].type != 0 && slots[0].sectorCount != 0)
            table.partitions.push_back({number++,
                                        static_cast<std::int64_t>(ebr) + slots[0].firstSector,
                                        slots[0].sectorCount, mbrTypeName(slots[0].type)});
        if (!isExtended(slots[1].type) || slots[1].sectorCount == 0) return;
        ebr = std::uint64_t{extendedStart} + slots[1].firstSector;
    }
    table.problems.push_back("too many logical partitions; the rest is not listed");
}

bool hasGptSignature(std::span<const std::uint8_t> s) {
    return s.size() >= 8 &&
           std::string_view(reinterpret_cast<const char*>(s.data()), 8) == "EFI PART";
}

// A GPT header and its entries as read from one place, and whether their checksums hold.
struct GptCopy {
    GptHeader header;
    std::uint64_t backupLba = 0;
    std::vector<std::uint8_t> entries;
    bool headerSound = false, entriesSound = false;
    std::string problem;  // why it cannot be used at all
};

GptCopy readGptCopy(SectorSource& source, std::uint64_t lba, std::uint32_t lbaBytes) {
    GptCopy copy;
    std::vector<std::uint8_t> sector(lbaBytes);
    const std::uint32_t perLba = lbaBytes / 512;
    if (lba > static_cast<std::uint64_t>(INT64_MAX / lbaBytes) ||
        !source.readSectors(perLba, sector.data(), static_cast<std::int64_t>(lba * perLba))) {
        copy.problem = fmt::format("cannot read the GPT header at LBA {}", lba);
        return copy;
    }
    if (!parseGptHeader(sector, copy.header, copy.problem)) return copy;
    copy.headerSound = gptHeaderChecksumHolds(sector);
    copy.backupLba = loadU64(&sector[32]);
    const std::uint64_t bytes = std::uint64_t{copy.header.entryCount} * copy.header.entrySize;
    copy.entries.resize((bytes + 511) / 512 * 512);
    const auto sectors = static_cast<std::uint32_t>(copy.entries.size() / 512);
    if (copy.header.entriesLba > static_cast<std::uint64_t>(INT64_MAX / lbaBytes) ||
        !source.readSectors(sectors, copy.entries.data(),
                            static_cast<std::int64_t>(copy.header.entriesLba * perLba))) {
        copy.problem = fmt::format("cannot read the GPT entries at LBA {} ({} bytes)",
                                   copy.header.entriesLba, lbaBytes);
        return copy;
    }
    copy.entriesSound = crc32(std::span(copy.entries).first(static_cast<std::size_t>(bytes))) ==
                        loadU32(&sector[88]);
    return copy;
}

// The header lies in LBA 1 whatever the sector size, so its byte offset tells the size: 512 on
// most disks, 4096 on a 4Kn disk (where byte 512 lies inside LBA 0 and holds zeros). A header or
// entries whose checksum fails are damaged: the backup copy at the disk's end is tried first, and
// a damaged table is used only when no sound one is left, and then said so.
void readGpt(SectorSource& source, PartitionTable& table) {
    std::array<std::uint8_t, 512> sector{};
    std::uint32_t lbaBytes = 0;
    for (std::uint32_t candidate : {512u, 4096u}) {
        if (!source.readSectors(1, sector.data(), candidate / 512)) {
            if (candidate > 512) break;  // a disk too small for a 4Kn table
            table.problems.push_back("cannot read the GPT header at byte 512");
            return;
        }
        if (hasGptSignature(sector)) {
            lbaBytes = candidate;
            break;
        }
    }
    if (lbaBytes == 0) {
        table.problems.push_back("protective MBR but no GPT header at byte 512 or 4096");
        return;
    }
    GptCopy primary = readGptCopy(source, 1, lbaBytes);
    const GptCopy* used = &primary;
    GptCopy backup;
    if (!primary.headerSound || !primary.entriesSound) {
        const std::int64_t end = source.endSector();
        const std::uint64_t lastLba =
            end > 0 ? static_cast<std::uint64_t>(end) / (lbaBytes / 512) - 1 : 0;
        const std::uint64_t backupLba = primary.backupLba > 1 ? primary.backupLba : lastLba;
        if (backupLba > 1) backup = readGptCopy(source, backupLba, lbaBytes);
        if (backup.problem.empty() && backup.headerSound && backup.entriesSound) {
            table.problems.push_back(fmt::format(
                "the GPT at LBA 1 is damaged (its checksum does not match); its backup at LBA {} "
                "is used",
                backupLba));
            used = &backup;
        } else if (primary.problem.empty()) {
            table.problems.push_back(
                "the GPT's checksum does not match and no sound backup was found; its "
                "partitions are listed as they stand and may be wrong");
        }
    }
    if (!used->problem.empty()) {
        table.problems.push_back(used->problem);
        return;
    }
    table.scheme = "GPT";
    table.lbaBytes = lbaBytes;
    parseGptEntries(used->entries, used->header.entryCount, used->header.entrySize, table,
                    lbaBytes);
}

}  // namespace

bool hasBootSignature(std::span<const std::uint8_t> s) {
    return s.size() >= 512 && s[510] == 0x55 && s[511] == 0xAA;
}

std::vector<MbrSlot> parseMbrSlots(std::span<const std::uint8_t> s) {
    std::vector<MbrSlot> slots(4);
    if (s.size() < 512) return slots;
    for (int i = 0; i < 4; ++i) {
        const std::uint8_t* e = &s[static_cast<std::size_t>(446 + 16 * i)];
        slots[static_cast<std::size_t>(i)] = {e[4], loadU32(e + 8), loadU32(e + 12)};
    }
    return slots;
}

std::uint32_t crc32(std::span<const std::uint8_t> bytes) {
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::uint8_t b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k)
            crc = crc & 1 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return ~crc;
}

bool gptHeaderChecksumHolds(std::span<const std::uint8_t> s) {
    if (s.size() < 92) return false;
    const std::uint32_t size = loadU32(&s[12]);
    if (size < 92 || size > s.size()) return false;
    std::vector<std::uint8_t> header(s.begin(), s.begin() + size);
    std::fill_n(header.begin() + 16, 4, 0);
    return crc32(header) == loadU32(&s[16]);
}

bool parseGptHeader(std::span<const std::uint8_t> s, GptHeader& h, std::string& problem) {
    if (s.size() < 92 || !hasGptSignature(s)) {
        problem = "no GPT header signature";
        return false;
    }
    h.entriesLba = loadU64(&s[72]);
    h.entryCount = loadU32(&s[80]);
    h.entrySize = loadU32(&s[84]);
    if (h.entrySize < 128 || h.entrySize > 4096 || h.entrySize % 8 != 0) {
        problem = fmt::format("GPT entry size {} is not valid", h.entrySize);
        return false;
    }
    if (h.entryCount == 0 || h.entryCount > kMaxGptEntries) {
        problem = fmt::format("GPT entry count {} is not valid", h.entryCount);
        return false;
    }
    return true;
}

void parseGptEntries(std::span<const std::uint8_t> bytes, std::uint32_t count, std::uint32_t size,
                     PartitionTable& table, std::uint32_t lbaBytes) {
    const std::uint64_t perLba = std::max<std::uint32_t>(lbaBytes, 512) / 512;
    for (std::uint32_t i = 0; i < count; ++i) {
        const std::uint64_t at = std::uint64_t{i} * size;
        if (!inBounds(static_cast<std::int64_t>(at), 56, bytes.size())) break;
        const std::uint8_t* e = &bytes[at];
        if (std::all_of(e, e + 16, [](std::uint8_t b) { return b == 0; })) continue;
        const std::uint64_t first = loadU64(e + 32);
        const std::uint64_t last = loadU64(e + 40);
        // The last LBA's own sectors must be countable in 512-byte sectors and bytes.
        if (last < first || last >= static_cast<std::uint64_t>(INT64_MAX / 512) / perLba) {
            table.problems.push_back(fmt::format("GPT entry {} has an impossible range", i + 1));
            continue;
        }
        table.partitions.push_back(
            {static_cast<int>(i + 1), static_cast<std::int64_t>(first * perLba),
             static_cast<std::int64_t>((last - first + 1) * perLba), gptTypeName(guidText(e))});
    }
}

std::string mbrTypeName(std::uint8_t type) {
    switch (type) {
        case 0x01:
            return "FAT12";
        case 0x04:
        case 0x06:
            return "FAT16";
        case 0x07:
            return "NTFS/exFAT";
        case 0x0B:
            return "FAT32";
        case 0x0C:
            return "FAT32 (LBA)";
        case 0x0E:
            return "FAT16 (LBA)";
        case 0x83:
            return "Linux";
        case 0xEE:
            return "GPT protective";
        default:
            return fmt::format("type {:02X}", type);
    }
}

PartitionTable readPartitionTable(SectorSource& source) {
    PartitionTable table;
    std::array<std::uint8_t, 512> sector{};
    if (!source.readSectors(1, sector.data(), 0)) {
        table.problems.push_back("cannot read sector 0");
        return table;
    }
    if (!hasBootSignature(sector)) return table;
    if (holdsFileSystemBootSector(sector)) {
        table.problems.push_back(
            "sector 0 holds a file system's boot sector, not a partition table");
        return table;
    }
    auto slots = parseMbrSlots(sector);
    for (const MbrSlot& slot : slots) {
        if (slot.type == 0xEE) {
            readGpt(source, table);
            return table;
        }
    }
    table.scheme = "MBR";
    for (int i = 0; i < 4; ++i) {
        const MbrSlot& slot = slots[static_cast<std::size_t>(i)];
        if (slot.type == 0 || slot.sectorCount == 0) continue;
        if (slot.firstSector == 0) {
            table.problems.push_back(fmt::format("partition {} starts at sector 0", i + 1));
            continue;
        }
        if (isExtended(slot.type)) {
            readLogicalPartitions(source, slot.firstSector, table);
            continue;
        }
        table.partitions.push_back(
            {i + 1, slot.firstSector, slot.sectorCount, mbrTypeName(slot.type)});
    }
    return table;
}

}  // namespace mdf
