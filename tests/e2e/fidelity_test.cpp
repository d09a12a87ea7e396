// Real-world layouts that the plain rules lose pages on, recovered as a user does it:
// `mdfrecover recover IMAGE [--database NAME] -o OUT --json`. Every page whose current, intact
// form lies on the image must come back as the original has it; the report must name exactly
// the allocated pages that could not.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <nlohmann/json.hpp>

#include "assembly/sha256.h"
#include "pipeline.h"
#include "report/reporter.h"
#include "session/recovery_session.h"
#include "support/pubs_file.h"
#include "testworld/fidelity_world.h"
#include "testworld/process.h"
#include "testworld/temp_dir.h"

namespace mdf::test {
namespace {

struct Recovered {
    int exitCode = -1;
    std::string log;
    nlohmann::json summary;
    PageFile pages;
};

Recovered recover(const std::string& image, const std::string& output,
                  std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {MDF_CLI, "recover", image, "-o", output, "--json"};
    args.insert(args.end(), extra.begin(), extra.end());
    CommandResult r = runCommand(args);
    Recovered out;
    out.exitCode = r.exitCode;
    out.log = r.output;
    const std::size_t json = r.output.rfind("\n{\n");
    if (json != std::string::npos) out.summary = nlohmann::json::parse(r.output.substr(json + 1));
    if (std::filesystem::exists(output)) out.pages = readPageFile(output);
    return out;
}

// Every page on the image equals the original; every other page is zero; the report lists
// exactly the allocated ones among the others.
void expectFaithful(const Recovered& r, const PageFile& original,
                    const std::set<std::int32_t>& onImage) {
    ASSERT_FALSE(r.summary.is_null()) << r.log;
    ASSERT_FALSE(r.pages.empty()) << r.log;
    static const Page zero{};
    int wrong = 0;
    for (std::size_t p = 0; p < original.size(); ++p) {
        const Page& got = p < r.pages.size() ? r.pages[p] : zero;
        const bool expected = onImage.count(static_cast<std::int32_t>(p)) > 0;
        if (expected ? got != original[p] : got != zero) {
            if (++wrong <= 5)
                ADD_FAILURE() << "page " << p << (expected ? " differs" : " not zero");
        }
    }
    EXPECT_EQ(wrong, 0) << r.log;
    std::vector<std::int32_t> lost;
    for (std::int32_t p : allocatedPages(original))
        if (!onImage.count(p)) lost.push_back(p);
    EXPECT_EQ(r.summary["missing_pages"]["list"].get<std::vector<std::int32_t>>(), lost);
}

}  // namespace
SyntheticDatabase synthetic(Protection protection, std::uint64_t seed,
                            std::string logical = "Sales", std::string path = "D:\\data\\Sales.mdf",
                            std::int32_t pages = 400) {
    DatabaseRecipe recipe;
    recipe.pages = pages;
    recipe.usedPages = pages;
    recipe.protection = protection;
    recipe.seed = seed;
    recipe.logicalName = std::move(logical);
    recipe.physicalPath = std::move(path);
    return SyntheticDatabase(recipe);
}
namespace {

struct Case {
    std::string name;
    PageFile file;
    std::string database;  // part of the name to ask for
};

std::vector<Case> cases(bool withUnprotected) {
    std::vector<Case> c = {{"pubs", pubsFile(), "pubs"},
                           {"checksum", pagesOf(synthetic(Protection::Checksum, 3)), "sales"},
                           {"torn", pagesOf(synthetic(Protection::TornBits, 4)), "sales"}};
    if (withUnprotected) c.push_back({"none", pagesOf(synthetic(Protection::None, 5)), "sales"});
    return c;
}

TEST(Fidelity, AFileHeaderPageAloneStartsTheFile) {
    for (const Case& c : cases(false)) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Layout l = loneHeaderLayout(c.file, dir.file("lone.img"), 11);
        Recovered r = recover(l.image, dir.file("out.mdf"), {"--database", c.database});
        EXPECT_EQ(r.exitCode, 0) << r.log;
        expectFaithful(r, c.file, l.onImage);
        EXPECT_NE(r.log.find("lone file header page"), std::string::npos);
    }
}

TEST(Fidelity, AnUnprotectedFileHeaderPageAloneStartsNothing) {
    TempDir dir;
    PageFile file = pagesOf(synthetic(Protection::None, 5));
    Layout l = loneHeaderLayout(file, dir.file("lone.img"), 11);
    Recovered r = recover(l.image, dir.file("out.mdf"));
    EXPECT_EQ(r.log.find("lone file header page"), std::string::npos) << r.log;
}

TEST(Fidelity, OnFat32With8KClustersPage0AloneStillStartsTheFile) {
    TempDir dir;
    SyntheticDatabase db = synthetic(Protection::Checksum, 8);
    ImageManifest m = buildFat32LoneHeaderImage(db, dir.file("fat.img"), 8);
    RecoveryRun run = recoverImage(m, dir.file("fat.img"), dir.file("out.mdf"), optionsFor(m));
    EXPECT_TRUE(run.outcome.written);
    EXPECT_EQ(run.outputSha256, m.expectedSha256);
    EXPECT_EQ(run.lostFileName, "D:\\data\\Sales.mdf");
}

TEST(Fidelity, AnOlderCopyInterleavedNeverReplacesCurrentPages) {
    for (const Case& c : cases(false)) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Layout l = olderCopyLayout(c.file, dir.file("old.img"), 21);
        Recovered r = recover(l.image, dir.file("out.mdf"), {"--database", c.database});
        EXPECT_EQ(r.exitCode, 0) << r.log;
        expectFaithful(r, c.file, l.onImage);
    }
}

