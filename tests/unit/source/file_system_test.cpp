// Boot sectors and the free-space map, against images made by mkfs.vfat and mkntfs and against
// those tools' own view of which clusters are in use.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <regex>

#include "report/reporter.h"
#include "source/free_space_map.h"
#include "source/ntfs_file_map.h"
#include "source/sector_source.h"
#include "source/volume_layout.h"
#include "testworld/process.h"
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

struct OpenedVolume {
    SectorSource source;
    VolumeLayout layout;
    FreeSpaceMap map;
    RecordingReporter reporter;
    std::vector<std::uint8_t> work = std::vector<std::uint8_t>(12288 * 512);

    explicit OpenedVolume(const std::string& image) {
        std::int64_t sectors = static_cast<std::int64_t>(std::filesystem::file_size(image)) / 512;
        source.select(SourceKind::Volume, image, sectors - 1);
        source.setReadLimit(sectors - 1);
        layout.hasFileSystem = true;
    }
    int build() { return buildFreeSpaceMap(map, source, layout, reporter, work); }
    bool clusterInUse(std::int64_t cluster) {
        std::int64_t sector =
            layout.fsKind == "FAT32"
                ? layout.dataStartSector + (cluster - 2) * layout.sectorsPerCluster
                : cluster * layout.sectorsPerCluster;
        return map.isClusterInUse(sector, layout.fsKind, layout);
    }
};

test::SyntheticDatabase smallDatabase() {
    return test::SyntheticDatabase(test::DatabaseRecipe{});
}

class Fat32Volume : public ::testing::TestWithParam<int> {};

TEST_P(Fat32Volume, BootSectorAndFreeClustersAgreeWithDosfstools) {
    TempDir dir;
    test::FileSystemImageOptions options;
    options.clusterSectors = GetParam();
    const std::string image = dir.file("fat.img");
    test::ImageManifest m = test::buildFat32Image(smallDatabase(), image, options);

    OpenedVolume v(image);
    ASSERT_EQ(readBootSector(v.source, v.layout, v.reporter), 0);
    const std::string info = test::runChecked({"minfo", "-i", image, "::"});
    EXPECT_EQ(v.layout.fsKind, "FAT32");
    EXPECT_EQ(v.layout.sectorsPerCluster, match(info, R"(cluster size: (\d+) sectors)"));
    EXPECT_EQ(v.layout.fatReservedSectors, match(info, R"(reserved \(boot\) sectors: (\d+))"));
    EXPECT_EQ(v.layout.fatSectors, match(info, R"(Big fatlen=(\d+))"));
    EXPECT_EQ(v.layout.dataStartSector, v.layout.fatReservedSectors + 2 * v.layout.fatSectors);

    ASSERT_EQ(v.build(), 0);
    const std::string fsck = test::runCommand({"fsck.fat", "-n", image}).output;
    const std::int64_t used = match(fsck, R"((\d+)/\d+ clusters)");
    const std::int64_t total = match(fsck, R"(\d+/(\d+) clusters)");
    std::int64_t inUse = 0;
    for (std::int64_t c = 2; c < total + 2; ++c)
        inUse += v.clusterInUse(c);
    EXPECT_EQ(inUse, used);

    // The kept fillers' clusters are in use; the deleted database's are free again.
    for (const std::string name : {"F2.BIN", "F4.BIN"}) {
        std::string chain = test::runChecked({"mshowfat", "-i", image, "::/" + name});
        std::smatch run;
        ASSERT_TRUE(std::regex_search(chain, run, std::regex(R"(<(\d+))")));
        EXPECT_TRUE(v.clusterInUse(std::stoll(run[1]))) << name;
    }
    for (const test::Extent& e : m.extents)
        for (std::int64_t s = e.sector; s < e.sector + e.sectors; s += GetParam())
            ASSERT_FALSE(v.map.isClusterInUse(s, "FAT32", v.layout)) << "sector " << s;
    EXPECT_EQ(v.map.bytes().size() % kFatBlockBitmapBytes, 0u);
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, Fat32Volume, ::testing::Values(1, 8, 64));

TEST(NtfsVolume, BootSectorAndBitmapAgreeWithNtfsprogs) {
    TempDir dir;
    for (test::NtfsMode mode : {test::NtfsMode::Deleted, test::NtfsMode::Present}) {
        test::FileSystemImageOptions options;
        options.ntfsMode = mode;
        const std::string image = dir.file("ntfs.img");
        test::ImageManifest m = test::buildNtfsImage(smallDatabase(), image, options);

        OpenedVolume v(image);
        ASSERT_EQ(readBootSector(v.source, v.layout, v.reporter), 0);
        const std::string info = test::runChecked({"ntfsinfo", "-m", image});
        EXPECT_EQ(v.layout.fsKind, "NTFS");
        EXPECT_EQ(v.layout.sectorsPerCluster * 512, match(info, R"(Cluster Size: (\d+))"));
        EXPECT_EQ(v.layout.mftCluster, match(info, R"(LCN of Data Attribute for FILE_MFT: (\d+))"));
        EXPECT_EQ(v.layout.dataStartSector, 0);

        ASSERT_EQ(v.build(), 0) << ::testing::PrintToString(v.reporter.messages());
        const std::int64_t clusters = match(info, R"(Volume Size in Clusters: (\d+))");
        std::int64_t free = 0;
        for (std::int64_t c = 0; c < clusters; ++c)
            free += !v.clusterInUse(c);
        EXPECT_EQ(free, match(info, R"(Free Clusters: (\d+))"));
        for (const test::Extent& e : m.extents)
            EXPECT_EQ(v.map.isClusterInUse(e.sector, "NTFS", v.layout),
                      mode == test::NtfsMode::Present);
    }
}

