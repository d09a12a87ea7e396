#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace mdf {

class SectorSource;

// One partition of a disk or whole-disk image, in 512-byte sectors from the disk's start, as
// everything else counts (a table kept in 4096-byte sectors is converted).
struct PartitionEntry {
    int number = 0;  // 1-based, in table order (MBR logical partitions from 5)
    std::int64_t firstSector = 0;
    std::int64_t sectorCount = 0;
    std::string typeName;  // "FAT32 (LBA)", "NTFS/exFAT", a GPT type name, or the raw type
};

struct PartitionTable {
    std::string scheme;  // "MBR", "GPT" or "" when sector 0 holds no table
    // The sector the table counts in: 4096 for the GPT of a 4Kn disk, else 512.
    std::uint32_t lbaBytes = 512;
    std::vector<PartitionEntry> partitions;
    std::vector<std::string> problems;  // damaged parts of the table, one line each
};

// Pure parsers of untrusted bytes; they never read outside the spans they are given.
struct MbrSlot {
    std::uint8_t type = 0;
    std::uint32_t firstSector = 0;
    std::uint32_t sectorCount = 0;
};
bool hasBootSignature(std::span<const std::uint8_t> sector);
std::vector<MbrSlot> parseMbrSlots(std::span<const std::uint8_t> sector);

struct GptHeader {
    std::uint64_t entriesLba = 0;
    std::uint32_t entryCount = 0;
    std::uint32_t entrySize = 0;
};
// The CRC-32 of ISO-HDLC (the one zlib and GPT use).
std::uint32_t crc32(std::span<const std::uint8_t> bytes);
// Whether a GPT header's own CRC-32 (over its header size, with the CRC field as zeros) holds.
bool gptHeaderChecksumHolds(std::span<const std::uint8_t> sector);
bool parseGptHeader(std::span<const std::uint8_t> sector, GptHeader& header, std::string& problem);
// Appends the used entries among count entries of size bytes each in bytes; their LBAs count
// lbaBytes-byte sectors and are converted to 512-byte ones.
void parseGptEntries(std::span<const std::uint8_t> bytes, std::uint32_t count, std::uint32_t size,
                     PartitionTable& table, std::uint32_t lbaBytes = 512);

// Reads sector 0 of the source, follows a protective MBR to the GPT and an extended partition
// to its logical partitions. The GPT header is looked for in LBA 1 of 512-byte sectors, then of
// 4096-byte ones (4Kn disks, whose images carry no sector size). Damage is reported in problems,
// never by a crash.
PartitionTable readPartitionTable(SectorSource& source);

std::string mbrTypeName(std::uint8_t type);

}  // namespace mdf
