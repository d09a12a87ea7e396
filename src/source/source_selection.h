#pragma once

#include <string>

#include "source/device_catalog.h"
#include "source/partition_table.h"
#include "source/scan_settings.h"
#include "source/sector_source.h"
#include "source/volume_layout.h"

namespace mdf {

class Reporter;

// What choosing a data source changes.
struct SourceContext {
    SectorSource& source;
    VolumeLayout& volume;
    ScanSettings& settings;
    bool& sourceChosen;
    Reporter& reporter;
};

// A physical disk: the whole disk is scanned sector by sector.
void chooseDisk(SourceContext& ctx, const DiskEntry& disk, const DeviceCatalog& catalog);

// Each choice returns false when the source cannot be used as asked: no such volume, an image
// that cannot be opened, a boot sector that cannot be read.
//
// A volume. Shows "invaid driver！" when it has no size; reads its boot sector and fills the scan
// range from it ("reading error" when the boot sector cannot be read).
bool chooseVolume(SourceContext& ctx, const VolumeEntry& volume);

// What an image file holds: a whole disk (scanned sector by sector) or one partition (its boot
// sector gives the cluster area and the stride). The front end asks the user which.
enum class ImageKind { WholeDisk, Partition };
bool openImage(SourceContext& ctx, const std::string& path, ImageKind kind);

// A partition found in the table of the disk or whole-disk image chosen last: it is read like a
// volume, its sectors counted from its own first sector.
bool choosePartition(SourceContext& ctx, const PartitionEntry& partition);

// The partitions of the current disk or whole-disk image, for further menu entries. Damage in
// the table is told in the scan log.
PartitionTable listPartitions(SourceContext& ctx);

}  // namespace mdf