TEST(BootSector, NeitherNtfsNorFat32StillGivesTheClusterSize) {
    std::array<std::uint8_t, 512> sector{};
    sector[13] = 4;
    VolumeLayout layout;
    layout.dataStartSector = 99;
    parseBootSector(sector, layout);
    EXPECT_EQ(layout.fsKind, "unkhnown");
    EXPECT_EQ(layout.sectorsPerCluster, 4);
    EXPECT_EQ(layout.dataStartSector, 0);

    std::memcpy(&sector[82], "FAT32", 5);
    sector[14] = 32;
    sector[36] = 0x58;  // 7000 sectors per FAT
    sector[37] = 0x1B;
    parseBootSector(sector, layout);
    EXPECT_EQ(layout.dataStartSector, 14032);
}

// A source made of given sectors, so the map's bit order and block sizes can be checked exactly.
struct SectorImage {
    TempDir dir;
    std::vector<std::uint8_t> bytes;
    explicit SectorImage(std::int64_t sectors)
        : bytes(static_cast<std::size_t>(sectors) * 512, 0) {}
    std::uint8_t* sector(std::int64_t s) { return &bytes[static_cast<std::size_t>(s) * 512]; }
    std::string write() {
        test::writeFile(dir.file("img"), bytes);
        return dir.file("img");
    }
};

TEST(FreeSpaceMap, FatEntriesGiveOneBitEachInOneBlock) {
    SectorImage img(200);
    VolumeLayout layout{true, "FAT32", 8, 1000, 10, 100, 0};
    std::uint8_t* fat = img.sector(10);
    fat[5 * 4 + 3] = 0x0F;  // entry 5: only the reserved top bits set, still in use
    OpenedVolume v(img.write());
    v.layout = layout;
    ASSERT_EQ(v.build(), 0);
    EXPECT_EQ(v.map.bytes().size(), kFatBlockBitmapBytes);
    EXPECT_TRUE(v.map.isClusterInUse(1024, "FAT32", layout));   // cluster 5
    EXPECT_FALSE(v.map.isClusterInUse(1032, "FAT32", layout));  // cluster 6
    EXPECT_FALSE(v.map.isClusterInUse(1024, "unkhnown", layout));
    // The last byte of the map has no byte after it and counts as free.
    const std::int64_t lastByteCluster = static_cast<std::int64_t>(kFatBlockBitmapBytes - 1) * 8;
    EXPECT_FALSE(v.map.isClusterInUse(1000 + (lastByteCluster - 2) * 8, "FAT32", layout));
}

TEST(FreeSpaceMap, AnUnreadableFatStopsTheBuild) {
    SectorImage img(50);
    OpenedVolume v(img.write());
    v.source.setReadLimit(0);  // unbounded: the image itself ends inside the FAT
    v.layout = VolumeLayout{true, "FAT32", 8, 1000, 10, 100, 0};
    EXPECT_EQ(v.build(), 1);
    EXPECT_EQ(v.reporter.messages(), std::vector<std::string>{"message: read bitmap errorsec10"});
}

// Writes MFT record 6 at sector mft x spc + 12 with a data attribute whose run list is given.
void writeBitmapRecord(SectorImage& img, std::int64_t mftCluster, int spc,
                       std::vector<std::uint8_t> runList) {
    std::uint8_t* r = img.sector(mftCluster * spc + 12);
    r[20] = 56;    // first attribute
    r[56] = 0x10;  // a $STANDARD_INFORMATION of 72 bytes
    r[60] = 72;
    r[128] = 0x80;  // the data attribute
    r[132] = 80;
    r[128 + 8] = 1;    // not resident
    r[128 + 32] = 64;  // its run list
    std::copy(runList.begin(), runList.end(), r + 128 + 64);
}

