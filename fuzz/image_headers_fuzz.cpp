// The headers and tables of containers that a damaged or hostile image may hold: a qcow's header,
// L1 and L2 tables (checked before the image library is let near them), a GPT with its checksums
// and backup, and the record a content file keeps before its trailer.

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>

#include "memory_file.h"
#include "scan/content_file.h"
#include "scan/fragment_list.h"
#include "scratch_path.h"
#include "source/partition_table.h"
#include "source/qcow_header.h"
#include "source/sector_source.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace mdf;
    std::span<const std::uint8_t> input(data, size);

    fuzz::MemoryFile file(input);
    (void)qcowImageProblem(file, size);

    // The bytes as a disk whose sector 0 says GPT: its header at LBA 1 and its backup wherever
    // the header says.
    std::vector<std::uint8_t> disk(input.begin(), input.end());
    disk.resize(std::max<std::size_t>(disk.size(), 1024));
    disk[450] = 0xEE;
    disk[510] = 0x55;
    disk[511] = 0xAA;
    std::copy_n("EFI PART", 8, disk.begin() + 512);
    SectorSource source(fuzz::memoryOpener(disk));
    source.select(SourceKind::ImageFile, "input", static_cast<std::int64_t>(disk.size() / 512));
    (void)readPartitionTable(source);

    // The bytes as a content file, its record read and its sectors asked for.
    static const fuzz::ScratchPath scratch("mdf-content-fuzz", ".bin");
    const std::string& path = scratch.str();
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    ContentFile content;
    if (content.open(path)) {
        FragmentList list;
        list.replace({composeFragment(1, 2, 100, 10, " ")});
        std::vector<std::uint8_t> page(8192);
        for (std::int32_t offset : {-15, 0, 16})
            content.readContentSectors(list, offset, offset < 0 ? 15 : 16, page.data(), 100);
    }
    return 0;
}
