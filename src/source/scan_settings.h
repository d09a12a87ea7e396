#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace mdf {

// What a scan runs with: the range and stride a source choice proposes, and the limits the user
// sets. The front ends turn what the user typed into these numbers, or refuse to start.
struct ScanSettings {
    std::string sourceCaption;     // how the chosen source is named to the user
    std::int64_t beginSector = 0;  // first position examined
    std::int64_t endSector = 0;    // positions examined are below it
    // The stride; none when the user left it open, for a saved scan's content file to tell.
    std::optional<std::int64_t> sectorsPerCluster = 1;
    std::string fileSystemLabel;  // "NTFS", "FAT32", "unkhnown" or ""
    bool freeSpaceOnly = true;    // skip clusters the file system marks in use
    // Record only fragments whose first page id is below it.
    std::optional<std::int64_t> maxStartPage;
    std::uint16_t fileId = 1;  // the file id of the database wanted
};

// What the user is told when the numbers of a scan cannot be taken.
inline constexpr const char* kScanNumbersRule =
    "the start sector, end sector, sectors per cluster and start page limit must be whole "
    "numbers, sectors per cluster at least 1";

// The stride, as the volume's sectors per cluster take it, when none was given: 8.
inline std::uint16_t strideOrDefault(const ScanSettings& s) {
    return static_cast<std::uint16_t>(s.sectorsPerCluster.value_or(8));
}

}  // namespace mdf
