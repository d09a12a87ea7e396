// Boot sectors with 4096-byte sectors, and the free-space maps of exFAT and ext4, against what
// the file systems' own tools say: fsck.fat, ntfsinfo, dump.exfat and fsck.exfat, dumpe2fs.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <set>
#include <sstream>

#include "report/reporter.h"
#include "source/free_space_map.h"
#include "source/sector_source.h"
#include "source/volume_layout.h"
#include "testworld/process.h"
#include "testworld/source_images.h"
#include "testworld/temp_dir.h"
#include "testworld/test_world.h"

namespace mdf {
namespace {

using test::TempDir;

std::int64_t match(const std::string& text, const std::string& pattern) {
    std::smatch m;
    if (!std::regex_search(text, m, std::regex(pattern)))
        throw std::runtime_error("no " + pattern + " in\n" + text);
    return std::stoll(m[1]);
}

// dump.exfat prints cluster numbers of the root entries in hexadecimal, without a prefix.
std::int64_t matchHex(const std::string& text, const std::string& pattern) {
    std::smatch m;
    if (!std::regex_search(text, m, std::regex(pattern)))
        throw std::runtime_error("no " + pattern + " in\n" + text);
    return std::stoll(m[1], nullptr, 16);
}

struct Volume {
    SectorSource source;
    VolumeLayout layout;
    FreeSpaceMap map;
    RecordingReporter reporter;
    std::vector<std::uint8_t> work = std::vector<std::uint8_t>(12288 * 512);