TEST(Fidelity, ANearerCopyWithItsBodyOverwrittenNeverWins) {
    for (const Case& c : cases(false)) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Layout l = damagedCopyLayout(c.file, dir.file("damaged.img"), 31);
        Recovered r = recover(l.image, dir.file("out.mdf"), {"--database", c.database});
        EXPECT_EQ(r.exitCode, 0) << r.log;
        expectFaithful(r, c.file, l.onImage);
    }
}

TEST(Fidelity, TheManualChooserShowsWhatEachCandidatesPagesProve) {
    TempDir dir;
    PageFile file = pagesOf(synthetic(Protection::Checksum, 3));
    Layout l = damagedCopyLayout(file, dir.file("damaged.img"), 31);
    ASSERT_EQ(runCommand({MDF_CLI, "scan", l.image, "-o", dir.file("scan.info")}).exitCode, 0);
    {
        std::ofstream answers(dir.file("answers.txt"));
        for (int i = 0; i < 100; ++i)
            answers << "1\n";
    }
    CommandResult r = runCommand({MDF_CLI, "analyse", dir.file("scan.info"), "--source", l.image,
                                  "--manual", "--session", dir.file("s.json"), "--lang", "zh"},
                                 {}, dir.file("answers.txt"));
    EXPECT_NE(r.output.find("页校验(pages verified): "), std::string::npos) << r.output;
    EXPECT_NE(r.output.find(" failing"), std::string::npos) << "the damaged copy says so";
    EXPECT_NE(r.output.find(" LSN 3"), std::string::npos) << "the range of log sequence numbers";
}

TEST(Fidelity, TwoDatabasesWhosePage32LiesElsewhereAreEachFoundByName) {
    TempDir dir;
    PageFile pubs = pubsFile();
    PageFile sales = pagesOf(synthetic(Protection::TornBits, 6));
    std::set<std::int32_t> salesOnImage;
    Layout l = twoDatabasesLayout(pubs, sales, 20, dir.file("two.img"), 41, &salesOnImage);

    CommandResult files = runCommand({MDF_CLI, "recover", l.image, "-o", dir.file("x.mdf")});
    EXPECT_NE(files.exitCode, 0);
    EXPECT_NE(files.output.find("C:\\dbs\\pubs.mdf"), std::string::npos) << files.output;
    EXPECT_NE(files.output.find("D:\\data\\Sales.mdf"), std::string::npos) << files.output;

    Recovered first = recover(l.image, dir.file("pubs.mdf"), {"--database", "pubs"});
    EXPECT_EQ(first.exitCode, 0) << first.log;
    EXPECT_EQ(first.summary["database_name"], "C:\\dbs\\pubs.mdf");
    expectFaithful(first, pubs, l.onImage);

    Recovered second = recover(l.image, dir.file("sales.mdf"), {"--database", "sales"});
    EXPECT_EQ(second.exitCode, 0) << second.log;
    EXPECT_EQ(second.summary["database_name"], "D:\\data\\Sales.mdf");
    expectFaithful(second, sales, salesOnImage);
}

