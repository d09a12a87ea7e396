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

// A physical disk from the menu: the whole disk is scanned sector by sector.
void DiskItemClick(SourceContext& ctx, const DiskEntry& disk, const DeviceCatalog& catalog);

// A volume from the menu. Shows "invaid driver！" when it has no size; reads its boot sector
// and fills the scan range from it ("reading error" when the boot sector cannot be read).
void VolumeItemClick(SourceContext& ctx, const VolumeEntry& volume);

// An image file. The front end has asked whether it is the image of a partition
// ("choose yes if it is a driver img,choose no if it is a disk img") and passes the answer.
void N7Click(SourceContext& ctx, const std::string& path, bool partitionImage);

// A partition found in the table of the disk or whole-disk image chosen last: it is read like a
// volume, its sectors counted from its own first sector.
void PartitionItemClick(SourceContext& ctx, const PartitionEntry& partition);

// The partitions of the current disk or whole-disk image, for further menu entries. Damage in
// the table is told in the scan log.
PartitionTable listPartitions(SourceContext& ctx);

}  // namespace mdf
