// Recoveries from the sources technicians hold: forensic and virtual-disk images made by their
// own tools, raw images with a GNU ddrescue map, volumes with 4096-byte sectors, exFAT and ext4.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <tuple>

#include "assembly/sha256.h"
#include "pipeline.h"
#include "source/ddrescue_map.h"
#include "source/source_description.h"
#include "testworld/process.h"
#include "testworld/source_images.h"
#include "testworld/temp_dir.h"

namespace mdf::test {
namespace {

SyntheticDatabase database(std::int32_t pages = 512, std::uint64_t seed = 1) {
    DatabaseRecipe recipe;
    recipe.pages = pages;
    recipe.seed = seed;
    return SyntheticDatabase(recipe);
}

CommandResult cli(std::vector<std::string> args) {
    args.insert(args.begin(), MDF_CLI);
    return runCommand(args);
}

// The scan's fragments and the file written must not depend on the container the disk is in.
TEST(ImageFormats, EveryFormatGivesTheRawImagesFragmentsAndTheSameFile) {
    TempDir dir;
    SyntheticDatabase db = database(512, 31);
    RawImageOptions options;
    options.seed = 31;
    const std::string raw = dir.file("raw.img");
    ImageManifest m = buildRawImage(db, raw, options);
    const RecoveryRun baseline = recoverImage(m, raw, dir.file("raw.mdf"), optionsFor(m));
    ASSERT_EQ(baseline.outputSha256, m.expectedSha256);

    const std::vector<std::pair<std::string, std::string>> formats = {{"qcow2", "disk.qcow2"},
                                                                      {"vhdx", "disk.vhdx"},
                                                                      {"vpc", "disk.vhd"},
                                                                      {"vmdk", "disk.vmdk"},
                                                                      {"ewf", "disk.E01"}};
    for (const auto& [format, name] : formats) {
        SCOPED_TRACE(format);
        const std::string image = dir.file(name);
        convertImage(raw, image, format);
        const SourceDescription d = describeSource(image);
        EXPECT_EQ(d.problem, "");
        EXPECT_NE(d.kind, "raw image");
        // A VHD's disk is rounded up to whole cylinders; every other one is the raw image.
        if (format == "vpc")
            EXPECT_GE(d.mediaBytes, static_cast<std::int64_t>(std::filesystem::file_size(raw)));
        else
            EXPECT_EQ(d.mediaBytes, static_cast<std::int64_t>(std::filesystem::file_size(raw)));
        const RecoveryRun run = recoverImage(m, image, dir.file(format + ".mdf"), optionsFor(m));
        EXPECT_EQ(triples(run.fragments), triples(baseline.fragments));
        EXPECT_EQ(run.analysed, baseline.analysed);
        EXPECT_EQ(run.outputSha256, m.expectedSha256);
    }
}

// A whole disk inside a container: its partition table, boot sector and FAT come through the
// format's reader too, and the free-space scan finds the deleted file.
TEST(ImageFormats, APartitionOfADiskInsideQcow2AndE01) {
    TempDir dir;
    SyntheticDatabase db = database(512, 5);
    FileSystemImageOptions options;
    options.seed = 5;
    const std::string raw = dir.file("disk.img");
    ImageManifest m = buildDiskImage(db, raw, options);
    for (const auto& [format, name] : std::vector<std::pair<std::string, std::string>>{
             {"qcow2", "disk.qcow2"}, {"ewf", "disk.E01"}}) {
        SCOPED_TRACE(format);
        convertImage(raw, dir.file(name), format);
        const RecoveryRun run = recoverImage(m, dir.file(name), dir.file("out.mdf"), optionsFor(m));
        expectScannedFragments(m, run.fragments, optionsFor(m).freeSpaceOnly);
        EXPECT_EQ(run.outputSha256, m.expectedSha256);
    }
}

// An image that needs its parent is the user's to merge (bad input, 3); one whose segment is
// gone cannot be read (I/O error, 4). Either way nothing is written.
TEST(ImageFormats, ADependentImageIsBadInputAMissingSegmentAnIoError) {
    TempDir dir;
    SyntheticDatabase db = database(64, 3);
    RawImageOptions options;
    options.seed = 3;
    const std::string raw = dir.file("raw.img");
    buildRawImage(db, raw, options);
    convertImage(raw, dir.file("base.qcow2"), "qcow2");
    runChecked({"qemu-img", "create", "-q", "-f", "qcow2", "-b", dir.file("base.qcow2"), "-F",
                "qcow2", dir.file("overlay.qcow2")});
    // qemu-img makes no differencing VHD; a VMDK delta stands for the images with a parent.
    convertImage(raw, dir.file("base.vmdk"), "vmdk");
    runChecked({"qemu-img", "create", "-q", "-f", "vmdk", "-b", dir.file("base.vmdk"), "-F", "vmdk",
                dir.file("delta.vmdk")});
    convertImage(raw, dir.file("split.E01"), "ewf", 1 << 20);
    ASSERT_TRUE(std::filesystem::exists(dir.file("split.E02")));
    std::filesystem::remove(dir.file("split.E02"));
    const std::vector<std::tuple<std::string, int, std::string>> cases = {
        {"overlay.qcow2", 3, "backing file"},
        {"delta.vmdk", 3, "delta image"},
        {"split.E01", 4, "segment"},
    };
    for (const auto& [name, code, why] : cases) {
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"scan", dir.file(name), "-o", dir.file("s.info")},
              std::vector<std::string>{"volume-info", dir.file(name)}}) {
            CommandResult r = cli(args);
            EXPECT_EQ(r.exitCode, code) << args[0] << " " << name << "\n" << r.output;
            EXPECT_NE(r.output.find(why), std::string::npos) << r.output;
        }
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("s.info")));
}