// Two databases of one layout (copies of one schema: nothing in their pages tells whose a run
// is) cut at the same pages, both heads too short to hold page 32, and only the second
// database's page 32 left on the image. The chain of either head reaches that page: tied to neither
// by evidence, it names neither, where it used to give the first database the second one's name.
TEST(Fidelity, AHeadNeverTakesTheNameOfAnotherDatabasesPage32) {
    TempDir dir;
    const PageFile alpha =
        pagesOf(synthetic(Protection::Checksum, 21, "Alpha", "D:\\data\\Alpha.mdf"));
    const PageFile beta =
        pagesOf(synthetic(Protection::Checksum, 22, "Beta", "D:\\data\\Beta.mdf"));
    LayoutImage image(dir.file("two.img"), 40'000, 23);
    std::int64_t alphaHead = 0;
    for (const PageFile* file : {&alpha, &beta}) {
        Random rng(24);  // the same cuts in both: runs of the same pages compete
        const std::int32_t pages = static_cast<std::int32_t>(file->size());
        for (const auto& [first, run] : cutIntoRuns(*file, 0, pages, rng, 4, 12)) {
            // Alpha's page 32 is gone (overwritten); both heads hold pages 0-3 only.
            if (file == &alpha && first <= 32 && first + static_cast<std::int32_t>(run.size()) > 32)
                continue;
            if (first == 0) {
                const std::int64_t at = image.place(0, {run.begin(), run.begin() + 4});
                if (file == &alpha) alphaHead = at;
                if (run.size() > 4) image.place(4, {run.begin() + 4, run.end()});
                continue;
            }
            image.place(first, run);
        }
    }
    const CommandResult r =
        runCommand({MDF_CLI, "recover", image.path(), "-o", dir.file("x.mdf"), "--json"});
    ASSERT_EQ(r.exitCode, 5) << r.output;
    const nlohmann::json summary =
        nlohmann::json::parse(r.output.substr(r.output.rfind("\n{\n") + 1));
    std::set<std::int64_t> heads;
    for (const auto& c : summary["candidates"]) {
        heads.insert(c["first_sector"].get<std::int64_t>());
        if (c["first_sector"].get<std::int64_t>() == alphaHead) {
            EXPECT_EQ(c["name"].get<std::string>().find("Beta"), std::string::npos) << r.output;
        }
    }
    EXPECT_EQ(heads.size(), 2u) << r.output;
    EXPECT_TRUE(heads.count(alphaHead)) << r.output;
}

// Every primary file has file id 1: on a disk of several databases the runs of each compete for
// the same page ids, and with heads too short to hold an IAM page nothing in the pages may tell
// whose a run is. Whatever the tool takes, it never passes one database's pages off as another's:
// a recovery that says complete is the database byte for byte, and every allocated page of a
// partial one that is not the original's is named in its report.
TEST(Fidelity, DatabasesOfOneFileIdNeverPassForEachOther) {
    TempDir dir;
    std::vector<PageFile> dbs;
    for (int d = 0; d < 3; ++d) {
        DatabaseRecipe recipe;
        recipe.pages = recipe.usedPages = 400 + 8 * d;
        recipe.objects = 3 + d;
        recipe.seed = 70 + static_cast<std::uint64_t>(d);
        recipe.logicalName = "Db" + std::to_string(d);
        recipe.physicalPath = "D:\\data\\Db" + std::to_string(d) + ".mdf";
        dbs.push_back(pagesOf(SyntheticDatabase(recipe)));
    }
    std::vector<std::pair<std::int32_t, std::vector<Page>>> runs;
    for (const PageFile& db : dbs) {
        Random cuts(71);  // the same cuts in each: runs of the same pages compete
        for (auto& [first, run] :
             cutIntoRuns(db, 0, static_cast<std::int32_t>(db.size()), cuts, 4, 4))
            runs.push_back({first, std::move(run)});
    }
    Random order(72);
    for (std::size_t i = runs.size() - 1; i > 0; --i)
        std::swap(runs[i],
                  runs[static_cast<std::size_t>(order.between(0, static_cast<std::int64_t>(i)))]);
    LayoutImage image(dir.file("three.img"), 30'000, 73);
    for (const auto& [first, run] : runs)
        image.place(first, run);

    std::set<std::size_t> recovered, complete;
    for (int file = 1; file <= 3; ++file) {
        SCOPED_TRACE("--file " + std::to_string(file));
        Recovered r =
            recover(image.path(), dir.file("out.mdf"), {"--file", std::to_string(file), "--force"});
        ASSERT_LE(r.exitCode, 1) << r.log;
        ASSERT_FALSE(r.pages.empty()) << r.log;
        std::size_t d = 0;  // whose head it is: page 0 states each one's size
        while (d < dbs.size() && dbs[d][0] != r.pages[0])
            ++d;
        ASSERT_LT(d, dbs.size()) << r.log;
        recovered.insert(d);
        std::set<std::int32_t> named;
        for (const auto& [key, list] : r.summary["verdict"].items())
            if (list.is_object() && list.contains("ranges"))
                for (const auto& range : list["ranges"])
                    for (std::int32_t p = range[0]; p <= range[1].get<std::int32_t>(); ++p)
                        named.insert(p);
        int unnamed = 0;
        for (std::int32_t p : allocatedPages(dbs[d])) {
            const bool right =
                static_cast<std::size_t>(p) < r.pages.size() &&
                r.pages[static_cast<std::size_t>(p)] == dbs[d][static_cast<std::size_t>(p)];
            if (right || (r.exitCode == 1 && named.count(p))) continue;
            if (++unnamed <= 5) ADD_FAILURE() << "page " << p << " is not Db" << d << "'s, unnamed";
        }
        EXPECT_EQ(unnamed, 0) << r.log;
        if (r.exitCode == 0) complete.insert(d);
    }
    EXPECT_EQ(recovered.size(), 3u);
    // Db1's and Db2's PFS pages place IAM pages where the others have none (Db0's IAM pages stand
    // where every other database has one too): those IAM pages tie their runs to them.
    EXPECT_TRUE(complete.count(1) && complete.count(2));
}

// Pages the file's PFS marks free still hold what the original file held. Alone in a run of
// their own they prove nothing: they come back unless another database's header states a size
// that reaches them, and then they stay zero rather than risk being that database's pages.
TEST(Fidelity, FreePagesComeBackUnlessAnotherDatabaseReachesThem) {
    DatabaseRecipe recipe;
    recipe.pages = 600;
    recipe.usedPages = 450;
    recipe.seed = 12;
    const PageFile sales = pagesOf(SyntheticDatabase(recipe));
    const std::set<std::int32_t> allocated = allocatedPages(sales);
    // The file's used pages end with a run of free pages that still hold content.
    auto end = static_cast<std::int32_t>(sales.size());
    while (end > 0 && sales[end - 1] == Page{})
        --end;
    std::int32_t tail = end;
    while (tail > 40 && !allocated.count(tail - 1))
        --tail;
    ASSERT_LT(tail, end) << "no free page with content";
    struct Other {
        std::string name;
        PageFile file;
        bool reaches;
    };
    const Other others[] = {
        {"pubs, 288 pages", pubsFile(), false},
        {"a 600-page archive",
         pagesOf(synthetic(Protection::Checksum, 8, "Archive", "E:\\old\\Archive.mdf", 600)), true},
    };
    for (const Other& other : others) {
        SCOPED_TRACE(other.name);
        ASSERT_EQ(other.reaches, other.file.size() > static_cast<std::size_t>(tail));
        TempDir dir;
        Random rng({61u, 3u});
        LayoutImage image(dir.file("free.img"),
                          static_cast<std::int64_t>(sales.size() + other.file.size()) * 40 + 20000,
                          61);
        auto runs = cutIntoRuns(sales, 0, tail, rng, 3, 40);
        runs.push_back({tail, std::vector<Page>(sales.begin() + tail, sales.begin() + end)});
        auto theirs =
            cutIntoRuns(other.file, 0, static_cast<std::int32_t>(other.file.size()), rng, 3, 40);
        for (std::size_t i = 0; i < std::max(runs.size(), theirs.size()); ++i) {
            if (i < theirs.size()) image.place(theirs[i].first, theirs[i].second);
            if (i < runs.size()) image.place(runs[i].first, runs[i].second);
        }
        image.junk(8);

        Recovered r = recover(image.path(), dir.file("out.mdf"), {"--database", "Sales"});
        ASSERT_LE(r.exitCode, 1) << r.log;
        ASSERT_GE(r.pages.size(), sales.size()) << r.log;
        for (auto p = static_cast<std::size_t>(tail); p < static_cast<std::size_t>(end); ++p) {
            if (other.reaches)
                EXPECT_TRUE(r.pages[p] == sales[p] || r.pages[p] == Page{})
                    << "page " << p << " is neither ours nor zero";
            else
                EXPECT_TRUE(r.pages[p] == sales[p]) << "free page " << p << " lost";
        }
    }
}

TEST(Fidelity, TheFirst60PagesOverwrittenGiveAPartialFileThatSaysSo) {
    for (const Case& c : cases(true)) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        Layout l = lostStartLayout(c.file, 60, dir.file("lost.img"), 51);
        Recovered r = recover(l.image, dir.file("out.mdf"));
        EXPECT_EQ(r.exitCode, 1) << "a partial result: " << r.log;
        EXPECT_EQ(r.summary["file_header_missing"], true) << r.log;
        EXPECT_EQ(r.summary["status"], "partial") << r.log;
        EXPECT_NE(r.log.find("file header page (page 0) was not found"), std::string::npos);
        ASSERT_FALSE(r.pages.empty()) << r.log;
        // Without page 0 nothing tells the size but the pages found: the file ends with the
        // last of them.
        std::int32_t last = 0;
        for (std::size_t p = 0; p < c.file.size(); ++p)
            if (c.file[p] != Page{}) last = static_cast<std::int32_t>(p);
        EXPECT_EQ(r.pages.size(), static_cast<std::size_t>(last) + 1);
        static const Page zero{};
        for (std::size_t p = 0; p < r.pages.size(); ++p)
            EXPECT_EQ(r.pages[p] == (p < 60 ? zero : c.file[p]), true) << "page " << p;
    }
}

TEST(Fidelity, PagesSplitAcrossHeaderlessClustersArePiecedTogether) {
    for (int cs : {1, 8}) {
        for (const Case& c : cases(false)) {
            if (c.name == "torn") continue;
            SCOPED_TRACE(c.name + " with clusters of " + std::to_string(cs) + " sectors");
            TempDir dir;
            std::set<std::int32_t> split;
            Layout l = splitPageLayout(c.file, cs, dir.file("split.img"), 71 + cs, &split);
            ASSERT_GE(split.size(), 3u);
            Recovered r = recover(l.image, dir.file("out.mdf"),
                                  {"--database", c.database, "--stride", std::to_string(cs)});
            EXPECT_EQ(r.exitCode, 0) << r.log;
            expectFaithful(r, c.file, l.onImage);
            EXPECT_EQ(r.summary["restored_pages"]["count"].get<std::size_t>(), split.size())
                << r.log;
        }
    }
}

// Every tail of a torn-bit page carries the same torn value in every sector, so with several
// split pages no tail is the only one that fits: none is taken, and the report says which
// pages fail verification.
TEST(Fidelity, SplitTornBitPagesAreNamedWhenNoPieceIsTheOnlyFit) {
    for (int cs : {1, 8}) {
        SCOPED_TRACE("clusters of " + std::to_string(cs) + " sectors");
        TempDir dir;
        PageFile file = pagesOf(synthetic(Protection::TornBits, 4));
        std::set<std::int32_t> split;
        Layout l = splitPageLayout(file, cs, dir.file("split.img"), 71 + cs, &split);
        ASSERT_GE(split.size(), 3u);
        Recovered r = recover(l.image, dir.file("out.mdf"),
                              {"--database", "sales", "--stride", std::to_string(cs)});
        ASSERT_FALSE(r.summary.is_null()) << r.log;
        EXPECT_EQ(r.exitCode, 1) << "a partial result: " << r.log;
        auto failed = r.summary["failed_pages"]["list"].get<std::vector<std::int32_t>>();
        auto restored = r.summary["restored_pages"]["list"].get<std::vector<std::int32_t>>();
        std::set<std::int32_t> told(failed.begin(), failed.end());
        told.insert(restored.begin(), restored.end());
        EXPECT_EQ(told, split) << r.log;
        for (std::size_t p = 0; p < file.size(); ++p) {
            const auto id = static_cast<std::int32_t>(p);
            if (!split.count(id) || std::count(restored.begin(), restored.end(), id)) {
                EXPECT_TRUE(r.pages.at(p) == file[p]) << "page " << p;
            }
        }
    }
}

TEST(Fidelity, NoPieceIsTakenForASplitPageWithoutProtection) {
    TempDir dir;
    PageFile file = pagesOf(synthetic(Protection::None, 5));
    std::set<std::int32_t> split;
    Layout l = splitPageLayout(file, 8, dir.file("split.img"), 79, &split);
    ASSERT_GE(split.size(), 3u);
    Recovered r = recover(l.image, dir.file("out.mdf"), {"--database", "sales", "--stride", "8"});
    ASSERT_FALSE(r.summary.is_null()) << r.log;
    EXPECT_EQ(r.summary["restored_pages"]["count"], 0) << r.log;
    for (std::int32_t p : split)
        EXPECT_NE(r.pages.at(static_cast<std::size_t>(p)), file[static_cast<std::size_t>(p)])
            << "page " << p << " cannot be told right without protection";
}

// "split-page search: N stretches from the scan's sector sums, M read again from the source"
std::string stretches(const Recovered& r) {
    const auto end = r.log.find(" stretches from the scan's sector sums");
    const auto begin = r.log.rfind(": ", end);
    return end == std::string::npos ? std::string()
                                    : r.log.substr(begin, r.log.find('\n', end) - begin);
}

// Another scan's sums under the name (the scan id in their header changed): never taken; the
// source is read again, to the same file.
void expectOtherScansSumsNotTaken(const std::string& sums,
                                  const std::function<Recovered(const std::string&)>& recoverTo,
                                  const std::string& output, const std::string& sameAs) {
    {
        std::fstream f(sums, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(30);
        f.put('x');
    }
    Recovered r = recoverTo(output);
    EXPECT_EQ(r.exitCode, 0) << r.log;
    EXPECT_EQ(sha256OfFile(output), sha256OfFile(sameAs));
    EXPECT_NE(stretches(r).find(": 0 stretches from the scan's sector sums"), std::string::npos)
        << r.log;
}

// The scan's sector sums are kept beside its scan-info file: a recovery from the kept scan, in
// another process, finds the split pages' tails without reading the source a second time, and
// writes the same file. With the sums gone, or another scan's, the source is read again.
TEST(Fidelity, AKeptScanFindsSplitPagesWithoutASecondReadOfTheSource) {
    TempDir dir;
    PageFile file = pagesOf(synthetic(Protection::Checksum, 4));
    std::set<std::int32_t> split;
    Layout l = splitPageLayout(file, 8, dir.file("split.img"), 83, &split);
    ASSERT_GE(split.size(), 3u);
    const std::string imageSha = sha256OfFile(l.image);
    Recovered first =
        recover(l.image, dir.file("out.mdf"), {"--database", "sales", "--stride", "8", "-v"});
    EXPECT_EQ(first.exitCode, 0) << first.log;
    expectFaithful(first, file, l.onImage);
    EXPECT_NE(stretches(first).find(", 0 read again"), std::string::npos) << stretches(first);

    auto again = [&](const std::string& output) {
        CommandResult c = runCommand({MDF_CLI, "recover", "--resume", dir.file("out.mdf.scan.info"),
                                      "-o", output, "--json", "--database", "sales", "-v"});
        Recovered r;
        r.exitCode = c.exitCode;
        r.log = c.output;
        return r;
    };
    Recovered kept = again(dir.file("kept.mdf"));
    EXPECT_EQ(kept.exitCode, 0) << kept.log;
    EXPECT_EQ(sha256OfFile(dir.file("kept.mdf")), sha256OfFile(dir.file("out.mdf")));
    EXPECT_NE(stretches(kept).find(", 0 read again"), std::string::npos) << kept.log;

    // Step by step over the kept scan: the search runs when the file is made.
    const std::string session = dir.file("steps.json");
    ASSERT_EQ(runCommand({MDF_CLI, "analyse", dir.file("out.mdf.scan.info"), "--source", l.image,
                          "--database", "sales", "--session", session})
                  .exitCode,
              0);
    Recovered steps;
    CommandResult created =
        runCommand({MDF_CLI, "create", "--session", session, "-o", dir.file("steps.mdf"), "-v"});
    steps.exitCode = created.exitCode;
    steps.log = created.output;
    EXPECT_EQ(steps.exitCode, 0) << steps.log;
    EXPECT_EQ(sha256OfFile(dir.file("steps.mdf")), sha256OfFile(dir.file("out.mdf")));
    EXPECT_NE(stretches(steps).find(", 0 read again"), std::string::npos) << steps.log;

    expectOtherScansSumsNotTaken(dir.file("out.mdf.scan.info.sums"), again, dir.file("foreign.mdf"),
                                 dir.file("out.mdf"));
    EXPECT_EQ(sha256OfFile(l.image), imageSha) << "the source is never written";
}

// The window saves a scan whose sums had no name: they are copied beside the scan-info file, and
// the scan opened again over the same source finds the split pages' tails without reading the
// source a second time, writing what a recovery in one run writes, also when the scan is opened
// before the source is chosen. Sums not of that scan are never taken.
TEST(Fidelity, AScanSavedByTheWindowKeepsItsSumsForTheScanOpenedAgain) {
    TempDir dir;
    PageFile file = pagesOf(synthetic(Protection::Checksum, 6));
    std::set<std::int32_t> split;
    Layout l = splitPageLayout(file, 8, dir.file("split.img"), 89, &split);
    ASSERT_GE(split.size(), 3u);
    const std::string imageSha = sha256OfFile(l.image);
    Recovered once = recover(l.image, dir.file("once.mdf"),
                             {"--database", "sales", "--stride", "8", "--no-save-scan"});
    ASSERT_EQ(once.exitCode, 0) << once.log;
    expectFaithful(once, file, l.onImage);

    const std::string scanInfo = dir.file("window.scan.info");
    {
        SilentReporter reporter;
        RecoverySession session(reporter);
        ASSERT_TRUE(session.openImage(l.image, ImageKind::WholeDisk));
        session.settings().sectorsPerCluster = 8;
        ASSERT_EQ(session.startScan(), StartResult::Started);
        session.waitForJobs();
        ASSERT_TRUE(session.saveScan(scanInfo, std::nullopt, 7));
    }
    auto reopenedFrom = [&](const std::string& saved, const std::string& output) {
        const std::string steps = output + ".session.json";
        Recovered r;
        CommandResult analysed = runCommand({MDF_CLI, "analyse", saved, "--source", l.image,
                                             "--database", "sales", "--session", steps});
        r.log = analysed.output;
        if (analysed.exitCode != 0) return r;
        CommandResult created =
            runCommand({MDF_CLI, "create", "--session", steps, "-o", output, "-v"});
        r.exitCode = created.exitCode;
        r.log += created.output;
        return r;
    };
    auto reopened = [&](const std::string& output) { return reopenedFrom(scanInfo, output); };
    Recovered again = reopened(dir.file("again.mdf"));
    EXPECT_EQ(again.exitCode, 0) << again.log;
    EXPECT_EQ(sha256OfFile(dir.file("again.mdf")), sha256OfFile(dir.file("once.mdf")));
    EXPECT_NE(stretches(again).find(", 0 read again"), std::string::npos) << again.log;
    EXPECT_EQ(stretches(again).find(": 0 stretches"), std::string::npos) << stretches(again);

    // In the window's order: the scan opened before the source is chosen; its sums are taken
    // when the analysis starts.
    {
        RecordingReporter reporter;
        RecoverySession session(reporter);
        ASSERT_TRUE(session.openScan(scanInfo, std::nullopt));
        ASSERT_TRUE(session.openImage(l.image, ImageKind::WholeDisk));
        session.settings().sectorsPerCluster = 8;
        std::optional<CatalogueRow> sales;
        for (const CatalogueRow& row : session.listDatabaseFiles())
            if (row.name.find("Sales") != std::string::npos) sales = row;
        ASSERT_TRUE(sales);
        ASSERT_EQ(session.startAnalysis(*sales), StartResult::Started);
        session.waitForJobs();
        session.searchMore();
        session.completeRecovery(dir.file("window.mdf"));
        EXPECT_EQ(sha256OfFile(dir.file("window.mdf")), sha256OfFile(dir.file("once.mdf")));
        Recovered window;
        for (const RecordingReporter::Event& e : reporter.events())
            if (e.kind == RecordingReporter::Kind::Log) window.log += e.text + "\n";
        // The window's words: "... 重读源(the source read again) 0 段"
        EXPECT_NE(window.log.find("(the source read again) 0 "), std::string::npos) << window.log;
        // Saved again under another name, with the sums it took.
        ASSERT_TRUE(session.saveScan(dir.file("resaved.scan.info"), std::nullopt, 7));
    }
    Recovered resaved = reopenedFrom(dir.file("resaved.scan.info"), dir.file("resaved.mdf"));
    EXPECT_EQ(sha256OfFile(dir.file("resaved.mdf")), sha256OfFile(dir.file("once.mdf")));
    EXPECT_NE(stretches(resaved).find(", 0 read again"), std::string::npos) << resaved.log;

    expectOtherScansSumsNotTaken(scanInfo + ".sums", reopened, dir.file("foreign.mdf"),
                                 dir.file("once.mdf"));
    EXPECT_EQ(sha256OfFile(l.image), imageSha) << "the source is never written";
}

TEST(Fidelity, PagesOfSeveralHeadlessDatabasesAreNeverMixed) {
    TempDir dir;
    PageFile pubs = pubsFile();
    PageFile sales = pagesOf(synthetic(Protection::Checksum, 7));
    // Both lose their first 20 pages; page 32 of each survives.
    PageFile a = pubs, b = sales;
    Random rng(3);
    LayoutImage image(dir.file("mixed.img"), 400000, 61);
    auto runs = cutIntoRuns(a, 20, static_cast<std::int32_t>(a.size()), rng, 3, 40);
    auto more = cutIntoRuns(b, 20, static_cast<std::int32_t>(b.size()), rng, 3, 40);
    runs.insert(runs.end(), more.begin(), more.end());
    for (const auto& [first, pages] : runs)
        image.place(first, pages);
    image.junk(8);

    Recovered both = recover(dir.file("mixed.img"), dir.file("x.mdf"));
    EXPECT_EQ(both.exitCode, 5) << "a choice is asked for: " << both.log;
    EXPECT_NE(both.log.find("they are not mixed"), std::string::npos) << both.log;
    EXPECT_FALSE(std::filesystem::exists(dir.file("x.mdf")));

    Recovered one = recover(dir.file("mixed.img"), dir.file("sales.mdf"), {"--database", "sales"});
    EXPECT_EQ(one.exitCode, 1) << one.log;
    ASSERT_FALSE(one.pages.empty()) << one.log;
    for (std::size_t p = 20; p < one.pages.size(); ++p)
        EXPECT_TRUE(one.pages[p] == sales[p]) << "page " << p;
}

}  // namespace
}  // namespace mdf::test