// A file written in growing steps with other files between lies in several runs; the map must
// lead from the last cluster of each run to the first of the next, as ntfsinfo lists them.
TEST(NtfsVolume, FileMapLeadsFromEachRunToTheNextAsNtfsinfoListsThem) {
    TempDir dir;
    const std::string image = dir.file("ntfs.img");
    std::ofstream(image).close();
    std::filesystem::resize_file(image, 64 << 20);
    test::runChecked({"mkntfs", "-F", "-q", "-c", "4096", "-s", "512", image});
    auto put = [&](const std::string& name, std::size_t bytes) {
        std::vector<char> data(bytes);
        for (std::size_t i = 0; i < bytes; ++i)
            data[i] = static_cast<char>(i * 2654435761u >> 13);
        std::ofstream(dir.file(name), std::ios::binary).write(data.data(), data.size());
        test::runChecked({"ntfscp", "-f", image, dir.file(name), "/" + name});
    };
    put("DB", 600 << 10);
    put("F1", 200 << 10);
    put("DB", 1500 << 10);
    put("F2", 300 << 10);
    put("DB", 3 << 20);
    const std::string info = test::runChecked({"ntfsinfo", "-v", "-F", "/DB", image});
    std::vector<std::pair<std::int64_t, std::int64_t>> runs;  // first cluster, clusters
    const std::regex line(R"(\s0x[0-9a-f]+\s+0x([0-9a-f]+)\s+0x([0-9a-f]+)\s*\n)");
    for (auto it = std::sregex_iterator(info.begin(), info.end(), line);
         it != std::sregex_iterator(); ++it)
        runs.push_back({std::stoll((*it)[1], nullptr, 16), std::stoll((*it)[2], nullptr, 16)});
    ASSERT_GE(runs.size(), 2u) << info;

    OpenedVolume v(image);
    ASSERT_EQ(readBootSector(v.source, v.layout, v.reporter), 0);
    std::string why;
    const auto files = NtfsFileMap::read(v.source, why);
    ASSERT_TRUE(files) << why;
    for (std::size_t i = 0; i < runs.size(); ++i) {
        const auto [first, count] = runs[i];
        if (count > 1) {
            EXPECT_EQ(files->clusterAfter(first), first + 1);
        }
        const auto after = files->clusterAfter(first + count - 1);
        if (i + 1 < runs.size()) {
            EXPECT_EQ(after, runs[i + 1].first) << "after run " << i;
        } else {
            EXPECT_EQ(after, std::nullopt) << "the file ends";
        }
    }
}

TEST(FreeSpaceMap, NtfsRunsAreAppendedInFileOrderWithSignedOffsets) {
    SectorImage img(400);
    const int spc = 8;
    // Two runs of one cluster: cluster 30, then 16 clusters before it.
    writeBitmapRecord(img, 2, spc, {0x11, 0x01, 30, 0x11, 0x01, 0xF0, 0x00});
    img.sector(30 * spc)[1] = 0x04;  // cluster 10 in use: bit 2 of byte 1
    img.sector(14 * spc)[0] = 0x01;  // first bit of the second run's cluster
    OpenedVolume v(img.write());
    v.layout = VolumeLayout{true, "NTFS", spc, 0, 0, 0, 2};
    ASSERT_EQ(v.build(), 0);
    ASSERT_EQ(v.map.bytes().size(), 2u * spc * 512);
    EXPECT_TRUE(v.map.isClusterInUse(80, "NTFS", v.layout));
    EXPECT_FALSE(v.map.isClusterInUse(88, "NTFS", v.layout));
    EXPECT_TRUE(v.map.isClusterInUse(spc * 512 * 8 * spc, "NTFS", v.layout));
}

TEST(FreeSpaceMap, DamagedNtfsRecordsFailWithTheirMessages) {
    struct Case {
        std::vector<std::uint8_t> runs;
        std::vector<std::string> messages;
    } cases[] = {
        // A run list that runs off the record.
        {std::vector<std::uint8_t>(900, 0x11), {"message: read $bitmap failed"}},
        // A run whose clusters lie past the end of the volume.
        {{0x11, 0xFF, 0x01, 0x00},
         {"message: 512bitmaperrorsec8", "message: error,write bitmap failed",
          "message: read $bitmap failed"}},
    };
    for (const Case& c : cases) {
        SectorImage img(400);
        writeBitmapRecord(img, 2, 8, c.runs);
        OpenedVolume v(img.write());
        v.layout = VolumeLayout{true, "NTFS", 8, 0, 0, 0, 2};
        EXPECT_EQ(v.build(), 1);
        EXPECT_EQ(v.reporter.messages(), c.messages);
    }
    SectorImage unreadable(10);
    OpenedVolume v(unreadable.write());
    v.layout = VolumeLayout{true, "NTFS", 8, 0, 0, 0, 2};
    EXPECT_EQ(v.build(), 1);
    EXPECT_EQ(v.reporter.messages(), (std::vector<std::string>{"message: read bitmap errorsec28",
                                                               "message: read $bitmap failed"}));
}

TEST(FreeSpaceMap, UnknownFileSystemsBuildAnEmptyMap) {
    SectorImage img(10);
    OpenedVolume v(img.write());
    v.layout.fsKind = "unkhnown";
    v.map.append(std::vector<std::uint8_t>(4, 0xFF));
    EXPECT_EQ(v.build(), 0);
    EXPECT_TRUE(v.map.bytes().empty());
}

}  // namespace
}  // namespace mdf