// Which page each unread sector belongs to, from where the file lies.
std::int32_t pageAt(const ImageManifest& m, std::int64_t sector) {
    for (const Extent& e : m.extents)
        if (sector >= e.sector && sector < e.sector + e.sectors)
            return static_cast<std::int32_t>((e.fileOffset + (sector - e.sector) * 512) / 8192);
    return -1;
}

// A rescue that did not read some sectors: ddrescue (limited to a domain without them) copies
// the rest into an image that already held other data there, as a reused target disk does.
struct PartialRescue {
    TempDir dir;
    SyntheticDatabase db = database(600, 17);
    ImageManifest m;
    std::string image = dir.file("rescued.img");
    std::string map = dir.file("rescued.map");

    PartialRescue() {
        RawImageOptions options;
        options.seed = 12;
        options.damage.loseFragmentStarts = 3;
        options.damage.unreadable = true;
        options.sameFileIdDatabase = false;
        m = buildRawImage(db, dir.file("disk.img"), options);
        std::filesystem::copy_file(dir.file("disk.img"), image);
        std::string blocks;
        for (const auto& [first, count] : m.unreadableSectors) {
            const Page stale = db.stalePage(pageAt(m, first), 77);
            writeAt(image, static_cast<std::uint64_t>(first) * 512, stale);
            for (std::int64_t s = first; s < first + count; ++s)
                blocks += std::to_string(s) + "\n";
        }
        std::ofstream(dir.file("unread.txt")) << blocks;
        runChecked(
            {"ddrescuelog", "-q", "-b", "512", "-s",
             std::to_string(std::filesystem::file_size(image)), "-c-+", dir.file("domain.map")},
            {}, dir.file("unread.txt"));
        runChecked(
            {"ddrescue", "-q", "-m", dir.file("domain.map"), dir.file("disk.img"), image, map});
    }
};

TEST(RescueMap, SectorsDdrescueDidNotReadAreUnreadableNeverOldData) {
    PartialRescue r;
    ASSERT_GE(r.m.unreadableSectors.size(), 3u);
    std::ifstream mapText(r.map);
    const std::string text((std::istreambuf_iterator<char>(mapText)), {});
    EXPECT_NE(text.find("  ?\n"), std::string::npos) << "ddrescue marks the areas non-tried";

    // Without the map the old data there passes for pages.
    const RecoveryRun blind = recoverImage(r.m, r.image, r.dir.file("blind.mdf"), optionsFor(r.m));
    auto covered = [](const std::vector<FragmentRecord>& fragments, std::int64_t first,
                      std::int64_t count) {
        for (const auto& f : fragments)
            if (f.fsec < first + count && first < f.fsec + f.pages() * 16) return true;
        return false;
    };
    for (const auto& [first, count] : r.m.unreadableSectors)
        EXPECT_TRUE(covered(blind.fragments, first, count))
            << "old page at " << first << " seen as data";

    // With it, those pages are what a disk with bad sectors there gives.
    RecoveryOptions withMap = optionsFor(r.m);
    RescueMap map;
    MapProblem problem;
    ASSERT_TRUE(loadRescueMap(r.map, map, problem)) << problem.text;
    withMap.opener = openerWithRescueMap(openReadOnly, map);
    const RecoveryRun run = recoverImage(r.m, r.image, r.dir.file("out.mdf"), withMap);
    for (const auto& [first, count] : r.m.unreadableSectors)
        EXPECT_FALSE(covered(run.fragments, first, count)) << "unread sector " << first;
    EXPECT_EQ(run.checkLines, expectedMissingPageLines(r.m, r.db));
    EXPECT_TRUE(run.outcome.written);
    EXPECT_EQ(run.outputSha256, r.m.expectedSha256);
}

