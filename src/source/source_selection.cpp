#include "source/source_selection.h"

#include <fmt/core.h>

#include <array>

#include "report/reporter.h"
#include "source/platform_file.h"

namespace mdf {
namespace {

void fillRangeWithoutFileSystem(SourceContext& ctx, std::int64_t sourceSectors) {
    ctx.settings.freeSpaceOnly = false;
    ctx.settings.beginSector = "0";
    ctx.settings.endSector = std::to_string(sourceSectors);
    ctx.source.setReadLimit(sourceSectors);
    ctx.settings.sectorsPerCluster = "1";
    ctx.settings.fileSystemLabel = "";
}

// After a boot sector was read: the scan covers the cluster area at the cluster stride.
void fillRangeFromBootSector(SourceContext& ctx) {
    const std::int64_t end = ctx.volume.dataStartSector + ctx.source.sourceSectors();
    ctx.settings.freeSpaceOnly = true;
    ctx.settings.beginSector = std::to_string(ctx.volume.dataStartSector);
    ctx.settings.endSector = std::to_string(end);
    ctx.source.setReadLimit(end);
    ctx.settings.sectorsPerCluster = std::to_string(ctx.volume.sectorsPerCluster);
    ctx.settings.fileSystemLabel = ctx.volume.fsKind;
}

// Everything a volume and a partition share once the source points at them.
void chooseVolumeLike(SourceContext& ctx, const std::string& text, const std::string& failure) {
    ctx.settings.dataSourceText = text;
    ctx.sourceChosen = true;
    ctx.volume.hasFileSystem = true;
    ctx.settings.freeSpaceOnly = false;
    ctx.settings.freeSpaceEnabled = true;
    if (readBootSector(ctx.source, ctx.volume, ctx.reporter) != 0) {
        ctx.reporter.showMessage(failure, "message", MessageIcon::None);
        return;
    }
    fillRangeFromBootSector(ctx);
}

}  // namespace

void chooseDisk(SourceContext& ctx, const DiskEntry& disk, const DeviceCatalog& catalog) {
    ctx.source.select(SourceKind::PhysicalDisk, disk.devicePath, ctx.source.sourceSectors());
    ctx.sourceChosen = true;
    ctx.settings.dataSourceText = disk.caption;
    std::array<std::uint8_t, 512> sector{};
    (void)ctx.source.readSectors(1, sector.data(), 0);  // opens the device; the bytes are not used
    if (auto sectors = catalog.probeDisk(disk.name)) ctx.source.setSourceSectors(*sectors);
    ctx.volume.hasFileSystem = false;
    ctx.settings.freeSpaceEnabled = false;
    fillRangeWithoutFileSystem(ctx, ctx.source.sourceSectors());
}

void chooseVolume(SourceContext& ctx, const VolumeEntry& volume) {
    if (volume.sizeBytes < 1) {
        ctx.reporter.showMessage("invaid driver！", "message", MessageIcon::Warning);
        return;
    }
    ctx.source.select(SourceKind::Volume, volume.devicePath, volume.sizeBytes / 512 - 1);
    chooseVolumeLike(ctx, volume.displayName, "reading error");
}

void openImage(SourceContext& ctx, const std::string& path, ImageKind kind) {
    if (path.empty()) return;
    ctx.settings.dataSourceText = path;
    const std::int64_t size = std::max<std::int64_t>(byteSizeOf(path), 0);
    const std::int64_t sectors = size / 512;
    ctx.source.select(SourceKind::ImageFile, path, sectors);
    ctx.sourceChosen = true;
    ctx.volume.hasFileSystem = false;
    ctx.settings.freeSpaceOnly = false;
    ctx.settings.freeSpaceEnabled = false;
    if (kind == ImageKind::WholeDisk) {
        fillRangeWithoutFileSystem(ctx, sectors);
        return;
    }
    ctx.volume.hasFileSystem = true;
    ctx.settings.freeSpaceEnabled = true;
    if (readBootSector(ctx.source, ctx.volume, ctx.reporter) != 0) {
        ctx.reporter.showMessage("read sector error 2", "message", MessageIcon::None);
        return;
    }
    fillRangeFromBootSector(ctx);
}

void choosePartition(SourceContext& ctx, const PartitionEntry& partition) {
    const std::string disk = ctx.source.devicePath();
    const std::int64_t base = ctx.source.firstSector();
    ctx.source.select(SourceKind::Volume, disk, partition.sectorCount - 1,
                      base + partition.firstSector);
    ctx.source.setReadLimit(partition.sectorCount - 1);
    chooseVolumeLike(ctx,
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
