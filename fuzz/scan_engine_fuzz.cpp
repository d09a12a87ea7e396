// A whole (small) disk of untrusted bytes scanned at every sector: page runs, joins, the memo
// readers of file-start fragments and the start-page limit.
#include <atomic>
#include <cstdint>

#include "memory_file.h"
#include "report/reporter.h"
#include "scan/scan_engine.h"
#include "source/sector_source.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace mdf;
    if (size < 2) return 0;
    SectorSource source(fuzz::memoryOpener({data + 2, size - 2}));
    const std::int64_t sectors = static_cast<std::int64_t>((size - 2 + 511) / 512);
    source.select(SourceKind::ImageFile, "input", sectors);
    source.setReadLimit(sectors);
    VolumeLayout volume;
    ScanSettings settings;
    settings.beginSector = 0;
    settings.endSector = sectors + data[0] % 64;
    settings.sectorsPerCluster = 1 + data[1] % 40;
    settings.freeSpaceOnly = false;
    if (data[1] & 0x80) settings.maxStartPage = data[0];
    FreeSpaceMap freeSpace;
    FragmentList fragments;
    FragmentIndex index;
    std::atomic<bool> stop{false};
    std::string pendingMemo;
    SilentReporter reporter;
    ScanContext ctx{
        source, volume, settings, freeSpace, fragments, index, stop, 1, pendingMemo, reporter, [] {
            return std::string();
        }};
    runScanJob(ctx);
    return 0;
}