    explicit Volume(const std::string& image) {
        const auto sectors = static_cast<std::int64_t>(std::filesystem::file_size(image)) / 512;
        source.select(SourceKind::Volume, image, sectors - 1);
        source.setReadLimit(sectors - 1);
        layout.hasFileSystem = true;
        if (readBootSector(source, layout, reporter) != 0) throw std::runtime_error("boot sector");
    }
    int build() { return buildFreeSpaceMap(map, source, layout, reporter, work); }
    // The first sector of a cluster, in the numbering each file system gives its clusters.
    std::int64_t sectorOf(std::int64_t cluster) const {
        if (layout.fsKind == "FAT32" || layout.fsKind == "exFAT")
            return layout.dataStartSector + (cluster - 2) * layout.sectorsPerCluster;
        return cluster * layout.sectorsPerCluster;
    }
    bool inUse(std::int64_t cluster) const {
        return map.isClusterInUse(sectorOf(cluster), layout.fsKind, layout);
    }
};

test::SyntheticDatabase database(std::uint64_t seed) {
    test::DatabaseRecipe recipe;
    recipe.seed = seed;
    return test::SyntheticDatabase(recipe);
}

TEST(FourKnVolume, Fat32GeometryAndFreeClustersAgreeWithFsckFat) {
    TempDir dir;
    test::FileSystemImageOptions options;
    options.sectorBytes = 4096;
    options.clusterSectors = 16;  // two 4096-byte sectors
    const std::string image = dir.file("fat.img");
    test::ImageManifest m = test::buildFat32Image(database(3), image, options);

    Volume v(image);
    const std::string fsck = test::runCommand({"fsck.fat", "-n", "-v", image}).output;
    EXPECT_EQ(v.layout.fsKind, "FAT32");
    EXPECT_EQ(v.layout.bytesPerSector, 4096u);
    EXPECT_EQ(v.layout.sectorsPerCluster * 512, match(fsck, R"((\d+) bytes per cluster)"));
    EXPECT_EQ(v.layout.fatReservedSectors * 512, match(fsck, R"(First FAT starts at byte (\d+))"));
    EXPECT_EQ(v.layout.fatSectors * 512, match(fsck, R"((\d+) bytes per FAT)"));
    EXPECT_EQ(v.layout.dataStartSector * 512, match(fsck, R"(Data area starts at byte (\d+))"));

    ASSERT_EQ(v.build(), 0);
    const std::int64_t used = match(fsck, R"((\d+)/\d+ clusters)");
    const std::int64_t total = match(fsck, R"(\d+/(\d+) clusters)");
    std::int64_t inUse = 0;
    for (std::int64_t c = 2; c < total + 2; ++c)
        inUse += v.inUse(c);
    EXPECT_EQ(inUse, used);
    for (const test::Extent& e : m.extents)
        for (std::int64_t s = e.sector; s < e.sector + e.sectors; s += options.clusterSectors)
            ASSERT_FALSE(v.map.isClusterInUse(s, "FAT32", v.layout)) << "sector " << s;
}

TEST(FourKnVolume, NtfsGeometryAndBitmapAgreeWithNtfsinfo) {
    TempDir dir;
    test::FileSystemImageOptions options;
    options.sectorBytes = 4096;
    options.clusterSectors = 8;
    const std::string image = dir.file("ntfs.img");
    test::ImageManifest m = test::buildNtfsImage(database(4), image, options);

    Volume v(image);
    const std::string info = test::runChecked({"ntfsinfo", "-m", image});
    EXPECT_EQ(v.layout.fsKind, "NTFS");
    EXPECT_EQ(v.layout.bytesPerSector,
              static_cast<std::uint32_t>(match(info, R"(Sector Size: (\d+))")));
    EXPECT_EQ(v.layout.sectorsPerCluster * 512, match(info, R"(Cluster Size: (\d+))"));
    EXPECT_EQ(v.layout.mftCluster, match(info, R"(LCN of Data Attribute for FILE_MFT: (\d+))"));
    EXPECT_EQ(v.layout.mftRecordBytes, match(info, R"(MFT Record Size: (\d+))"));

    ASSERT_EQ(v.build(), 0) << ::testing::PrintToString(v.reporter.messages());
    const std::int64_t clusters = match(info, R"(Volume Size in Clusters: (\d+))");
    std::int64_t free = 0;
    for (std::int64_t c = 0; c < clusters; ++c)
        free += !v.inUse(c);
    EXPECT_EQ(free, match(info, R"(Free Clusters: (\d+))"));
    for (const test::Extent& e : m.extents)
        EXPECT_FALSE(v.map.isClusterInUse(e.sector, "NTFS", v.layout));
}

TEST(ExfatVolume, AllocationBitmapAgreesWithDumpExfat) {
    TempDir dir;
    for (int clusterSectors : {1, 8, 64}) {
        SCOPED_TRACE(clusterSectors);
        test::FileSystemImageOptions options;
        options.clusterSectors = clusterSectors;
        options.seed = static_cast<std::uint64_t>(clusterSectors);
        const std::string image = dir.file("exfat.img");
        test::ExfatImageInfo placed;
        test::buildExfatImage(database(5), image, options, &placed);

        Volume v(image);
        const std::string dump = test::runChecked({"dump.exfat", image});
        EXPECT_EQ(v.layout.fsKind, "exFAT");
        EXPECT_EQ(v.layout.sectorsPerCluster,
                  1 << match(dump, R"(Sector per Cluster bits:\s+(\d+))"));
        EXPECT_EQ(v.layout.dataStartSector,
                  match(dump, R"(Cluster Heap Offset \(sector offset\):\s+(\d+))"));
        EXPECT_EQ(v.layout.clusterCount, match(dump, R"(Cluster Count:\s+(\d+))"));
        EXPECT_EQ(v.layout.fatReservedSectors,
                  match(dump, R"(FAT Offset\(sector offset\):\s+(\d+))"));

        ASSERT_EQ(v.build(), 0) << ::testing::PrintToString(v.reporter.messages());
        std::int64_t free = 0;
        for (std::int64_t c = 2; c < v.layout.clusterCount + 2; ++c)
            free += !v.inUse(c);
        EXPECT_EQ(free, match(dump, R"(Free Clusters:\s+(\d+))"));
        // The volume's own files, the fillers still on it, and none of the deleted database.
        for (const char* file : {"Bitmap start cluster", "Upcase table start cluster"})
            EXPECT_TRUE(v.inUse(matchHex(dump, std::string(file) + R"(:\s+([0-9a-f]+))"))) << file;
        EXPECT_TRUE(v.inUse(matchHex(dump, R"(Root Cluster \(cluster offset\):\s+([0-9a-f]+))")));
        for (std::int64_t c : placed.liveClusters)
            ASSERT_TRUE(v.inUse(c)) << "filler cluster " << c;
        for (std::int64_t c : placed.databaseClusters)
            ASSERT_FALSE(v.inUse(c)) << "database cluster " << c;
        EXPECT_FALSE(v.inUse(v.layout.clusterCount + 2)) << "past the last cluster";
    }
}

TEST(ExfatVolume, DamagedBitmapEntriesFailWithTheirMessage) {
    TempDir dir;
    test::FileSystemImageOptions options;
    const std::string image = dir.file("exfat.img");
    test::buildExfatImage(database(6), image, options);
    Volume v(image);
    VolumeLayout layout = v.layout;
    // A root directory cluster outside the heap, and a cluster count the volume cannot hold.
    v.layout.rootDirectoryCluster = v.layout.clusterCount + 5;
    EXPECT_EQ(v.build(), 1);
    v.layout = layout;
    v.layout.clusterCount = std::int64_t{1} << 31;
    EXPECT_EQ(v.build(), 1);
    EXPECT_EQ(v.reporter.messages().size(), 2u);
    EXPECT_NE(v.reporter.messages()[0].find("root directory leaves the volume"), std::string::npos);
    EXPECT_NE(v.reporter.messages()[1].find("more than the volume holds"), std::string::npos);
}

// Every block, free or in use, as dumpe2fs lists each group's free blocks.
TEST(Ext4Volume, BlockBitmapsAgreeWithDumpe2fsBlockForBlock) {
    TempDir dir;
    for (int blockSectors : {8, 2}) {
        SCOPED_TRACE(blockSectors);
        test::FileSystemImageOptions options;
        options.clusterSectors = blockSectors;
        const std::string image = dir.file("ext4.img");
        test::ImageManifest m = test::buildExt4Image(database(7), image, options);

        Volume v(image);
        EXPECT_EQ(v.layout.fsKind, "ext4");
        const std::string dump = test::runChecked({"dumpe2fs", image});
        EXPECT_EQ(v.layout.sectorsPerCluster * 512, match(dump, R"(Block size:\s+(\d+))"));
        EXPECT_EQ(v.layout.clusterCount, match(dump, R"(Block count:\s+(\d+))"));
        ASSERT_EQ(v.build(), 0) << ::testing::PrintToString(v.reporter.messages());

        std::set<std::int64_t> free;
        const std::regex line(R"(^\s+Free blocks: (.*)$)");
        std::istringstream lines(dump);
        for (std::string text; std::getline(lines, text);) {
            std::smatch x;
            if (!std::regex_search(text, x, line)) continue;
            std::istringstream ranges(x[1].str());
            for (std::string range; std::getline(ranges, range, ',');) {
                std::int64_t a = 0, b = 0;
                char dash = 0;
                std::istringstream r(range);
                r >> a;
                if (r >> dash >> b) {
                } else {
                    b = a;
                }
                for (std::int64_t k = a; k <= b; ++k)
                    free.insert(k);
            }
        }
        EXPECT_EQ(static_cast<std::int64_t>(free.size()), match(dump, R"(Free blocks:\s+(\d+))"));
        for (std::int64_t b = 0; b < v.layout.clusterCount; ++b)
            ASSERT_EQ(v.inUse(b), free.count(b) == 0) << "block " << b;
        for (const test::Extent& e : m.extents)
            EXPECT_FALSE(v.map.isClusterInUse(e.sector, "ext4", v.layout));
    }
}

TEST(OtherFileSystems, ScanWholeWithANotice) {
    TempDir dir;
    // A boot sector of no kind the system knows, 8 sectors per cluster.
    const std::string image = dir.file("other.img");
    std::vector<std::uint8_t> bytes(1 << 20, 0);
    bytes[13] = 8;
    test::writeFile(image, bytes);
    Volume v(image);
    EXPECT_EQ(v.layout.fsKind, "unkhnown");
    EXPECT_EQ(v.build(), 0);
    EXPECT_TRUE(v.map.bytes().empty());
    EXPECT_EQ(v.reporter.lines(Memo::Scan),
              std::vector<std::string>{
                  "no free-space map for file system \"unkhnown\": the whole volume is scanned"});
}

}  // namespace
}  // namespace mdf
