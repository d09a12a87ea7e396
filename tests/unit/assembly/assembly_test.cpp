// The fourth tab's commands: the combination list, SEARCH MORE, CHECK and CREATE MDF.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "../analysis/analysis_world.h"
#include "assembly/mdf_writer.h"
#include "assembly/search_more.h"
#include "support/fault_injection.h"
#include "testworld/random.h"

namespace mdf {
namespace {

using test::AnalysisWorld;
using test::ownedPage;
using test::PageBuilder;

constexpr std::int32_t kOwner = 31337;

std::vector<PageBuilder> run(std::int32_t from, std::int32_t to, std::int32_t owner = kOwner) {
    std::vector<PageBuilder> pages;
    for (std::int32_t p = from; p < to; ++p) {
        PageBuilder b = p == 0 ? PageBuilder::fileHeaderPage(1, to) : ownedPage(p, owner);
        if (p == 32) b.addFileNameRecord("Sales", "D:\\data\\Sales.mdf");
        pages.push_back(b.protectWithChecksum());
    }
    return pages;
}

struct AssemblyWorld : AnalysisWorld {
    CombinationList combination;

    AssemblyContext context() {
        return {fragments,
                index,
                origin,
                results,
                combination,
                reporter,
                sectorsPerCluster,
                OutputGuard{image.path(), false, {}},
                image.sectors()};
    }
    // The map knows pages 0..count-1 as allocated and firmly owned.
    void knowPages(std::int32_t count, std::int32_t owner = kOwner) {
        results.pageMap.reset(count);
        for (std::int32_t p = 0; p < count; ++p) {
            PageMapEntry* e = results.pageMap.at(p);
            e->allocState = 1;
            e->ownerId = owner;
            e->ownerSource = 0;
        }
    }
    void combine(std::initializer_list<std::int32_t> records) {
        results.combinationMarks.assign(fragments.size(), 0);
        for (std::int32_t r : records)
            results.mark(r);
        combination.refresh(fragments, results.combinationMarks);
        combination.sortBy(kStartPageColumn);
    }
    std::vector<std::uint8_t> create(const std::string& name) {
        AssemblyContext ctx = context();
        if (!writeMdf(ctx, dir.file(name)).written) return {};
        return test::readFile(dir.file(name));
    }
};

TEST(CombinationList, ShowsMarkedRecordsInListOrderAndSortingDecidesTheCommands) {
    AssemblyWorld w;
    w.fragment(9000, run(20, 30));
    w.fragment(1000, run(0, 10));
    w.results.combinationMarks = {1, 1};
    w.combination.refresh(w.fragments, w.results.combinationMarks);
    ASSERT_EQ(w.combination.rows.size(), 2u);
    EXPECT_EQ(w.combination.rows[0].startPage, 20);
    EXPECT_TRUE(w.combination.rows[1].beginsFile());
    EXPECT_FALSE(w.combination.mayWrite());
    EXPECT_TRUE(w.combination.maySearch()) << "rows as marked may be searched";
    w.combination.sortBy(1);
    EXPECT_FALSE(w.combination.mayWrite() || w.combination.maySearch());
    w.combination.sortBy(kStartPageColumn);
    EXPECT_TRUE(w.combination.mayWrite() && w.combination.maySearch());
    EXPECT_EQ(w.combination.rows[0].startPage, 0);

    // Sector columns of large disks sort by value, beyond twelve digits.
    FragmentRow big, small;
    big.startSector = 10000000000000;
    small.startSector = 9999999999999;
    EXPECT_GT(compareRows(big, small, 5), 0);
    FragmentRow a, b;
    a.remark = "abc";
    b.remark = "ABD";
    EXPECT_LT(compareRows(a, b, 4), 0);
}

TEST(CreateMdf, GapsBecomeZeroPagesAndTheFileIsPaddedToItsPageCount) {
    AssemblyWorld w;
    w.fragment(1000, run(0, 10));
    w.fragment(5000, run(12, 20));
    w.combine({0, 1});
    w.results.expectedPageCount = 25;
    auto file = w.create("out.mdf");
    ASSERT_EQ(file.size(), 25u * 8192);
    for (std::int32_t p : {0, 9, 12, 19})
        EXPECT_EQ(PageHeader::from(std::span(&file[p * 8192u], 96)).pageId(), p);
    for (std::int32_t p : {10, 11, 20, 24})
        EXPECT_TRUE(std::all_of(&file[p * 8192u], &file[p * 8192u] + 8192, [](auto x) {
            return x == 0;
        })) << p;
    for (const auto& e : std::filesystem::directory_iterator(w.dir.path()))
        EXPECT_NE(e.path().extension(), ".partial") << "left behind: " << e.path();

    w.results.expectedPageCount = 15;
    EXPECT_EQ(w.create("shorter.mdf").size(), 20u * 8192)
        << "the rows are all written even past the count";
}

TEST(CreateMdf, NothingIsWrittenUnlessTheFirstRowStartsAtPageZero) {
    AssemblyWorld w;
    w.fragment(1000, run(5, 10));
    w.combine({0});
    EXPECT_TRUE(w.create("none.mdf").empty());
    EXPECT_FALSE(std::filesystem::exists(w.dir.file("none.mdf")));
}

TEST(CreateMdf, NeverWritesOverTheSource) {
    AssemblyWorld w;
    w.fragment(1000, run(0, 10));
    w.combine({0});
    AssemblyContext ctx = w.context();
    EXPECT_FALSE(writeMdf(ctx, w.image.path()).written);
    EXPECT_EQ(w.reporter.messages().size(), 1u);
    EXPECT_TRUE(writeMdf(ctx, w.dir.file("elsewhere.mdf")).written);
}

TEST(CreateMdf, UnreadablePagesBecomeZeroPagesAndAreTold) {
    AssemblyWorld w;
    w.fragment(1000, run(0, 10));
    w.fragments.append(
        composeFragment(2, 4, (1 << 20) - 40, 10, " "));  // its last pages lie past the image
    w.index = buildFragmentIndex(w.fragments);
    w.combine({0, 1});
    AssemblyContext ctx = w.context();
    AssemblyOutcome outcome = writeMdf(ctx, w.dir.file("out.mdf"));
    EXPECT_TRUE(outcome.written);
    EXPECT_EQ(outcome.unreadablePages, (std::vector<std::int32_t>{12, 13}));
    // One box for the file, a line naming each page and its sector.
    EXPECT_EQ(w.reporter.messages(), (std::vector<std::string>{"message: read disk error"}));
    const auto lines = w.reporter.lines(Memo::Assembly);
    const std::int64_t second = (1 << 20) - 40;
    for (std::int32_t page : {12, 13})
        EXPECT_NE(std::find(lines.begin(), lines.end(),
                            "read disk error: sector " + std::to_string(second + (page - 10) * 16) +
                                " (page " + std::to_string(page) + ")"),
                  lines.end())
            << page;
}

// A disk that serves several reads at once, each answered after a pause of its own: pieces read
// ahead on several threads come back out of turn.
class SideBySideFile : public RandomAccessFile {
  public:
    explicit SideBySideFile(std::unique_ptr<RandomAccessFile> inner) : inner_(std::move(inner)) {}
    std::int64_t readAt(void* buffer, std::size_t size, std::uint64_t offset) override {
        std::this_thread::sleep_for(std::chrono::microseconds(offset / 8192 * 7919 % 400));
        return inner_->readAt(buffer, size, offset);
    }
    int readsAtOnce() const override { return 4; }