TEST(RescueMap, TheCommandLineTakesTheMapAndRefusesAMalformedOne) {
    PartialRescue r;
    CommandResult ok = cli({"recover", r.image, "--mapfile", r.map, "-o", r.dir.file("out.mdf"),
                            "--file", "1", "--json"});
    ASSERT_EQ(ok.exitCode, 1) << "a result with pages missing\n" << ok.output;
    auto summary = nlohmann::json::parse(ok.output.substr(ok.output.find("{\n")));
    EXPECT_EQ(summary["sha256"], r.m.expectedSha256);
    EXPECT_EQ(summary["missing_pages"]["count"], r.m.lostPages.size());
    EXPECT_NE(ok.output.find("ddrescue map " + r.map), std::string::npos) << ok.output;

    // Direct reads go through the map as well: the same partial file, not the old data that the
    // image holds where ddrescue did not read.
    CommandResult direct = cli({"recover", r.image, "--mapfile", r.map, "--direct-io", "-o",
                                r.dir.file("direct.mdf"), "--file", "1", "--json"});
    ASSERT_EQ(direct.exitCode, 1) << direct.output;
    auto directSummary = nlohmann::json::parse(direct.output.substr(direct.output.find("{\n")));
    EXPECT_EQ(directSummary["sha256"], r.m.expectedSha256);
    EXPECT_EQ(directSummary["missing_pages"]["count"], r.m.lostPages.size());

    // Step by step: the session file keeps the map for the commands after analyse.
    CommandResult scan = cli({"scan", r.image, "--mapfile", r.map, "-o", r.dir.file("s.info")});
    ASSERT_EQ(scan.exitCode, 0) << scan.output;
    CommandResult analyse = cli({"analyse", r.dir.file("s.info"), "--source", r.image, "--mapfile",
                                 r.map, "--file", "1", "--session", r.dir.file("s.json")});
    ASSERT_LE(analyse.exitCode, 1) << analyse.output;
    std::ifstream sessionText(r.dir.file("s.json"));
    EXPECT_EQ(nlohmann::json::parse(sessionText).value("mapfile", ""), r.map);
    CommandResult more = cli({"search-more", "--session", r.dir.file("s.json")});
    ASSERT_LE(more.exitCode, 1) << more.output;
    CommandResult create =
        cli({"create", "--session", r.dir.file("s.json"), "-o", r.dir.file("step.mdf"), "--json"});
    ASSERT_EQ(create.exitCode, 1) << create.output;
    auto created = nlohmann::json::parse(create.output.substr(create.output.find("{\n")));
    EXPECT_EQ(created["sha256"], r.m.expectedSha256);

    // A malformed map is bad input (3) wherever a source is taken; a map or a source that cannot
    // be read is an I/O error (4). Nothing is written either way.
    std::ofstream(r.dir.file("bad.map")) << "# Mapfile\n0x0 +\n0x0 0x200 +\n0x200 zz -\n";
    const std::string bad = r.dir.file("bad.map"), missing = r.dir.file("missing.map");
    const std::string out = r.dir.file("scan.info");
    const std::vector<std::pair<std::vector<std::string>, int>> runs = {
        {{"scan", r.image, "--mapfile", bad, "-o", out}, 3},
        {{"recover", r.image, "--mapfile", bad, "-o", r.dir.file("bad.mdf")}, 3},
        {{"volume-info", r.image, "--mapfile", bad}, 3},
        {{"analyse", r.dir.file("s.info"), "--source", r.image, "--mapfile", bad, "--session",
          r.dir.file("bad.json")},
         3},
        {{"scan", r.image, "--mapfile", missing, "-o", out}, 4},
        {{"scan", r.image, "--mapfile", r.dir.path().string(), "-o", out}, 4},
        {{"analyse", r.dir.file("s.info"), "--source", r.dir.file("gone.img"), "--session",
          r.dir.file("bad.json")},
         4},
    };
    for (const auto& [args, code] : runs) {
        CommandResult run = cli(args);
        EXPECT_EQ(run.exitCode, code) << args[0] << " " << args[3] << "\n" << run.output;
        if (code == 3) {
            EXPECT_NE(run.output.find("map file " + bad + ": line 4: bad size 'zz'"),
                      std::string::npos)
                << run.output;
        }
    }
    EXPECT_FALSE(std::filesystem::exists(out));
    EXPECT_FALSE(std::filesystem::exists(r.dir.file("bad.mdf")));
    EXPECT_FALSE(std::filesystem::exists(r.dir.file("bad.json")));
}

