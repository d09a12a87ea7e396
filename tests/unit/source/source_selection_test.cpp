// Choosing a disk, a volume, an image or a partition: the scan range each choice fills, and the
// failure rows that must leave the right state behind.
#include "source/source_selection.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

#include "report/reporter.h"
#include "testworld/process.h"
#include "testworld/temp_dir.h"

namespace mdf {
namespace {

using test::TempDir;

struct Choice {
    SectorSource source;
    VolumeLayout volume;
    ScanSettings settings;
    bool chosen = false;
    RecordingReporter reporter;
    SourceContext ctx{source, volume, settings, chosen, reporter};
};

// A boot sector of the given kind at the start of a sparse image of the given size.
std::string imageWithBootSector(const TempDir& dir, const std::string& kind, std::int64_t bytes) {
    std::vector<std::uint8_t> image(512, 0);
    image[13] = 8;
    if (kind == "FAT32") {
        std::memcpy(&image[82], "FAT32", 5);
        image[14] = 32;
        image[36] = 0x58;
        image[37] = 0x1B;  // 7000 sectors per FAT: the cluster area starts at 14032
    } else if (kind == "NTFS") {
        std::memcpy(&image[3], "NTFS", 4);
    }
    std::string path = dir.file(kind + ".img");
    test::writeFile(path, image);
    std::filesystem::resize_file(path, static_cast<std::uintmax_t>(bytes));
    return path;
}

TEST(SourceSelection, WholeDiskImageIsScannedSectorBySector) {
    TempDir dir;
    Choice c;
    openImage(c.ctx, imageWithBootSector(dir, "none", 1048576), ImageKind::WholeDisk);
    EXPECT_TRUE(c.chosen);
    EXPECT_EQ(c.settings.beginSector, 0);
    EXPECT_EQ(c.settings.endSector, 2048);
    EXPECT_EQ(c.settings.sectorsPerCluster, 1);
    EXPECT_EQ(c.settings.fileSystemLabel, "");
    EXPECT_FALSE(c.settings.freeSpaceOnly);
    EXPECT_EQ(c.source.readLimit(), 2048);
    EXPECT_FALSE(c.volume.hasFileSystem);
}

// The cluster area's start plus the volume's size would end past the file by the size of the
// FATs; the scan ends at the file's last sector instead, so nothing past it is ever read.
TEST(SourceSelection, PartitionImageStartsAtTheClusterAreaAndEndsAtTheFilesEnd) {
    TempDir dir;
    Choice c;
    openImage(c.ctx, imageWithBootSector(dir, "FAT32", 2000000ll * 512), ImageKind::Partition);
    EXPECT_EQ(c.settings.beginSector, 14032);
    EXPECT_EQ(c.settings.endSector, 2000000);
    EXPECT_EQ(c.source.readLimit(), 2000000);
    EXPECT_EQ(c.settings.sectorsPerCluster, 8);
    EXPECT_EQ(c.settings.fileSystemLabel, "FAT32");
    EXPECT_TRUE(c.settings.freeSpaceOnly);
    EXPECT_TRUE(c.volume.hasFileSystem);
}

TEST(SourceSelection, VolumesReadTheirBootSector) {
    TempDir dir;
    for (std::string kind : {"FAT32", "NTFS", "other"}) {
        Choice c;
        const std::int64_t bytes = 1000000ll * 512;
        VolumeEntry v{imageWithBootSector(dir, kind, bytes), "", bytes, "/dev/sdz1 []",
                      "Driver /dev/sdz1 [] "};
        chooseVolume(c.ctx, v);
        EXPECT_EQ(c.source.sourceKind(), SourceKind::Volume);
        EXPECT_EQ(c.settings.sourceCaption, "/dev/sdz1 []");
        if (kind == "FAT32") {
            EXPECT_EQ(c.settings.beginSector, 14032);
            EXPECT_EQ(c.settings.endSector, 1000000) << "the volume's end, not 14032 + 999999";
            EXPECT_EQ(c.source.readLimit(), 999999) << "a volume's limit is its last sector";
        } else {
            EXPECT_EQ(c.settings.beginSector, 0);
            // Its last sector (999999) is scanned and read like every other.
            EXPECT_EQ(c.settings.endSector, 1000000);
            EXPECT_EQ(c.source.readLimit(), 999999);
            EXPECT_EQ(c.settings.fileSystemLabel, kind == "NTFS" ? "NTFS" : "unkhnown");
        }
        EXPECT_EQ(c.settings.sectorsPerCluster, 8);
    }
}

TEST(SourceSelection, FailuresLeaveTheStateTheUserHad) {
    TempDir dir;
    Choice c;
    openImage(c.ctx, imageWithBootSector(dir, "FAT32", 2000000ll * 512), ImageKind::Partition);
    const ScanSettings before = c.settings;

    // A volume without size changes nothing at all.
    chooseVolume(c.ctx, VolumeEntry{"/dev/sdz9", "", 0, "/dev/sdz9 []", ""});
    EXPECT_EQ(c.reporter.messages(), std::vector<std::string>{"message: invaid driver！"});
    EXPECT_EQ(c.reporter.events().back().icon, MessageIcon::Warning);
    EXPECT_EQ(c.settings.endSector, before.endSector);

    // A volume whose boot sector cannot be read: the source switches, the scan range stays.
    c.reporter.clear();
    chooseVolume(c.ctx, VolumeEntry{dir.file("gone"), "", 4096, "/dev/gone []", ""});
    EXPECT_EQ(c.reporter.lines(Memo::Scan), std::vector<std::string>{"512error read sec0"});
    EXPECT_EQ(c.reporter.messages(), std::vector<std::string>{"message: reading error"});
    EXPECT_EQ(c.source.devicePath(), dir.file("gone"));
    EXPECT_EQ(c.settings.beginSector, before.beginSector);
    EXPECT_EQ(c.settings.endSector, before.endSector);
    EXPECT_EQ(c.source.readLimit(), 2000000);

    // A partition image that cannot be opened: chosen with 0 sectors, "read sector error 2".
    c.reporter.clear();
    openImage(c.ctx, dir.file("missing.img"), ImageKind::Partition);
    EXPECT_EQ(c.source.sourceSectors(), 0);
    EXPECT_EQ(c.reporter.messages(), std::vector<std::string>{"message: read sector error 2"});
    EXPECT_EQ(c.settings.endSector, before.endSector);
    EXPECT_TRUE(c.chosen);
}

TEST(SourceSelection, PartitionsOfAWholeDiskImageAreReadLikeVolumes) {
    TempDir dir;
    const std::string disk = dir.file("disk.img");
    test::runChecked({"truncate", "-s", "48M", disk});
    std::ofstream(dir.file("t")) << "label: dos\nstart=2048, size=96256, type=c\n";
    test::runChecked({"sfdisk", "--no-reread", "--no-tell-kernel", "-q", disk}, {}, dir.file("t"));
    test::runChecked({"mkfs.vfat", "-F", "32", "-s", "1", "--offset", "2048", disk, "48128"});

    Choice c;
    openImage(c.ctx, disk, ImageKind::WholeDisk);
    PartitionTable table = listPartitions(c.ctx);
    ASSERT_EQ(table.partitions.size(), 1u);
    choosePartition(c.ctx, table.partitions[0]);
    EXPECT_EQ(c.source.firstSector(), 2048);
    EXPECT_EQ(c.settings.fileSystemLabel, "FAT32");
    EXPECT_EQ(c.settings.sectorsPerCluster, 1);
    EXPECT_TRUE(c.volume.hasFileSystem);
    std::array<std::uint8_t, 512> boot{};
    ASSERT_TRUE(c.source.readSectors(1, boot.data(), 0));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(&boot[82]), 5), "FAT32");
    EXPECT_FALSE(c.source.readSectors(1, boot.data(), 96256))
        << "reads stop at the partition's end";
}

