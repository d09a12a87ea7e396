// The walk that accepts fragments: the file's facts, ties, the candidate group and the chooser.
#include "analysis/chain_analysis.h"

#include <gtest/gtest.h>

#include "analysis_world.h"

namespace mdf {
namespace {

using test::AnalysisWorld;
using test::ownedPage;
using test::PageBuilder;
using test::pfsPageMarking;

constexpr std::int32_t kOwner = 4242;

// Pages 0..count-1 of a file: header, PFS marking 2..count-1 allocated, an IAM page at 2 that
// gives every page from 8 on to kOwner, and data pages after it.
PageBuilder filePage(std::int32_t p, std::int32_t count) {
    if (p == 0) return PageBuilder::fileHeaderPage(1, count);
    if (p == 1) {
        std::vector<std::pair<std::int32_t, std::uint8_t>> bytes{{0, 0x44}, {1, 0x44}, {2, 0x70}};
        for (std::int32_t q = 3; q < count; ++q)
            bytes.push_back({q, 0x40});
        return pfsPageMarking(1, bytes);
    }
    if (p == 2) {
        std::vector<std::int32_t> extents;
        for (std::int32_t e = 8; e < count; e += 8)
            extents.push_back(e);
        return PageBuilder::iamPageWith(2, kOwner, 0, {3, 4, 5, 6, 7}, extents);
    }
    PageBuilder b = ownedPage(p, kOwner);
    if (p == 32) b.addFileNameRecord("Sales", "D:\\data\\Sales.mdf");
    return b;
}

std::vector<PageBuilder> fileRun(std::int32_t from, std::int32_t to, std::int32_t count,
                                 std::int32_t owner = kOwner) {
    std::vector<PageBuilder> pages;
    for (std::int32_t p = from; p < to; ++p)
        pages.push_back(owner == kOwner ? filePage(p, count) : ownedPage(p, owner));
    return pages;
}

AnalysedFile fileAt(AnalysisWorld& w, std::int32_t r) {
    return {w.record(r).fsec, w.record(r).sizeKB};
}

// Answers from a script: each question takes the next answer (a group row, or nothing to cancel).
class ScriptedChooser : public NextFragmentChooser {
  public:
    explicit ScriptedChooser(std::vector<std::optional<std::size_t>> answers)
        : answers_(std::move(answers)) {}
    std::optional<std::size_t> chooseNextFragment(const std::vector<std::size_t>& group,
                                                  std::int32_t) override {
        groups.push_back(group);
        auto answer = answers_.at(groups.size() - 1);
        return answer;
    }
    std::vector<std::vector<std::size_t>> groups;