// Volumes whose sectors are 4096 bytes count everything in those; the system counts in 512.
TEST(FourKnSectors, Fat32AndNtfsComeBackWholeFromFreeSpace) {
    TempDir dir;
    SyntheticDatabase db = database(512, 9);
    FileSystemImageOptions options;
    options.seed = 9;
    options.sectorBytes = 4096;
    options.clusterSectors = 8;
    ImageManifest fat = buildFat32Image(db, dir.file("fat.img"), options);
    RecoveryRun run = recoverImage(fat, dir.file("fat.img"), dir.file("fat.mdf"), optionsFor(fat));
    expectScannedFragments(fat, run.fragments, optionsFor(fat).freeSpaceOnly);
    EXPECT_EQ(run.outputSha256, fat.expectedSha256);

    options.clusterSectors = 16;
    ImageManifest ntfs = buildNtfsImage(db, dir.file("ntfs.img"), options);
    run = recoverImage(ntfs, dir.file("ntfs.img"), dir.file("ntfs.mdf"), optionsFor(ntfs));
    expectScannedFragments(ntfs, run.fragments, optionsFor(ntfs).freeSpaceOnly);
    EXPECT_EQ(run.outputSha256, ntfs.expectedSha256);

    // An E01 of a 4Kn disk says so; the command line shows it with the volume's geometry.
    convertImage(dir.file("ntfs.img"), dir.file("ntfs.E01"), "ewf", 0, 4096);
    CommandResult info = cli({"volume-info", dir.file("ntfs.E01"), "--partition", "--free-map"});
    ASSERT_EQ(info.exitCode, 0) << info.output;
    EXPECT_NE(info.output.find("kind              EWF image, 4096-byte sectors"), std::string::npos)
        << info.output;
    EXPECT_NE(info.output.find("volume sectors    4096 bytes"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("sectors/cluster   16"), std::string::npos) << info.output;
}

// A 4Kn disk's GPT counts 4096-byte sectors: fdisk -b 4096 made it, mkfs.vfat -S 4096 the volume
// on it. The table is read from byte 4096, its partition shown and recovered in 512-byte sectors.
TEST(FourKnSectors, AGptOfA4KnDiskLeadsToItsFat32Partition) {
    TempDir dir;
    SyntheticDatabase db = database(512, 29);
    FileSystemImageOptions options;
    options.seed = 29;
    options.sectorBytes = 4096;
    options.clusterSectors = 8;
    const std::string disk = dir.file("disk4k.img");
    ImageManifest m = buildGptDiskImage(db, disk, options);

    // fdisk's own reading of the table, in its 4096-byte sectors.
    std::istringstream listed(
        runChecked({"fdisk", "-l", "-b", "4096", "-o", "Start,Sectors,Type", disk}, {"LC_ALL=C"}));
    std::int64_t start4k = -1, sectors4k = -1;
    for (std::string line; std::getline(listed, line);)
        if (line.find("Microsoft basic data") != std::string::npos)
            std::istringstream(line) >> start4k >> sectors4k;
    ASSERT_GT(start4k, 0) << "fdisk lists no partition";
    EXPECT_EQ(start4k * 8, m.partitionStartSector);

    CommandResult table = cli({"partitions", disk, "--json"});
    ASSERT_EQ(table.exitCode, 0) << table.output;
    auto json = nlohmann::json::parse(table.output.substr(table.output.find("{\n")));
    EXPECT_EQ(json["scheme"], "GPT");
    EXPECT_EQ(json["table_sector_bytes"], 4096);
    ASSERT_EQ(json["partitions"].size(), 1u);
    EXPECT_EQ(json["partitions"][0]["number"], 1);
    EXPECT_EQ(json["partitions"][0]["start"], start4k * 8);
    EXPECT_EQ(json["partitions"][0]["sectors"], sectors4k * 8);
    EXPECT_EQ(json["partitions"][0]["type"], "Microsoft basic data");
    EXPECT_EQ(json["partitions"][0]["file_system"], "FAT32");
    CommandResult text = cli({"partitions", disk});
    EXPECT_NE(text.output.find("the table counts 4096-byte sectors"), std::string::npos)
        << text.output;

    CommandResult info = cli({"volume-info", disk, "--partition=1", "--free-map"});
    ASSERT_EQ(info.exitCode, 0) << info.output;
    EXPECT_NE(info.output.find("file system       FAT32"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("volume sectors    4096 bytes"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("sectors/cluster   8"), std::string::npos) << info.output;

    CommandResult run =
        cli({"recover", disk, "--partition=1", "-o", dir.file("out.mdf"), "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    auto summary = nlohmann::json::parse(run.output.substr(run.output.find("{\n")));
    EXPECT_EQ(summary["sha256"], m.expectedSha256);
    EXPECT_EQ(sha256OfFile(dir.file("out.mdf")), m.expectedSha256);
}

TEST(Exfat, TheDeletedDatabaseComesBackFromFreeSpace) {
    TempDir dir;
    SyntheticDatabase db = database(512, 41);
    FileSystemImageOptions options;
    options.seed = 41;
    options.clusterSectors = 8;
    ImageManifest m = buildExfatImage(db, dir.file("exfat.img"), options);
    ASSERT_GT(m.fragments.size(), 3u);
    RecoveryRun run = recoverImage(m, dir.file("exfat.img"), dir.file("out.mdf"), optionsFor(m));
    expectScannedFragments(m, run.fragments, optionsFor(m).freeSpaceOnly);
    EXPECT_EQ(run.outputSha256, m.expectedSha256);
}

TEST(Ext4, TheDeletedDatabaseComesBackFromFreeSpace) {
    TempDir dir;
    SyntheticDatabase db = database(512, 43);
    FileSystemImageOptions options;
    options.seed = 43;
    options.clusterSectors = 8;
    ImageManifest m = buildExt4Image(db, dir.file("ext4.img"), options);
    RecoveryRun run = recoverImage(m, dir.file("ext4.img"), dir.file("out.mdf"), optionsFor(m));
    expectScannedFragments(m, run.fragments, optionsFor(m).freeSpaceOnly);
    EXPECT_EQ(run.outputSha256, m.expectedSha256);
    ::testing::Test::RecordProperty("fragments", std::to_string(m.fragments.size()));
}

// ext4 with bigalloc allocates clusters of several blocks; its map is not read, and a scan of
// free space only says so and scans the whole volume: the live database file is found too.
TEST(Ext4, BigallocIsScannedWholeAndSaysWhy) {
    TempDir dir;
    SyntheticDatabase db = database(512, 47);
    std::filesystem::create_directory(dir.path() / "root");
    db.writeTo(dir.file("root/Sales.mdf"));
    const std::string image = dir.file("big.img");
    runChecked({"truncate", "-s", "32M", image});
    runChecked({"mke2fs", "-q", "-F", "-t", "ext4", "-b", "4096", "-O", "bigalloc", "-C", "16384",
                "-d", dir.file("root"), image});
    const std::string header = runChecked({"dumpe2fs", "-h", image});
    ASSERT_NE(header.find("bigalloc"), std::string::npos) << header;
    ASSERT_NE(header.find("Cluster size:             16384"), std::string::npos) << header;

    const std::string why =
        "ext4 with bigalloc (clusters of 4 blocks): its free-space map is not read here; the "
        "whole volume is scanned, blocks in use as well";
    CommandResult info = cli({"volume-info", image, "--partition", "--free-map"});
    ASSERT_EQ(info.exitCode, 0) << info.output;
    EXPECT_NE(info.output.find("bigalloc clusters of 4 blocks"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("free-space map    none: " + why), std::string::npos) << info.output;
    EXPECT_EQ(info.output.find("clusters free"), std::string::npos) << info.output;

    CommandResult run = cli({"recover", image, "--partition", "--free-space-only", "-o",
                             dir.file("out.mdf"), "--json"});
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find(why), std::string::npos) << run.output;
    auto summary = nlohmann::json::parse(run.output.substr(run.output.find("{\n")));
    EXPECT_EQ(summary["sha256"], db.sha256());
}

}  // namespace
}  // namespace mdf::test