// Fields that cannot describe the volume they sit on (reserved sectors 65535 on a volume of 4096
// sectors, a $MFT past the volume) must not steer the scan outside it: the volume is scanned
// whole, and the log says why.
TEST(SourceSelection, ADamagedBootSectorIsScannedWholeNeverOutsideTheVolume) {
    TempDir dir;
    for (std::string kind : {"FAT32", "NTFS"}) {
        std::string path = imageWithBootSector(dir, kind, 4096ll * 512);
        std::vector<std::uint8_t> sector = test::readFile(path);
        sector.resize(512);
        if (kind == "FAT32") {
            sector[14] = 0xFF;
            sector[15] = 0xFF;
        } else {
            sector[48 + 6] = 0x40;  // $MFT cluster 2^54
        }
        test::writeAt(path, 0, sector);
        Choice c;
        ASSERT_TRUE(openImage(c.ctx, path, ImageKind::Partition));
        EXPECT_EQ(c.settings.fileSystemLabel, "unkhnown") << kind;
        EXPECT_EQ(c.settings.beginSector, 0);
        EXPECT_EQ(c.settings.endSector, 4096);
        EXPECT_EQ(c.settings.sectorsPerCluster, 1);
        ASSERT_FALSE(c.reporter.lines(Memo::Scan).empty());
        EXPECT_NE(c.reporter.lines(Memo::Scan).back().find("boot sector is damaged"),
                  std::string::npos);
    }
}

}  // namespace
}  // namespace mdf