  private:
    std::unique_ptr<RandomAccessFile> inner_;
};

// Every real file cut into runs (one longer than a read of the writer) laid in shuffled order,
// read by four threads at once: the output is the file itself, but for the one page on a bad
// sector, which is zeros and named.
TEST(CreateMdf, PiecesReadOnSeveralThreadsAreWrittenInPageOrder) {
    for (const char* name :
         {"pubs_sql2008.mdf", "aspnetdb_sql2005.mdf", "IMS_sql2012_mixedprotection.mdf",
          "PayrollDatabase1_sql2008_cjk.mdf", "db_Examination_sql2016_created2000.mdf"}) {
        SCOPED_TRACE(name);
        const std::vector<std::uint8_t> real =
            test::readFile(std::string(MDF_TESTDATA_DIR) + "/" + name);
        const auto pages = static_cast<std::int32_t>(real.size() / 8192);
        AssemblyWorld w;
        test::Random rng(static_cast<std::uint64_t>(pages));
        std::vector<std::pair<std::int32_t, std::int32_t>> runs;  // first page, count
        for (std::int32_t p = 0; p < pages;) {
            const std::int32_t n = p == 40 ? 140 : static_cast<std::int32_t>(rng.between(1, 12));
            runs.emplace_back(p, std::min(n, pages - p));
            p += runs.back().second;
        }
        for (std::size_t i = runs.size(); i > 1; --i)
            std::swap(
                runs[i - 1],
                runs[static_cast<std::size_t>(rng.between(0, static_cast<std::int64_t>(i) - 1))]);
        std::int64_t sector = 64;
        std::int64_t badSector = -1;
        for (const auto& [first, count] : runs) {
            w.image.put(sector,
                        std::span(&real[std::size_t{8192} * static_cast<std::size_t>(first)],
                                  std::size_t{8192} * static_cast<std::size_t>(count)));
            w.fragments.append(composeFragment(static_cast<std::int32_t>(w.fragments.size() + 1),
                                               count, sector, first, " "));
            if (first <= 100 && 100 < first + count) badSector = sector + (100 - first) * 16;
            sector += std::int64_t{count} * 16 + 16 * rng.between(1, 5);
        }
        w.index = buildFragmentIndex(w.fragments);
        const FileOpener withBadSector = test::openerWithBadSectors({{badSector + 3, 1}});
        w.source.setOpener([withBadSector](const std::string& path) {
            return std::make_unique<SideBySideFile>(withBadSector(path));
        });
        w.results.combinationMarks.assign(w.fragments.size(), 1);
        w.combination.refresh(w.fragments, w.results.combinationMarks);
        w.combination.sortBy(kStartPageColumn);
        w.results.expectedPageCount = pages;

        // The image is a sparse 512 MiB: its time of last change says whether anything wrote to
        // it, and the runs laid in it are compared whole.
        const auto changedBefore = std::filesystem::last_write_time(w.image.path());
        std::vector<std::uint8_t> laid(static_cast<std::size_t>(sector) * 512);
        std::ifstream(w.image.path(), std::ios::binary)
            .read(reinterpret_cast<char*>(laid.data()), static_cast<std::streamsize>(laid.size()));
        AssemblyContext ctx = w.context();
        const AssemblyOutcome outcome = writeMdf(ctx, w.dir.file("out.mdf"));
        std::vector<std::uint8_t> after(laid.size());
        std::ifstream(w.image.path(), std::ios::binary)
            .read(reinterpret_cast<char*>(after.data()),
                  static_cast<std::streamsize>(after.size()));
        EXPECT_TRUE(after == laid &&
                    std::filesystem::last_write_time(w.image.path()) == changedBefore)
            << "the source was written to";
        ASSERT_TRUE(outcome.written) << outcome.error;
        EXPECT_EQ(outcome.unreadablePages, (std::vector<std::int32_t>{100}));
        std::vector<std::uint8_t> expected = real;
        std::fill_n(expected.begin() + 100 * 8192, 8192, 0);
        EXPECT_TRUE(test::readFile(w.dir.file("out.mdf")) == expected);
    }
}

// Page 9 of the first run has its second half in the clusters just before the next run, the
// half that lies at the end of the run being someone else's.
TEST(CreateMdf, TheBoundaryPageIsRepairedFromTheClustersBeforeTheNextFragment) {
    for (int spc : {4, 16}) {
        AssemblyWorld w;
        w.sectorsPerCluster = static_cast<std::uint16_t>(spc);
        auto first = run(0, 10), second = run(10, 20);
        test::Page page9 = first[9].bytes();
        // Someone else's bytes; a repeating pattern would not do, as it cancels out of the
        // checksum.
        test::Random junk(7);
        for (std::size_t i = 4096; i < 8192; ++i)
            first[9].bytes()[i] = junk.byte();
        w.fragment(1000, first);
        w.fragment(5000, second);
        w.image.put(5000 - 8, std::span(page9).subspan(4096));
        w.combine({0, 1});
        auto file = w.create("out.mdf");
        const bool repaired = std::equal(page9.begin(), page9.end(), file.begin() + 9 * 8192);
        EXPECT_EQ(repaired, spc < 16) << "sectors per cluster " << spc;
    }
}

// Record indices are given from 0; the log names list rows, from 1.
AssemblyWorld& gapWorld(AssemblyWorld& w) {
    w.fragment(1000, run(0, 10));    // 0
    w.fragment(3000, run(20, 30));   // 1
    w.fragment(5000, run(10, 15));   // 2
    w.fragment(7000, run(12, 20));   // 3
    w.fragment(9000, run(15, 20));   // 4
    w.fragment(11000, run(30, 40));  // 5
    w.knowPages(40);
    w.results.expectedPageCount = 40;
    w.combine({0, 1});
    return w;
}

TEST(SearchMore, FillsOneGapPerPassInIndexOrderUntilAPassFindsNothing) {
    AssemblyWorld w;
    gapWorld(w);
    AssemblyContext ctx = w.context();
    ASSERT_TRUE(searchMore(ctx).completed);
    EXPECT_EQ(
        w.reporter.lines(Memo::Assembly),
        (std::vector<std::string>{
            "find fragment3", "find fragment6", "本次找到碎片数量2。二次查找完毕", "find fragment5",
            "本次找到碎片数量1。二次查找完毕", "本次找到碎片数量0。二次查找完毕"}));
    EXPECT_EQ(w.results.combinationMarks, (std::vector<std::int32_t>{1, 1, 1, 0, 1, 1}));
    EXPECT_TRUE(w.combination.mayWrite());
    EXPECT_EQ(w.combination.rows[0].remark, "D:\\data\\Sales.mdf:320KB")
        << "named from page 32 of row (30, 40)";
}

TEST(SearchMore, ContradictedCandidatesLeaveTheGapOpen) {
    AssemblyWorld w;
    w.fragment(1000, run(0, 10));
    w.fragment(3000, run(10, 20, 666));  // another owner
    w.knowPages(20);
    w.results.expectedPageCount = 20;
    w.combine({0});
    AssemblyContext ctx = w.context();
    ASSERT_TRUE(searchMore(ctx).completed);
    EXPECT_EQ(w.reporter.lines(Memo::Assembly),
              std::vector<std::string>{"本次找到碎片数量0。二次查找完毕"});
}

TEST(SearchMore, OverlapsAndAMissingFirstPageEndTheCommand) {
    AssemblyWorld overlap;
    overlap.fragment(1000, run(0, 10));
    overlap.fragment(3000, run(8, 20));
    overlap.results.expectedPageCount = 20;
    overlap.combine({0, 1});
    AssemblyContext ctx = overlap.context();
    EXPECT_FALSE(searchMore(ctx).completed);
    EXPECT_EQ(overlap.reporter.messages(), std::vector<std::string>{"message: error"});
    EXPECT_TRUE(overlap.reporter.lines(Memo::Assembly).empty());
    EXPECT_FALSE(overlap.combination.mayWrite());

    AssemblyWorld headless;
    headless.fragment(3000, run(8, 20));
    headless.combine({0});
    AssemblyContext ctx2 = headless.context();
    EXPECT_FALSE(searchMore(ctx2).completed);
    EXPECT_TRUE(headless.reporter.lines(Memo::Assembly).empty());
    EXPECT_FALSE(headless.combination.maySearch());
}

TEST(SearchMore, AShortFirstRowGetsTheNameFromPage32OfAnotherRow) {
    for (std::int32_t firstEnd : {4, 32, 33}) {
        AssemblyWorld w;
        w.fragment(1000, run(0, firstEnd));
        w.fragment(3000, run(firstEnd == 4 ? 30 : firstEnd, 40));
        w.knowPages(40);
        w.results.expectedPageCount = 40;
        w.results.lostFileName = "c:\\noname.mdf";
        w.combine({0, 1});
        if (firstEnd == 4) {
            w.fragment(5000, run(4, 30));  // fills the gap before the second row
        }
        AssemblyContext ctx = w.context();
        ASSERT_TRUE(searchMore(ctx).completed);
        const std::string remark = w.combination.rows[0].remark;
        if (firstEnd <= 32) {
            EXPECT_EQ(remark, "D:\\data\\Sales.mdf:320KB") << firstEnd;
        } else {
            EXPECT_EQ(remark, " ") << "a first row of more than 32 pages keeps its memo";
        }
    }
}

TEST(Check, ListsMissingPfsPagesThenAllocatedPagesGapByGap) {
    AssemblyWorld w;
    w.fragments.replace(
        {composeFragment(1, 8000, 0, 0, " "), composeFragment(2, 11000, 200000, 9000, " ")});
    w.results.pageMap.reset(20000);
    for (std::int32_t p : {8000, 8500, 8999, 9000})
        w.results.pageMap.at(p)->allocState = 1;
    w.results.pageMap.at(8001)->allocState = 0;
    w.results.expectedPageCount = 20000;
    w.combine({0, 1});
    AssemblyContext ctx = w.context();
    checkMissingPages(ctx);
    EXPECT_EQ(w.reporter.lines(Memo::Assembly),
              (std::vector<std::string>{"lack of PFS page 8088", "lack of page 8000",
                                        "lack of page 8500", "lack of page 8999", "check done"}));
}

TEST(Check, ThePfsCountFollowsTheRoundingRule) {
    for (auto [expected, lastPfs] :
         {std::pair{16176, 8088}, std::pair{16177, 16176}, std::pair{13000, 8088}}) {
        AssemblyWorld w;
        w.fragments.replace({composeFragment(1, 2, 0, 0, " ")});
        w.results.pageMap.reset(expected);
        w.results.expectedPageCount = expected;
        w.combine({0});
        AssemblyContext ctx = w.context();
        checkMissingPages(ctx);
        auto lines = w.reporter.lines(Memo::Assembly);
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines[lines.size() - 2], "lack of PFS page " + std::to_string(lastPfs))
            << expected;
    }
}

TEST(Check, OverlapsAreAnErrorAndNoGapsMeanOnlyCheckDone) {
    AssemblyWorld w;
    w.fragments.replace(
        {composeFragment(1, 100, 0, 0, " "), composeFragment(2, 150, 5000, 50, " ")});
    w.results.expectedPageCount = 200;
    w.combine({0, 1});
    AssemblyContext ctx = w.context();
    checkMissingPages(ctx);
    EXPECT_TRUE(w.reporter.lines(Memo::Assembly).empty());
    EXPECT_EQ(w.reporter.messages(), std::vector<std::string>{"message: error"});

    AssemblyWorld full;
    full.fragments.replace(
        {composeFragment(1, 1, 0, 0, " "), composeFragment(2, 199, 5000, 1, " ")});
    full.results.expectedPageCount = 200;
    full.combine({0, 1});
    AssemblyContext fullCtx = full.context();
    EXPECT_TRUE(checkMissingPages(fullCtx).completed);
    EXPECT_EQ(full.reporter.lines(Memo::Assembly), std::vector<std::string>{"check done"});
}

}  // namespace
}  // namespace mdf
