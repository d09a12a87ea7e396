#include "cli/scan_options.h"

#include "cli/exit_codes.h"

namespace mdf::cli {

bool ScanOptions::anyGiven() const {
    return start || end || stride || maxStartPage || fileId != 1 || freeSpaceOnly || directIo;
}

void ScanOptions::addTo(CLI::App& c) {
    c.add_option("--start", start,
                 "First sector to examine (default: the start of the cluster area)")
        ->check(CLI::NonNegativeNumber);
    c.add_option("--end", end,
                 "Sector to stop before (default: the end of the source; a larger value is cut "
                 "to it)")
        ->check(CLI::NonNegativeNumber);
    c.add_option("--stride", stride, "Sectors between positions (default: sectors per cluster)")
        ->check(CLI::Range(std::int64_t{1}, std::int64_t{65535}));
    c.add_option("--file-id", fileId, "File id of the wanted database file");
    c.add_flag("--free-space-only", freeSpaceOnly,
               "Skip clusters the file system marks in use (partitions only)");
    c.add_option("--max-start-page", maxStartPage,
                 "Record only fragments whose first page id is below this")
        ->check(CLI::Range(std::int64_t{1}, std::int64_t{INT32_MAX}));
    c.add_flag("--direct-io", directIo,
               "Read an image file past the page cache with O_DIRECT, as block devices always are");
}

bool ScanOptions::applyTo(RecoverySession& s) const {
    if (directIo) s.readSourceDirectly(true);
    ScanSettings& settings = s.settings();
    if (start) settings.beginSector = *start;
    if (stride) settings.sectorsPerCluster = *stride;
    // A scan never reads past the source: what lies beyond it can only be read errors, or, for a
    // partition inside a disk, the next partition's data.
    const std::int64_t sourceEnd = s.sourceEndSector();
    if (end) {
        if (sourceEnd > 0 && *end > sourceEnd) {
            complain("--end {} lies past the end of the source; the scan ends at sector {}", *end,
                     sourceEnd);
            settings.endSector = sourceEnd;
        } else {
            settings.endSector = *end;
        }
    }
    if (settings.beginSector > settings.endSector) {
        complain("--start {} lies past the end of the scan ({})", settings.beginSector,
                 settings.endSector);
        return false;
    }
    settings.fileId = fileId;
    settings.freeSpaceOnly = freeSpaceOnly && s.volume().hasFileSystem;
    settings.maxStartPage = maxStartPage;
    return true;
}

}  // namespace mdf::cli
