#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "source/partition_table.h"

namespace mdf::cli {

struct ListedPartition {
    PartitionEntry entry;
    std::string fileSystem;  // "FAT32", "NTFS", "exFAT", "ext2/3/4", or "-" when not known
};

// What lies at the start of a disk or image: a partition table, or a file system of its own.
struct DiskPartitions {
    std::int64_t sectors = 0;
    std::string scheme;                    // "MBR", "GPT", or empty
    std::uint32_t tableSectorBytes = 512;  // 4096 for the GPT of a 4Kn disk
    std::string fileSystem;  // the file system sector 0 starts, when SOURCE is a volume
    std::vector<ListedPartition> partitions;
    std::vector<std::string> problems;
};

// Reads only sector 0, the tables it leads to, and the first sectors of each partition.
DiskPartitions readDiskPartitions(const std::string& path);

// "1 (FAT32, sector 2048, 64.0 MiB), 2 (...)": the numbers --partition=N accepts.
std::string partitionChoices(const DiskPartitions& disk);

std::string humanSize(std::int64_t sectors);

}  // namespace mdf::cli
