#include "cli/scan_options.h"

namespace mdf::cli {

void ScanOptions::addTo(CLI::App& c) {
    c.add_option("--start", start,
                 "First sector to examine (default: the start of the cluster area)");
    c.add_option("--end", end, "Sector to stop before (default: the end of the source)");
    c.add_option("--stride", stride, "Sectors between positions (default: sectors per cluster)")
        ->check(CLI::PositiveNumber);
    c.add_option("--file-id", fileId, "File id of the wanted database file");
    c.add_flag("--free-space-only", freeSpaceOnly,
               "Skip clusters the file system marks in use (partitions only)");
    c.add_option("--max-start-page", maxStartPage,
                 "Record only fragments whose first page id is below this");
}

void ScanOptions::applyTo(RecoverySession& s) const {
    if (start) s.settings().beginSector = std::to_string(*start);
    if (end) s.settings().endSector = std::to_string(*end);
    if (stride) s.settings().sectorsPerCluster = std::to_string(*stride);
    s.settings().fileIdText = std::to_string(fileId);
    s.settings().freeSpaceOnly = freeSpaceOnly && s.volume().hasFileSystem;
    s.settings().startPageLimit = maxStartPage.has_value();
    if (maxStartPage) s.settings().maxStartPage = std::to_string(*maxStartPage);
}

}  // namespace mdf::cli
