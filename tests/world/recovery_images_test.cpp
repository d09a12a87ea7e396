// The recovery images are checked against the real tools' own view of them and against the
// database they were built around: every manifest fragment lies where the manifest says.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>

#include "scan/page_header.h"
#include "testworld/process.h"
#include "testworld/temp_dir.h"
#include "testworld/test_world.h"

namespace mdf::test {
namespace {

std::vector<std::uint8_t> readAt(const std::string& path, std::int64_t offset, std::size_t size) {
    std::vector<std::uint8_t> out(size);
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    ssize_t n = ::pread(fd, out.data(), size, offset);
    ::close(fd);
    if (n != static_cast<ssize_t>(size)) throw std::runtime_error("short read");
    return out;
}

// Each fragment's pages, read from the image at the manifest's sectors, are the file's pages.
void expectFragmentsHoldTheirPages(const std::string& image, const ImageManifest& m,
                                   const SyntheticDatabase& db) {
    const std::int64_t base = m.partitionStartSector * 512;
    ASSERT_FALSE(m.fragments.empty());
    for (const ManifestFragment& f : m.fragments) {
        for (std::int32_t i = 0; i < f.pages; ++i) {
            const std::int32_t p = f.firstPage + i;
            auto header = readAt(image, base + (f.firstSector + 16 * i) * 512, 512);
            EXPECT_EQ(PageHeader::from(header).pageId(), p);
            Page original = db.page(p);
            EXPECT_TRUE(std::equal(header.begin(), header.end(), original.begin())) << "page " << p;
        }
    }
    std::int32_t covered = 0;
    for (const auto& f : m.fragments)
        covered += f.pages;
    EXPECT_EQ(covered + static_cast<std::int32_t>(m.lostPages.size() + m.lostPfsPages.size()),
              db.usedPages());
}

SyntheticDatabase smallDatabase(Protection p = Protection::Checksum, std::int32_t pages = 512) {
    DatabaseRecipe recipe;
    recipe.pages = pages;
    recipe.protection = p;
    return SyntheticDatabase(recipe);
}

TEST(RawImage, PlacesFragmentsDecoysAndDamageWhereTheManifestSays) {
    TempDir dir;
    SyntheticDatabase db = smallDatabase();
    RawImageOptions options;
    options.seed = 5;
    options.damage.loseFragmentStarts = 2;
    options.damage.tornPage = true;
    ImageManifest m = buildRawImage(db, dir.file("raw.img"), options);
    expectFragmentsHoldTheirPages(dir.file("raw.img"), m, db);
    EXPECT_EQ(m.lostPages.size() >= 2, true);
    EXPECT_EQ(m.damagedPages.size(), 1u);
    EXPECT_NE(m.expectedSha256, m.originalSha256);

    std::set<std::string> kinds;
    for (const auto& d : m.decoys) {
        kinds.insert(d.kind);
        PageHeader h = PageHeader::from(readAt(dir.file("raw.img"), d.firstSector * 512, 96));
        EXPECT_EQ(h.pageId(), d.firstPage);
        EXPECT_EQ(h.fileId(), d.kind == "other-file-id" ? 2 : 1);
        if (d.kind == "stale") {
            EXPECT_NE(h.objectId(), db.owner(d.firstPage));
        }
    }
    EXPECT_EQ(kinds, (std::set<std::string>{"stale", "other-file-id", "same-file-id"}));
    for (std::int32_t lost : m.lostPages)
        EXPECT_TRUE(db.isAllocated(lost));

    // The same seed builds the same image; the manifest survives its JSON form.
    buildRawImage(db, dir.file("again.img"), options);
    EXPECT_EQ(readFile(dir.file("raw.img")), readFile(dir.file("again.img")));
    m.save(dir.file("m.json"));
    EXPECT_EQ(ImageManifest::load(dir.file("m.json")).toJson(), m.toJson());
}

TEST(RawImage, CanLoseTheSecondPfsPage) {
    TempDir dir;
    DatabaseRecipe recipe;
    recipe.pages = 8300;
    recipe.usedPages = 8250;
    SyntheticDatabase db(recipe);
    RawImageOptions options;
    options.damage.losePfsPage = true;
    options.damage.unreadable = true;
    options.sameFileIdDatabase = options.otherFileIdDatabase = false;
    ImageManifest m = buildRawImage(db, dir.file("raw.img"), options);
    EXPECT_EQ(m.lostPfsPages, std::vector<std::int32_t>{kPfsInterval});
    ASSERT_FALSE(m.unreadableSectors.empty());
    auto lines = expectedMissingPageLines(m, db);
    EXPECT_EQ(lines.front(), "lack of PFS page 8088");
    EXPECT_EQ(lines.back(), "check done");
}

std::string minfo(const std::string& image) {
    return runChecked({"minfo", "-i", image, "::"});
}

class Fat32Image : public ::testing::TestWithParam<int> {};

TEST_P(Fat32Image, MtoolsSeeTheVolumeAndTheDatabaseLiesInFreeClusters) {
    TempDir dir;
    SyntheticDatabase db = smallDatabase();
    FileSystemImageOptions options;
    options.clusterSectors = GetParam();
    options.seed = 11;
    const std::string image = dir.file("fat.img");
    ImageManifest m = buildFat32Image(db, image, options);
    EXPECT_NE(minfo(image).find("cluster size: " + std::to_string(GetParam()) + " sectors"),
              std::string::npos);
    std::string listing = runChecked({"mdir", "-i", image, "::"});
    EXPECT_EQ(listing.find("SALES"), std::string::npos) << "the database was deleted";
    EXPECT_NE(listing.find("F2"), std::string::npos) << "every other filler stays";
    EXPECT_GT(m.extents.size(), 2u) << "the database must land fragmented";
    expectFragmentsHoldTheirPages(image, m, db);
    EXPECT_EQ(m.expectedSha256, db.sha256());
}

INSTANTIATE_TEST_SUITE_P(ClusterSizes, Fat32Image, ::testing::Values(1, 4, 8, 16, 64));

TEST(NtfsImage, TheFileIsFragmentedAndReadableWhenLeftPresent) {
    TempDir dir;
    SyntheticDatabase db = smallDatabase();
    FileSystemImageOptions options;
    options.ntfsMode = NtfsMode::Present;
    const std::string image = dir.file("ntfs.img");
    ImageManifest m = buildNtfsImage(db, image, options);
    EXPECT_GT(m.extents.size(), 2u);
    EXPECT_FALSE(m.fileInFreeSpace);
    std::string info = runChecked({"ntfsinfo", "-m", image});
    EXPECT_NE(info.find("Cluster Size: 4096"), std::string::npos);
    runChecked({"ntfscat", image, "/Sales.mdf"});
    expectFragmentsHoldTheirPages(image, m, db);
}

TEST(NtfsImage, DeletedAndOverwrittenRecordsLeaveThePagesInPlace) {
    TempDir dir;
    SyntheticDatabase db = smallDatabase(Protection::TornBits);
    for (NtfsMode mode : {NtfsMode::Deleted, NtfsMode::MftOverwritten}) {
        FileSystemImageOptions options;
        options.ntfsMode = mode;
        const std::string image = dir.file("ntfs.img");
        ImageManifest m = buildNtfsImage(db, image, options);
        EXPECT_NE(runCommand({"ntfscat", image, "/Sales.mdf"}).output.size(),
                  db.pageCount() * 8192u);
        EXPECT_EQ(m.fileInFreeSpace, mode == NtfsMode::Deleted);
        expectFragmentsHoldTheirPages(image, m, db);
    }
}

TEST(DiskImage, TheMbrLeadsToTheFat32PartitionAtSector2048) {
    TempDir dir;
    SyntheticDatabase db = smallDatabase();
    const std::string image = dir.file("disk.img");
    ImageManifest m = buildDiskImage(db, image, FileSystemImageOptions{});
    std::string table = runChecked({"sfdisk", "-d", image});
    EXPECT_TRUE(std::regex_search(table, std::regex("start=\\s*2048.*type=c")));
    EXPECT_EQ(m.partitionStartSector, 2048);
    expectFragmentsHoldTheirPages(image, m, db);
}

}  // namespace
}  // namespace mdf::test
