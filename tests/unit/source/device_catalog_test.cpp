// Disks and volumes of a fake system tree, and the partition tables sfdisk writes.
#include "source/device_catalog.h"

#include <gtest/gtest.h>

#include <climits>
#include <fstream>

#include "report/reporter.h"
#include "source/partition_table.h"
#include "source/sector_source.h"
#include "testworld/process.h"
#include "testworld/temp_dir.h"

namespace mdf {
namespace {

namespace fs = std::filesystem;
using test::TempDir;

void put(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    std::ofstream(file) << text << "\n";
}

// sda: 465.76 GB fixed; sdb: no medium; sdc: a USB stick behind the USB bus, not flagged
// removable; sdd: flagged removable. sda has partitions sda1 and sda2; vdb is mounted whole.
struct FakeSystem {
    TempDir dir;
    fs::path root = dir.path();

    FakeSystem() {
        put(root / "sys/block/sda/size", "976773168");
        put(root / "sys/block/sda/removable", "0");
        put(root / "sys/block/sda/sda1/partition", "1");
        put(root / "sys/block/sda/sda1/size", "1048576");
        put(root / "sys/block/sda/sda2/partition", "2");
        put(root / "sys/block/sda/sda2/size", "0");
        put(root / "sys/block/sdb/size", "0");
        put(root / "sys/devices/pci0/usb1/1-1/host2/block/sdc/size", "2048000");
        put(root / "sys/devices/pci0/usb1/1-1/host2/block/sdc/removable", "0");
        fs::create_directory_symlink(root / "sys/devices/pci0/usb1/1-1/host2/block/sdc",
                                     root / "sys/block/sdc");
        put(root / "sys/block/sdd/size", "2047980");
        put(root / "sys/block/sdd/removable", "1");
        put(root / "sys/block/vdb/size", "4096");
        put(root / "sys/block/ram0/size", "8192");
        put(root / "proc/self/mountinfo",
            "22 1 254:16 / / rw,relatime - ext4 /dev/vdb rw\n"
            "23 22 0:21 / /proc rw - proc proc rw\n");
    }
};

TEST(DeviceCatalog, ListsDisksByNumberSkippingThoseWithoutMedium) {
    FakeSystem sys;
    DeviceCatalog catalog(sys.root, [](const std::string&) { return std::string(); });
    auto disks = catalog.listDisks();
    ASSERT_EQ(disks.size(), 4u);
    EXPECT_EQ(disks[0].caption, "Local disk 0 (465.76 GB) ");
    EXPECT_EQ(disks[0].devicePath, (sys.root / "dev/sda").string());
    EXPECT_EQ(disks[1].number, 2) << "sdb has no medium; its number stays taken";
    EXPECT_EQ(disks[1].caption, "USB disk 2 (0.98 GB) ");
    EXPECT_EQ(disks[1].devicePath, (sys.root / "dev/sdc").string());
    EXPECT_TRUE(disks[2].removable);
    EXPECT_EQ(disks[2].caption, "USB disk 3 (999.99 MB) ");
    EXPECT_EQ(disks[3].name, "vdb");
    EXPECT_FALSE(catalog.probeDisk("sdb"));
    EXPECT_EQ(catalog.probeDisk("vdb"), 4096);
}

TEST(DeviceCatalog, SizeTextsSwitchToGigabytesAtOneThousandMegabytes) {
    EXPECT_EQ(diskSizeText(2048000), "0.98 GB)");
    EXPECT_EQ(diskSizeText(2047980), "999.99 MB)");
    EXPECT_EQ(diskCaption(0, 976773168, false), "Local disk 0 (465.76 GB) ");
}

TEST(DeviceCatalog, VolumesCarryTheirLabelsReadByLibblkid) {
    FakeSystem sys;
    // The partition's device node is a real FAT32 volume, so libblkid reads a real label.
    fs::create_directories(sys.root / "dev");
    const std::string node = (sys.root / "dev/sda1").string();
    test::runChecked({"truncate", "-s", "40M", node});
    test::runChecked({"mkfs.vfat", "-F", "32", "-n", "data", node});
    DeviceCatalog catalog(sys.root);
    auto volumes = catalog.listVolumes();
    ASSERT_EQ(volumes.size(), 2u) << "sda2 has no size; vdb is mounted whole";
    EXPECT_EQ(volumes[0].displayName, node + " [DATA]");
    EXPECT_EQ(volumes[0].caption, "Driver " + node + " [DATA] ");
    EXPECT_EQ(volumes[0].sizeBytes, 1048576 * 512ll);
    EXPECT_EQ(volumes[1].displayName, (sys.root / "dev/vdb").string() + " []");
    EXPECT_EQ(volumeLabelText(""), "[]");
}

struct DiskImage {
    TempDir dir;
    std::string path = dir.file("disk.img");
    explicit DiskImage(const std::string& table, std::int64_t megabytes = 64) {
        test::runChecked({"truncate", "-s", std::to_string(megabytes) + "M", path});
        std::ofstream(dir.file("table")) << table;
        test::runChecked({"sfdisk", "--no-reread", "--no-tell-kernel", "-q", path}, {},
                         dir.file("table"));
    }
    PartitionTable read() {
        SectorSource source;
        source.select(SourceKind::ImageFile, path, 0);
        return readPartitionTable(source);
    }
};

TEST(PartitionTable, MbrWithLogicalPartitions) {
    DiskImage disk(
        "label: dos\nstart=2048, size=20480, type=c\nstart=22528, size=40960, type=5\n"
        "start=24576, size=8192, type=7\nstart=34816, size=8192, type=83\n");
    PartitionTable t = disk.read();
    EXPECT_EQ(t.scheme, "MBR");
    EXPECT_TRUE(t.problems.empty());
    ASSERT_EQ(t.partitions.size(), 3u);
    EXPECT_EQ(t.partitions[0].firstSector, 2048);
    EXPECT_EQ(t.partitions[0].typeName, "FAT32 (LBA)");
    EXPECT_EQ(t.partitions[1].number, 5);
    EXPECT_EQ(t.partitions[1].firstSector, 24576);
    EXPECT_EQ(t.partitions[1].typeName, "NTFS/exFAT");
    EXPECT_EQ(t.partitions[2].firstSector, 34816);
    EXPECT_EQ(t.partitions[2].sectorCount, 8192);
}

TEST(PartitionTable, ProtectiveMbrLeadsToTheGpt) {
    DiskImage disk(
        "label: gpt\nstart=2048, size=40960, type=EBD0A0A2-B9E5-4433-87C0-68B6B72699C7\n"
        "start=43008, size=20480, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4\n");
    PartitionTable t = disk.read();
    EXPECT_EQ(t.scheme, "GPT");
    ASSERT_EQ(t.partitions.size(), 2u);
    EXPECT_EQ(t.partitions[0].firstSector, 2048);
    EXPECT_EQ(t.partitions[0].sectorCount, 40960);
    EXPECT_EQ(t.partitions[0].typeName, "Microsoft basic data");
    EXPECT_EQ(t.partitions[1].typeName, "Linux filesystem");
}

// A 4Kn disk's GPT: header at byte 4096, entries and partition LBAs in 4096-byte sectors, as
// fdisk -b 4096 writes them; the partitions come out in 512-byte sectors.
TEST(PartitionTable, AGptIn4096ByteSectorsIsReadInThem) {
    TempDir dir;
    const std::string path = dir.file("disk4k.img");
    test::runChecked({"truncate", "-s", "64M", path});
    std::ofstream(dir.file("fdisk.txt")) << "g\nn\n1\n256\n+16M\nn\n2\n6144\n+8M\nt\n2\n"
                                            "0FC63DAF-8483-4772-8E79-3D69D8477DE4\nw\n";
    test::runChecked({"fdisk", "-b", "4096", path}, {}, dir.file("fdisk.txt"));
    auto read = [&] {
        SectorSource source;
        source.select(SourceKind::ImageFile, path, 0);
        return readPartitionTable(source);
    };
    PartitionTable t = read();
    EXPECT_EQ(t.scheme, "GPT");
    EXPECT_EQ(t.lbaBytes, 4096u);
    EXPECT_TRUE(t.problems.empty());
    ASSERT_EQ(t.partitions.size(), 2u);
    EXPECT_EQ(t.partitions[0].firstSector, 256 * 8);
    EXPECT_EQ(t.partitions[0].sectorCount, 16 * 2048);
    EXPECT_EQ(t.partitions[1].number, 2);
    EXPECT_EQ(t.partitions[1].firstSector, 6144 * 8);
    EXPECT_EQ(t.partitions[1].sectorCount, 8 * 2048);
    EXPECT_EQ(t.partitions[1].typeName, "Linux filesystem");

    // Without its signature at byte 4096 the table is not taken in 512-byte sectors instead.
    test::writeAt(path, 4096, std::vector<std::uint8_t>(8, 0));
    PartitionTable broken = read();
    EXPECT_TRUE(broken.partitions.empty());
    EXPECT_EQ(broken.problems,
              std::vector<std::string>{"protective MBR but no GPT header at byte 512 or 4096"});

    // An entry whose LBAs, in 4096-byte sectors, cannot be counted in 512-byte ones.
    std::vector<std::uint8_t> entry(128, 0);
    entry[0] = 1;  // any type
    const std::uint64_t first = 1, last = static_cast<std::uint64_t>(INT64_MAX) / 4096;
    for (int i = 0; i < 8; ++i) {
        entry[static_cast<std::size_t>(32 + i)] = static_cast<std::uint8_t>(first >> (8 * i));
        entry[static_cast<std::size_t>(40 + i)] = static_cast<std::uint8_t>(last >> (8 * i));
    }
    PartitionTable huge;
    parseGptEntries(entry, 1, 128, huge, 4096);
    EXPECT_TRUE(huge.partitions.empty());
    EXPECT_EQ(huge.problems, std::vector<std::string>{"GPT entry 1 has an impossible range"});
    PartitionTable fits;
    parseGptEntries(entry, 1, 128, fits, 512);
    ASSERT_EQ(fits.partitions.size(), 1u) << "the same LBAs count in 512-byte sectors";
    EXPECT_EQ(fits.partitions[0].sectorCount, static_cast<std::int64_t>(last));
}

TEST(PartitionTable, DamageIsToldNotFollowed) {
    DiskImage gpt("label: gpt\nstart=2048, size=40960\n");
    test::writeAt(gpt.path, 512, std::vector<std::uint8_t>(8, 0));  // the GPT signature
    PartitionTable broken = gpt.read();
    EXPECT_TRUE(broken.partitions.empty());
    EXPECT_EQ(broken.problems,
              std::vector<std::string>{"protective MBR but no GPT header at byte 512 or 4096"});

    DiskImage mbr("label: dos\nstart=2048, size=40960, type=5\nstart=4096, size=8192, type=83\n");
    // Point the logical partition's link to the next extended boot record back at itself.
    std::vector<std::uint8_t> loop = {0x05, 0, 0, 0, 0, 0, 0, 0, 0, 0x20, 0, 0};
    test::writeAt(mbr.path, 2048 * 512 + 446 + 16 + 4, loop);
    PartitionTable looped = mbr.read();
    EXPECT_EQ(looped.partitions.size(), 1u);
    ASSERT_EQ(looped.problems.size(), 1u);
    EXPECT_NE(looped.problems[0].find("loops"), std::string::npos);

    TempDir dir;
    test::runChecked({"truncate", "-s", "40M", dir.file("fat.img")});
    test::runChecked({"mkfs.vfat", "-F", "32", dir.file("fat.img")});
    SectorSource source;
    source.select(SourceKind::ImageFile, dir.file("fat.img"), 0);
    PartitionTable none = readPartitionTable(source);
    EXPECT_TRUE(none.partitions.empty());
    EXPECT_EQ(none.scheme, "");
}

}  // namespace
}  // namespace mdf
