// Recoveries of the real files of the shared test data laid out as a technician finds them, each
// judged against the original: the exit code is 0 exactly when every allocated page equals the
// original's, every page that differs is named by the verdict, and a page named (but for one
// pieced together without protection, which nothing can verify) does differ.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>

#include "assembly/sha256.h"
#include "source/byte_order.h"
#include "testworld/fidelity_world.h"
#include "testworld/process.h"
#include "testworld/random.h"
#include "testworld/temp_dir.h"
#include "testworld/test_world.h"

namespace mdf::test {
namespace {

std::string real(const std::string& name) {
    return std::string(MDF_TESTDATA_DIR) + "/" + name;
}

struct Judged {
    int exitCode = -1;
    std::set<std::int32_t> differing;          // allocated pages unlike the original's
    std::set<std::int32_t> named;              // by any list of the verdict
    std::set<std::int32_t> unverifiable;       // pieced together without protection
    std::set<std::int32_t> allocationUnknown;  // lost where no PFS page tells if they were used
    nlohmann::json verdict;
    nlohmann::json report;
};

std::set<std::int32_t> expand(const nlohmann::json& ranges) {
    std::set<std::int32_t> out;
    for (const auto& r : ranges)
        for (std::int32_t p = r[0]; p <= r[1].get<std::int32_t>(); ++p)
            out.insert(p);
    return out;
}

// Recovers with the command line and judges the file written against the original.
Judged recoverAndJudge(std::vector<std::string> args, const std::string& out,
                       const PageFile& original) {
    args.insert(args.begin(), {MDF_CLI, "recover"});
    args.insert(args.end(), {"-o", out, "--json", "--no-save-scan", "--force"});
    const std::string sourceBefore = sha256OfFile(args[2]);
    const CommandResult r = runCommand(args);
    EXPECT_EQ(sha256OfFile(args[2]), sourceBefore) << "the source was written to";
    Judged j;
    j.exitCode = r.exitCode;
    const auto at = r.output.find("{\n");
    if (at == std::string::npos) {
        ADD_FAILURE() << r.output;
        return j;
    }
    j.report = nlohmann::json::parse(r.output.substr(at));
    j.verdict = j.report["verdict"];
    for (const char* list :
         {"missing_allocated", "missing_allocation_unknown", "unreadable", "failing_protection",
          "failing_structure", "unverifiable", "other_database", "stale_copy"})
        for (std::int32_t p : expand(j.verdict[list]["ranges"]))
            j.named.insert(p);
    j.unverifiable = expand(j.verdict["unverifiable"]["ranges"]);
    j.allocationUnknown = expand(j.verdict["missing_allocation_unknown"]["ranges"]);
    const PageFile written = readPageFile(out);
    for (std::int32_t p : allocatedPages(original))
        if (static_cast<std::size_t>(p) >= written.size() ||
            written[static_cast<std::size_t>(p)] != original[static_cast<std::size_t>(p)])
            j.differing.insert(p);
    return j;
}

// The data pages of pubs' tables, told by their slot counts: the rows the sample's script inserts.
const std::map<std::int32_t, std::string> kPubsDataPages{
    {90, "dbo.authors"},      {94, "dbo.publishers"}, {118, "dbo.pub_info"}, {127, "dbo.titles"},
    {151, "dbo.titleauthor"}, {174, "dbo.stores"},    {192, "dbo.sales"},    {194, "dbo.roysched"},
    {196, "dbo.discounts"},   {198, "dbo.jobs"},      {204, "dbo.employee"}};

// Runs of pages laid in shuffled order on a raw image, junk between them.
void layShuffled(std::vector<std::pair<std::int32_t, std::vector<Page>>> runs,
                 const std::string& path, std::int64_t sectors, std::uint64_t seed) {
    std::shuffle(runs.begin(), runs.end(), std::mt19937(seed));
    LayoutImage image(path, sectors, seed);
    for (const auto& [first, pages] : runs)
        image.place(first, pages);
    image.junk(16);
}

void expectHonest(const Judged& j) {
    // A page pieced without protection keeps a recovery partial though it may be right.
    EXPECT_TRUE(j.differing.empty() ? j.exitCode == 0 || !j.unverifiable.empty() : j.exitCode != 0)
        << "exit " << j.exitCode << ", " << j.differing.size() << " allocated pages differ\n"
        << j.verdict.dump();
    for (std::int32_t p : j.differing)
        EXPECT_TRUE(j.named.count(p)) << "page " << p << " differs and the verdict does not say so";
    for (std::int32_t p : j.named)
        EXPECT_TRUE(j.differing.count(p) || j.unverifiable.count(p) || j.allocationUnknown.count(p))
            << "page " << p << " is named but equals the original\n"
            << j.verdict.dump(1);
}

// A database created with page verification off, deleted from FAT32 with 4 KB clusters among
// filler files: no checksum to lean on, pages split across clusters, only structure to tell.
TEST(RealFiles, ADatabaseWithoutProtectionDeletedFromFat32) {
    TempDir dir;
    const std::string path = real("db_Examination_sql2016_created2000.mdf");
    FileSystemImageOptions options;
    options.clusterSectors = 8;
    options.seed = 61;
    buildFat32Image(databaseOnDisk(path, "C:\\App_Data\\db_Examination_Data.MDF"),
                    dir.file("fat.img"), options);
    // Page 32 lies across two clusters: the name is read from its first.
    const Judged j = recoverAndJudge(
        {dir.file("fat.img"), "--partition", "--free-space-only", "--database", "db_examination"},
        dir.file("out.mdf"), readPageFile(path));
    expectHonest(j);
}

// Mixed protection (checksum on most pages, none on some that still hold an old checksum value)
// on NTFS, the file present in several runs.
TEST(RealFiles, MixedProtectionOnNtfs) {
    TempDir dir;
    const std::string path = real("IMS_sql2012_mixedprotection.mdf");
    FileSystemImageOptions options;
    options.clusterSectors = 8;
    options.ntfsMode = NtfsMode::Present;
    options.seed = 62;
    buildNtfsImage(databaseOnDisk(path, "C:\\Program Files\\IMS\\Database.mdf"),
                   dir.file("ntfs.img"), options);
    const Judged j = recoverAndJudge({dir.file("ntfs.img"), "--partition"}, dir.file("out.mdf"),
                                     readPageFile(path));
    expectHonest(j);
    EXPECT_EQ(j.exitCode == 0, j.unverifiable.empty());
}

// An older copy of pubs' DIFF map page (page 6) that verifies, lying beside the current file; and
// the other way round, the current page alone and an older state of the file's head in one run.
TEST(RealFiles, AnOlderCopyOfTheDiffMapPageNeverPassesForTheCurrentOne) {
    const PageFile pubs = readPageFile(real("pubs_sql2008.mdf"));
    ASSERT_EQ(pubs[6][1], 16) << "page 6 is the DIFF map";
    const Page older = olderVersion(pubs[6], 7);
    ASSERT_NE(older, pubs[6]);
    for (const bool currentInTheRun : {true, false}) {
        SCOPED_TRACE(currentInTheRun ? "current page in the run" : "older page in the run");
        TempDir dir;
        Random rng({63});
        LayoutImage image(dir.file("raw.img"), 20000, 63);
        PageFile head(pubs.begin(), pubs.begin() + 16);
        if (!currentInTheRun) head[6] = older;
        image.place(0, head);
        image.junk(24);
        image.place(6, {currentInTheRun ? older : pubs[6]});
        image.junk(24);
        for (const auto& [first, pages] :
             cutIntoRuns(pubs, 16, static_cast<std::int32_t>(pubs.size()), rng, 5, 30))
            image.place(first, pages);
        image.junk(8);
        const Judged j = recoverAndJudge({dir.file("raw.img")}, dir.file("out.mdf"), pubs);
        expectHonest(j);
    }
}

// Two databases of file id 1 on one raw image, each chosen by name.
TEST(RealFiles, TwoDatabasesOfFileIdOneOnARawImage) {
    TempDir dir;
    const PageFile pubs = readPageFile(real("pubs_sql2008.mdf"));
    const PageFile asp = readPageFile(real("aspnetdb_sql2005.mdf"));
    std::set<std::int32_t> aspOnImage;
    twoDatabasesLayout(pubs, asp, 40, dir.file("raw.img"), 64, &aspOnImage);
    for (const auto& [name, original] : std::vector<std::pair<std::string, const PageFile*>>{
             {"pubs", &pubs}, {"aspnetdb", &asp}}) {
        SCOPED_TRACE(name);
        const Judged j = recoverAndJudge({dir.file("raw.img"), "--database", name},
                                         dir.file(name + ".mdf"), *original);
        expectHonest(j);
    }
}

// A live file's cluster right after a fragment, read from free space only: the page that runs on
// into it is not taken from there. Its tail lies nowhere else, so the page is missing, named.
TEST(RealFiles, ALiveFilesClusterAfterAFragmentIsNeverTaken) {
    TempDir dir;
    const std::string path = real("pubs_sql2008.mdf");
    FileSystemImageOptions options;
    options.clusterSectors = 8;
    options.seed = 65;
    const ImageManifest m =
        buildFat32Image(databaseOnDisk(path, "C:\\dbs\\pubs.mdf"), dir.file("fat.img"), options);
    // Every extent of the file that ends inside a page: the page's later half lies in the next
    // extent; overwrite that half, so that only the cluster right after the first half (a live
    // filler's) could give one.
    const PageFile pubs = readPageFile(path);
    const auto allocated = allocatedPages(pubs);
    std::set<std::int32_t> lost;
    for (std::size_t i = 0; i + 1 < m.extents.size() && lost.empty(); ++i) {
        const Extent& e = m.extents[i];
        const std::int64_t end = e.fileOffset + e.sectors * 512;
        if (end % 8192 == 0) continue;
        const auto page = static_cast<std::int32_t>(end / 8192);
        if (!allocated.count(page)) continue;
        const Extent& next = m.extents[i + 1];
        writeAt(dir.file("fat.img"), static_cast<std::uint64_t>(next.sector) * 512,
                std::vector<std::uint8_t>(static_cast<std::size_t>(8192 - end % 8192), 0x5A));
        lost.insert(page);
    }
    ASSERT_FALSE(lost.empty());
    const Judged j = recoverAndJudge({dir.file("fat.img"), "--partition", "--free-space-only"},
                                     dir.file("out.mdf"), pubs);
    expectHonest(j);
    EXPECT_EQ(j.exitCode, 1);
    for (std::int32_t p : lost)
        EXPECT_TRUE(j.named.count(p)) << p;
}

// The first extent of each real file overwritten (file header, PFS, GAM, SGAM and the map pages
// gone), the rest on a raw image in shuffled runs: the database is rebuilt from what remains,
// every allocated page past the lost extent equal to the original's, the lost ones named.
TEST(RealFiles, AFileWhoseFirstExtentIsOverwrittenKeepsEveryOtherPage) {
    for (const char* name :
         {"pubs_sql2008.mdf", "aspnetdb_sql2005.mdf", "db_Examination_sql2016_created2000.mdf",
          "PayrollDatabase1_sql2008_cjk.mdf", "IMS_sql2012_mixedprotection.mdf"}) {
        SCOPED_TRACE(name);
        TempDir dir;
        const PageFile original = readPageFile(real(name));
        Random rng({67});
        layShuffled(
            cutIntoRuns(original, 8, static_cast<std::int32_t>(original.size()), rng, 4, 30),
            dir.file("raw.img"), 20000, 67);
        const Judged j = recoverAndJudge({dir.file("raw.img")}, dir.file("out.mdf"), original);
        EXPECT_EQ(j.exitCode, 1);
        for (std::int32_t p : j.differing) {
            EXPECT_LT(p, 8) << "page " << p << " lies on the image";
            EXPECT_TRUE(j.named.count(p))
                << "page " << p << " differs and the verdict does not say so";
        }
        // Its summary and log in English hold no Chinese (pubs' own path is ASCII).
        if (std::string(name) == "pubs_sql2008.mdf") {
            const CommandResult en =
                runCommand({MDF_CLI, "--lang", "en", "recover", dir.file("raw.img"), "-o",
                            dir.file("en.mdf"), "--no-save-scan"});
            EXPECT_EQ(en.exitCode, 1);
            EXPECT_TRUE(std::all_of(en.output.begin(), en.output.end(), [](char c) {
                return static_cast<unsigned char>(c) < 0x80;
            })) << en.output;
        }
    }
}

// Another database lies beside the headless one, its own page 32 lost: nothing names it, but its
// pages differ where both databases have pages of the same id, so none of them is taken.
TEST(RealFiles, AHeadlessDatabaseNeverTakesTheNamelessNeighboursPages) {
    TempDir dir;
    const PageFile pubs = readPageFile(real("pubs_sql2008.mdf"));
    const PageFile asp = readPageFile(real("aspnetdb_sql2005.mdf"));
    Random rng({69});
    auto runs = cutIntoRuns(pubs, 8, static_cast<std::int32_t>(pubs.size()), rng, 4, 30);
    auto other = cutIntoRuns(asp, 41, static_cast<std::int32_t>(asp.size()), rng, 4, 30);
    runs.insert(runs.end(), other.begin(), other.end());
    layShuffled(std::move(runs), dir.file("raw.img"), 30000, 69);
    const Judged j = recoverAndJudge({dir.file("raw.img")}, dir.file("out.mdf"), pubs);
    EXPECT_EQ(j.exitCode, 1);
    const PageFile written = readPageFile(dir.file("out.mdf"));
    for (std::size_t p = 0; p < written.size() && p < asp.size(); ++p)
        if (asp[p] != pubs[p] && asp[p] != Page{}) {
            EXPECT_NE(written[p], asp[p]) << "page " << p << " is the other database's";
        }
}

// FAT32 with 512-byte clusters and holes of one to 48 clusters: many pages of the file lie in
// three to sixteen pieces, each after a live file. Every page comes back as it was (those without
// protection are still named, as nothing can prove them); then, with one middle piece of a page
// overwritten, that page alone is named and nothing else is lost.
TEST(RealFiles, PagesInManyPiecesOnFat32With512ByteClusters) {
    for (const char* name : {"pubs_sql2008.mdf", "IMS_sql2012_mixedprotection.mdf"}) {
        SCOPED_TRACE(name);
        TempDir dir;
        const std::string path = real(name);
        const PageFile original = readPageFile(path);
        FileSystemImageOptions options;
        options.clusterSectors = 1;
        options.seed = 68;
        options.smallestFiller = 512;
        options.largestFiller = 24 << 10;
        const ImageManifest m =
            buildFat32Image(databaseOnDisk(path, "C:\\dbs\\db.mdf"), dir.file("fat.img"), options);
        // The pages in three pieces or more, and for one of them an extent wholly inside it.
        std::map<std::int32_t, int> pieces;
        std::optional<Extent> middle;
        std::int32_t middleOf = -1;
        for (const Extent& e : m.extents)
            for (std::int64_t b = e.fileOffset; b < e.fileOffset + e.sectors * 512; b += 512)
                if (b == e.fileOffset || b % 8192 == 0)
                    ++pieces[static_cast<std::int32_t>(b / 8192)];
        for (const Extent& e : m.extents) {
            const auto page = static_cast<std::int32_t>(e.fileOffset / 8192);
            if (!middle && e.fileOffset % 8192 != 0 && pieces[page] >= 3 &&
                (e.fileOffset + e.sectors * 512 - 1) / 8192 == page &&
                (e.fileOffset + e.sectors * 512) % 8192 != 0 &&
                allocatedPages(original).count(page) &&
                original[static_cast<std::size_t>(page)][1] == 1) {
                middle = e;
                middleOf = page;
            }
        }
        const auto many = std::count_if(pieces.begin(), pieces.end(),
                                        [](const auto& p) { return p.second >= 3; });
        ASSERT_GE(many, 20) << "pages in three pieces or more";
        ASSERT_TRUE(middle) << "a data page with a piece of its own between two others";

        const std::vector<std::string> args{dir.file("fat.img"), "--partition",
                                            "--free-space-only"};
        const Judged whole = recoverAndJudge(args, dir.file("out.mdf"), original);
        EXPECT_TRUE(whole.differing.empty()) << whole.verdict.dump();
        expectHonest(whole);

        // Another file's bytes: a sector of one repeated word would leave the checksum as it was.
        Random rng({68});
        std::vector<std::uint8_t> other(static_cast<std::size_t>(middle->sectors * 512));
        for (auto& b : other)
            b = static_cast<std::uint8_t>(rng.next());
        writeAt(dir.file("fat.img"), static_cast<std::uint64_t>(middle->sector) * 512, other);
        const Judged cut = recoverAndJudge(args, dir.file("cut.mdf"), original);
        expectHonest(cut);
        EXPECT_EQ(cut.exitCode, 1);
        EXPECT_EQ(cut.differing, std::set<std::int32_t>{middleOf});
    }
}

// Two tables' data pages overwritten on the volume: the recovery is partial, and its report names
// exactly those tables, with exactly those pages.
TEST(RealFiles, APartialRecoveryNamesTheTablesItsLostPagesHeld) {
    TempDir dir;
    const std::string path = real("pubs_sql2008.mdf");
    FileSystemImageOptions options;
    options.clusterSectors = 8;
    options.seed = 66;
    const ImageManifest m =
        buildFat32Image(databaseOnDisk(path, "C:\\dbs\\pubs.mdf"), dir.file("fat.img"), options);
    const std::set<std::int32_t> lost{90, 192};
    for (std::int32_t page : lost)
        for (std::int64_t sector = 0; sector < 16; ++sector) {
            const std::int64_t at = std::int64_t{page} * 8192 + sector * 512;
            for (const Extent& e : m.extents)
                if (at >= e.fileOffset && at < e.fileOffset + e.sectors * 512)
                    writeAt(dir.file("fat.img"),
                            static_cast<std::uint64_t>(e.sector * 512 + (at - e.fileOffset)),
                            std::vector<std::uint8_t>(512, 0x5A));
        }
    const Judged j = recoverAndJudge({dir.file("fat.img"), "--partition", "--free-space-only"},
                                     dir.file("out.mdf"), readPageFile(path));
    expectHonest(j);
    EXPECT_EQ(j.exitCode, 1);
    std::set<std::int32_t> inTablesHit;
    std::set<std::string> tablesHit;
    for (const auto& t : j.report["tables_hit"]) {
        tablesHit.insert(t["table"]);
        for (const char* list : {"pages_missing", "pages_failing"})
            for (std::int32_t p : t[list])
                inTablesHit.insert(p);
    }
    EXPECT_EQ(inTablesHit, lost) << j.report["tables_hit"].dump();
    std::set<std::string> expected;
    for (std::int32_t p : lost)
        expected.insert(kPubsDataPages.at(p));
    EXPECT_EQ(tablesHit, expected);
}

}  // namespace
}  // namespace mdf::test
