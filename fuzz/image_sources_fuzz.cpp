// What the sources beyond raw disks read from untrusted bytes: ddrescue map files, MFT records
// with their update sequence, exFAT root directories and boot sectors, image signatures.
#include <array>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "memory_file.h"
#include "report/reporter.h"
#include "source/ddrescue_map.h"
#include "source/exfat_bitmap.h"
#include "source/free_space_map.h"
#include "source/image_format.h"
#include "source/ntfs_record.h"
#include "source/sector_source.h"
#include "source/volume_layout.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace mdf;
    std::span<const std::uint8_t> input(data, size);

    RescueMap map;
    std::string problem;
    if (parseRescueMap(std::string_view(reinterpret_cast<const char*>(data), size), map, problem)) {
        for (std::uint64_t at : {std::uint64_t{0}, std::uint64_t{512}, map.listedEnd / 2,
                                 map.listedEnd, ~std::uint64_t{0} - 512})
            map.isRescued(at, 512);
    }

    std::vector<std::uint8_t> record(input.begin(),
                                     input.begin() + std::min<std::size_t>(size, 4096));
    applyUpdateSequence(record);

    ExfatBitmapEntry entry;
    bool end = false;
    findExfatBitmapEntry(input, entry, end);
    sniffImageFormat(input.first(std::min<std::size_t>(size, 512)),
                     input.last(std::min<std::size_t>(size, 512)));

    // The bytes as an exFAT volume whose boot sector they start with.
    std::array<std::uint8_t, 512> sector{};
    std::copy_n(data, std::min<std::size_t>(size, 512), sector.begin());
    std::memcpy(&sector[3], "EXFAT   ", 8);
    VolumeLayout layout;
    parseBootSector(sector, layout);
    SectorSource source(fuzz::memoryOpener(input));
    source.select(SourceKind::Volume, "input", static_cast<std::int64_t>(size / 512) - 1);
    if (layout.fsKind == "exFAT") {
        FreeSpaceMap free;
        readExfatBitmap(free, source, layout);
        for (std::int64_t s = 0; s < 64; ++s)
            free.isClusterInUse(s * 8, layout.fsKind, layout);
    }
    return 0;
}
