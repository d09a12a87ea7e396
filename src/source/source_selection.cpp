#include "source/source_selection.h"

#include <fmt/core.h>

#include <array>

#include "report/reporter.h"
#include "source/platform_file.h"

namespace mdf {
namespace {

void fillRangeWithoutFileSystem(SourceContext& ctx, std::int64_t sourceSectors) {
    ctx.settings.freeSpaceOnly = false;
    ctx.settings.beginSector = 0;
    ctx.settings.endSector = sourceSectors;
    ctx.source.setReadLimit(sourceSectors);
    ctx.settings.sectorsPerCluster = 1;
    ctx.settings.fileSystemLabel = "";
}

// After a boot sector was read: the scan covers the cluster area at the cluster stride.
//
// The cluster area's start plus the volume's size overshoots the volume by the size of the FATs;
// the scan range and the read limit end at the volume's last sector instead, so that nothing past
// the volume (read errors, or the next partition of a disk) is ever read.
void fillRangeFromBootSector(SourceContext& ctx) {
    // The volume's end, whatever the kind of source: a volume's sourceSectors is its last
    // sector's number, and taken as a count it left that sector unread.
    const std::int64_t end = ctx.source.endSector();
    ctx.settings.freeSpaceOnly = true;
    ctx.settings.beginSector = ctx.volume.dataStartSector;
    ctx.settings.endSector = end;
    ctx.source.setReadLimit(ctx.source.sourceKind() == SourceKind::Volume ? end - 1 : end);
    ctx.settings.sectorsPerCluster = ctx.volume.sectorsPerCluster;
    ctx.settings.fileSystemLabel = ctx.volume.fsKind;
}

// Everything a volume and a partition share once the source points at them.
bool chooseVolumeLike(SourceContext& ctx, const std::string& text, const std::string& failure) {
    ctx.settings.sourceCaption = text;
    ctx.sourceChosen = true;
    ctx.volume.hasFileSystem = true;
    ctx.settings.freeSpaceOnly = false;
    if (readBootSector(ctx.source, ctx.volume, ctx.reporter) != 0) {
        ctx.reporter.showMessage(failure, "message", MessageIcon::None);
        return false;
    }
    fillRangeFromBootSector(ctx);
    return true;
}

}  // namespace

void chooseDisk(SourceContext& ctx, const DiskEntry& disk, const DeviceCatalog& catalog) {
    ctx.source.select(SourceKind::PhysicalDisk, disk.devicePath, ctx.source.sourceSectors());
    ctx.sourceChosen = true;
    ctx.settings.sourceCaption = disk.caption;
    std::array<std::uint8_t, 512> sector{};
    (void)ctx.source.readSectors(1, sector.data(), 0);  // opens the device; the bytes are not used
    if (auto sectors = catalog.probeDisk(disk.name)) ctx.source.setSourceSectors(*sectors);
    ctx.volume.hasFileSystem = false;
    fillRangeWithoutFileSystem(ctx, ctx.source.sourceSectors());
}

bool chooseVolume(SourceContext& ctx, const VolumeEntry& volume) {
    if (volume.sizeBytes < 1) {
        ctx.reporter.tell(said(Saying::InvalidDrive), "message", MessageIcon::Warning);
        return false;
    }
    ctx.source.select(SourceKind::Volume, volume.devicePath, volume.sizeBytes / 512 - 1);
    return chooseVolumeLike(ctx, volume.displayName, "reading error");
}

bool openImage(SourceContext& ctx, const std::string& path, ImageKind kind) {
    if (path.empty()) return false;
    ctx.settings.sourceCaption = path;
    const std::int64_t size = std::max<std::int64_t>(byteSizeOf(path), 0);
    const std::int64_t sectors = size / 512;
    ctx.source.select(SourceKind::ImageFile, path, sectors);
    ctx.sourceChosen = true;
    ctx.volume.hasFileSystem = false;
    ctx.settings.freeSpaceOnly = false;
    if (kind == ImageKind::WholeDisk) {
        fillRangeWithoutFileSystem(ctx, sectors);
        return sectors > 0;
    }
    ctx.volume.hasFileSystem = true;
    if (readBootSector(ctx.source, ctx.volume, ctx.reporter) != 0) {
        ctx.reporter.showMessage("read sector error 2", "message", MessageIcon::None);
        return false;
    }
    fillRangeFromBootSector(ctx);
    return true;
}

bool choosePartition(SourceContext& ctx, const PartitionEntry& partition) {
    const std::string disk = ctx.source.devicePath();
    const std::int64_t base = ctx.source.firstSector();
    // A damaged table may give a partition larger than the disk: it ends where the disk does.
    const std::int64_t diskEnd = ctx.source.endSector();
    std::int64_t sectors = partition.sectorCount;
    if (diskEnd > 0 && base + partition.firstSector + sectors > diskEnd) {
        sectors = std::max<std::int64_t>(0, diskEnd - base - partition.firstSector);
        ctx.reporter.logLine(Memo::Scan,
                             fmt::format("partition {} runs past the disk; it is read up "
                                         "to the disk's end ({} sectors)",
                                         partition.number, sectors));
    }
    if (sectors <= 0) {
        ctx.reporter.showMessage("reading error", "message");
        return false;
    }
    ctx.source.select(SourceKind::Volume, disk, sectors - 1, base + partition.firstSector);
    ctx.source.setReadLimit(sectors - 1);
    return chooseVolumeLike(ctx,
                            fmt::format("{} partition {} (sector {}, {})", disk, partition.number,
                                        partition.firstSector, partition.typeName),
                            "reading error");
}

PartitionTable listPartitions(SourceContext& ctx) {
    PartitionTable table = readPartitionTable(ctx.source);
    for (const std::string& problem : table.problems)
        ctx.reporter.logLine(Memo::Scan, "partition table: " + problem);
    return table;
}

}  // namespace mdf
