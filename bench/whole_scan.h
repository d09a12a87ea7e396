#pragma once

#include <atomic>
#include <string>

#include "report/reporter.h"
#include "scan/scan_engine.h"
#include "source/sector_source.h"

namespace mdf::bench {

// Scans a whole image from sector 0 at a stride of 8 sectors, as a scan of a 4 KiB-cluster disk
// does; returns the fragments found.
inline std::size_t scanWholeImage(const std::string& image, std::int64_t sectors) {
    SectorSource source;
    source.select(SourceKind::ImageFile, image, sectors);
    source.setReadLimit(sectors);
    VolumeLayout volume;
    ScanSettings settings;
    settings.beginSector = 0;
    settings.endSector = sectors;
    settings.sectorsPerCluster = 8;
    settings.freeSpaceOnly = false;
    FreeSpaceMap freeSpace;
    FragmentList list;
    FragmentIndex index;
    std::atomic<bool> stop{false};
    std::string memo;
    SilentReporter reporter;
    ScanContext ctx{source, volume, settings, freeSpace, list, index, stop, 1, memo, reporter};
    runScanJob(ctx);
    return list.size();
}

}  // namespace mdf::bench
