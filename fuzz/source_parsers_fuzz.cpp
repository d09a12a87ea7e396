// Boot sectors, partition tables (MBR, extended boot records, GPT), NTFS run lists and the file
// map of an $MFT, as a damaged disk may hold them.
#include <array>
#include <cstdint>
#include <span>

#include "memory_file.h"
#include "report/reporter.h"
#include "source/free_space_map.h"
#include "source/ntfs_file_map.h"
#include "source/partition_table.h"
#include "source/sector_source.h"
#include "source/volume_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace mdf;
    std::span<const std::uint8_t> input(data, size);

    std::array<std::uint8_t, 512> sector{};
    std::copy_n(data, std::min<std::size_t>(size, 512), sector.begin());
    VolumeLayout layout;
    parseBootSector(sector, layout);

    std::vector<ClusterRun> runs;
    decodeBitmapRunList(input.first(std::min<std::size_t>(size, 1024)), runs);

    SectorSource source(fuzz::memoryOpener(input));
    source.select(SourceKind::ImageFile, "input", static_cast<std::int64_t>(size / 512));
    PartitionTable table = readPartitionTable(source);

    // The free-space map over the same bytes read as a volume.
    if (layout.sectorsPerCluster > 0) {
        SilentReporter reporter;
        FreeSpaceMap map;
        std::vector<std::uint8_t> work(12288 * 512);
        layout.fatSectors = std::min<std::int64_t>(layout.fatSectors, 1 << 14);
        buildFreeSpaceMap(map, source, layout, reporter, work);
        for (std::int64_t s = 0; s < 64; ++s)
            map.isClusterInUse(s * 8, layout.fsKind, layout);
        // The files an NTFS volume holds, from its $MFT.
        std::string why;
        if (auto files = NtfsFileMap::read(source, why))
            for (std::int64_t c = 0; c < 64; ++c) {
                (void)files->clusterAfter(c);
                (void)files->placeInFile(c);
            }
    }
    return 0;
}