  private:
    std::vector<std::optional<std::size_t>> answers_;
};

TEST(ChainAnalysis, AcceptsMatchingFragmentsInPageOrderAndRejectsStaleCopies) {
    AnalysisWorld w;
    const std::int32_t first = w.fragment(1000, fileRun(0, 40, 100));
    const std::int32_t stale = w.fragment(5000, fileRun(40, 60, 100, 777));
    const std::int32_t second = w.fragment(9000, fileRun(40, 70, 100));
    const std::int32_t third = w.fragment(20000, fileRun(70, 100, 100));
    AnalysisContext ctx = w.context();
    ASSERT_TRUE(analyseChain(ctx, fileAt(w, first)));
    EXPECT_EQ(w.results.expectedPageCount, 100);
    EXPECT_EQ(w.results.lostFileName, "D:\\data\\Sales.mdf");
    EXPECT_EQ(w.results.combinationMarks, (std::vector<std::int32_t>{1, 0, 1, 1}));
    EXPECT_EQ(w.results.recordedFragments, (std::vector<std::int32_t>{first, second, third}));
    EXPECT_EQ(w.reporter.lines(Memo::Analysis),
              (std::vector<std::string>{"找到碎片号" + std::to_string(second + 1),
                                        "找到碎片号" + std::to_string(third + 1),
                                        "分析已正常结束,请组合前进行二次查找"}))
        << "numbered as the list's rows, from 1";
    EXPECT_EQ(testCandidate(ctx, 1), Fit::Contradicts) << "the stale copy";
    (void)stale;
}

TEST(ChainAnalysis, ShortFirstFragmentsAreNamelessAndRecordedByTheirPfsPage) {
    for (std::int32_t length : {2, 32, 33}) {
        AnalysisWorld w;
        const std::int32_t first = w.fragment(1000, fileRun(0, length, 100));
        AnalysisContext ctx = w.context();
        ASSERT_TRUE(analyseChain(ctx, fileAt(w, first)));
        EXPECT_EQ(w.results.lostFileName, length <= 32 ? "c:\\noname.mdf" : "D:\\data\\Sales.mdf")
            << length;
        EXPECT_EQ(w.results.firstRecordedWithPfsPassOnly, length <= 2);
        // The full pass reads the IAM page at 2 and so knows who owns page 8.
        EXPECT_EQ(w.results.pageMap.get(8).ownerId, length > 2 ? kOwner : 0) << length;
    }
    // A page 32 that names nothing: the file is still analysed, under the name kept for that.
    AnalysisWorld w;
    std::vector<PageBuilder> run = fileRun(0, 40, 100);
    run[32] = ownedPage(32, kOwner);
    const std::int32_t first = w.fragment(1000, run);
    AnalysisContext ctx = w.context();
    ASSERT_TRUE(analyseChain(ctx, fileAt(w, first)));
    EXPECT_EQ(w.results.lostFileName, "c:\\noname.mdf");
}

TEST(ChainAnalysis, AFragmentRunningPastTheFileIsNeverAccepted) {
    AnalysisWorld w;
    const std::int32_t first = w.fragment(1000, fileRun(0, 40, 60));
    w.fragment(9000, fileRun(40, 61, 60));  // one page more than the file has
    AnalysisContext ctx = w.context();
    analyseChain(ctx, fileAt(w, first));
    EXPECT_EQ(w.results.combinationMarks, (std::vector<std::int32_t>{1, 0}));
    EXPECT_EQ(testCandidate(ctx, 1), Fit::Contradicts);
}

TEST(ChainAnalysis, TiesGoToTheFragmentNearestTheLastOneChosen) {
    AnalysisWorld w;
    const std::int32_t first = w.fragment(100000, fileRun(0, 40, 100));
    const std::int32_t far = w.fragment(300000, fileRun(40, 60, 100));
    const std::int32_t near = w.fragment(110000, fileRun(40, 60, 100));
    const std::int32_t later =
        w.fragment(100640, fileRun(48, 60, 100));  // begins later: never picked
    AnalysisContext ctx = w.context();
    analyseChain(ctx, fileAt(w, first));
    EXPECT_EQ(w.results.combinationMarks[static_cast<std::size_t>(near)], 1);
    EXPECT_EQ(w.results.combinationMarks[static_cast<std::size_t>(far)], 0);
    EXPECT_EQ(w.results.combinationMarks[static_cast<std::size_t>(later)], 0);

    // At equal distance the earlier one in the index wins.
    AnalysisWorld even;
    const std::int32_t start = even.fragment(100000, fileRun(0, 40, 100));
    const std::int32_t before = even.fragment(90000, fileRun(40, 60, 100));
    const std::int32_t after = even.fragment(110000, fileRun(40, 60, 100));
    AnalysisContext evenCtx = even.context();
    analyseChain(evenCtx, fileAt(even, start));
    EXPECT_EQ(even.results.combinationMarks[static_cast<std::size_t>(before)], 1);
    EXPECT_EQ(even.results.combinationMarks[static_cast<std::size_t>(after)], 0);
}

TEST(ChainAnalysis, OnlyFragmentsFromTheExpectedPageOnAreEligible) {
    AnalysisWorld w;
    const std::int32_t first = w.fragment(1000, fileRun(0, 500, 700));
    const std::int32_t overlapping = w.fragment(50000, fileRun(499, 520, 700));
    const std::int32_t adjacent = w.fragment(60000, fileRun(500, 520, 700));
    const std::int32_t afterGap = w.fragment(70000, fileRun(620, 640, 700));
    AnalysisContext ctx = w.context();
    analyseChain(ctx, fileAt(w, first));
    EXPECT_EQ(w.results.combinationMarks[static_cast<std::size_t>(overlapping)], 0);
    EXPECT_EQ(w.results.combinationMarks[static_cast<std::size_t>(adjacent)], 1);
    EXPECT_EQ(w.results.combinationMarks[static_cast<std::size_t>(afterGap)], 1);
}

TEST(ChainAnalysis, TheChooserSeesAtMostThirteenCandidatesAndMayCancel) {
    AnalysisWorld w;
    const std::int32_t first = w.fragment(1000, fileRun(0, 40, 100));
    for (int i = 0; i < 14; ++i)
        w.fragment(10000 + 1000 * i, fileRun(40 + i, 60, 100));
    ScriptedChooser chooser({std::size_t{2}, std::nullopt});
    AnalysisContext ctx = w.context(&chooser);
    EXPECT_TRUE(analyseChain(ctx, fileAt(w, first)));
    ASSERT_EQ(chooser.groups.size(), 1u) << "after row 2 (pages 42..60) no other fragment fits";
    EXPECT_EQ(chooser.groups[0].size(), 13u);
    EXPECT_EQ(
        w.results
            .combinationMarks[static_cast<std::size_t>(w.index[chooser.groups[0][2]].recordIndex)],
        1);

    AnalysisWorld cancel;
    const std::int32_t start = cancel.fragment(1000, fileRun(0, 40, 100));
    cancel.fragment(10000, fileRun(40, 60, 100));
    cancel.fragment(20000, fileRun(40, 60, 100));
    ScriptedChooser no({std::nullopt});
    AnalysisContext cancelCtx = cancel.context(&no);
    EXPECT_FALSE(analyseChain(cancelCtx, fileAt(cancel, start)));
    EXPECT_EQ(cancel.reporter.lines(Memo::Analysis), std::vector<std::string>{"user canceled"});
    EXPECT_EQ(cancel.results.combinationMarks, (std::vector<std::int32_t>{1, 0, 0}))
        << "marks so far stay";
}

TEST(ChainAnalysis, ReadersThatFailEndTheRunWithTheirMessage) {
    AnalysisWorld w;
    PageBuilder noCount = PageBuilder::fileHeaderPage(1, 100);
    noCount.set32(96 + PageBuilder::kPageCountOffset + 4, 0);
    std::vector<PageBuilder> pages = fileRun(0, 40, 100);
    pages[0] = noCount;
    const std::int32_t first = w.fragment(1000, pages);
    AnalysisContext ctx = w.context();
    EXPECT_FALSE(analyseChain(ctx, fileAt(w, first)));
    EXPECT_EQ(w.reporter.messages(), std::vector<std::string>{"message: get fileinfo1 error"});

    AnalysisWorld gone;
    gone.fragments.append(composeFragment(1, 40, (1 << 20) - 8, 0, " "));
    AnalysisContext goneCtx = gone.context();
    EXPECT_FALSE(analyseChain(goneCtx, {(1 << 20) - 8, 320}));
    EXPECT_EQ(gone.reporter.messages(), std::vector<std::string>{"message: read disk error"});
}

}  // namespace
}  // namespace mdf
