// Which of several copies of the same pages continues the chain: intact before damaged, the
// copy the file head allows, current before older, then reach and distance.
#include "analysis/candidate_ranking.h"

#include <gtest/gtest.h>

#include "analysis/candidate_choice.h"
#include "analysis/file_names.h"
#include "analysis_world.h"
#include "support/pubs_file.h"
#include "testworld/fidelity_world.h"

namespace mdf {
namespace {

using test::AnalysisWorld;
using test::Page;
using test::PageBuilder;

FragmentEvidence evidence(std::int32_t begin, std::vector<LogSequence> lsns, int failing = 0) {
    FragmentEvidence e;
    e.beginPage = begin;
    e.pages = static_cast<std::int32_t>(lsns.size());
    e.failing = failing;
    e.verified = e.pages - failing;
    e.pageLsns = lsns;
    for (const LogSequence& l : lsns) {
        if (l.isZero()) continue;
        if (!e.hasLsn) e.oldest = e.newest = l;
        e.hasLsn = true;
        e.oldest = std::min(e.oldest, l);
        e.newest = std::max(e.newest, l);
    }
    return e;
}

std::vector<std::size_t> all(const std::vector<RankedCandidate>& c) {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < c.size(); ++i)
        out.push_back(i);
    return out;
}

TEST(CandidateRanking, TheLogSequenceIsReadFromBytes40To49OfTheRealBootPage) {
    const auto pubs = test::pubsFile();
    // Worked out by hand from the file: bytes 40..49 of page 9 are 1b 00 00 00 3b 00 00 00 01 00.
    EXPECT_EQ(pageLogSequence(pubs[9]), (LogSequence{27, 59, 1}));
    EXPECT_EQ(pageLogSequence(pubs[9]).text(), "27:59:1");
    EXPECT_EQ(pageLogSequence(pubs[1]), (LogSequence{26, 171, 15}));
}

TEST(CandidateRanking, ADamagedCopyNeverWinsHoweverNearOrLongOrNew) {
    std::vector<RankedCandidate> c = {
        {evidence(40, {{31, 5, 1}, {31, 6, 1}, {31, 7, 1}}), 43, 900, false},
        {evidence(40, {{39, 5, 1}, {39, 6, 1}, {39, 7, 1}, {39, 8, 1}}, 1), 44, 1, false}};
    compareSharedPages(c);
    EXPECT_EQ(bestCandidate(c, all(c), {}), 0u);
    EXPECT_EQ(bestCandidate(c, {1, 0}, {}), 0u) << "whatever the order";
    EXPECT_EQ(rankingReason(c[0], c[1], {}), Saying::PreferredIntact);
}

TEST(CandidateRanking, AnOlderCopyLosesOnAPageItSharesWithANewerOne) {
    // Same pages 40..42; page 41 changed later in the current copy. The older copy is nearer
    // and reaches further, and still loses.
    std::vector<RankedCandidate> c = {
        {evidence(40, {{31, 5, 1}, {33, 2, 1}, {31, 7, 1}, {30, 1, 1}}), 44, 1, false},
        {evidence(40, {{31, 5, 1}, {34, 9, 1}, {31, 7, 1}}), 43, 500, false}};
    compareSharedPages(c);
    EXPECT_TRUE(c[0].olderOnSharedPage);
    EXPECT_FALSE(c[1].olderOnSharedPage);
    EXPECT_EQ(bestCandidate(c, all(c), {}), 1u);
}

TEST(CandidateRanking, AnOlderCopyIsFoundOutByALaterMemberOfTheGroup) {
    // The old copy 40..46 against the current 40..43 shares only identical pages; the current
    // fragment 43..50 shows its page 44 to be older. Only the first two begin at 40.
    std::vector<RankedCandidate> c = {
        {evidence(40, {{31, 1, 1}, {31, 2, 1}, {31, 3, 1}, {31, 4, 1}, {20, 1, 1}, {31, 6, 1}}), 46,
         1, false},
        {evidence(40, {{31, 1, 1}, {31, 2, 1}, {31, 3, 1}}), 43, 9, false},
        {evidence(43, {{31, 4, 1}, {35, 1, 1}, {31, 6, 1}}), 46, 20, false}};
    compareSharedPages(c);
    EXPECT_EQ(bestCandidate(c, {0, 1}, {}), 1u);
}

TEST(CandidateRanking, ACopyNewerThanTheFileHeadAllowsLoses) {
    HeadLogSequence head;
    head.take(evidence(0, {{30, 9, 1}, {31, 2, 2}}));
    ASSERT_TRUE(head.known);
    std::vector<RankedCandidate> c = {{evidence(40, {{44, 1, 1}}), 41, 1, false},
                                      {evidence(40, {{31, 8, 1}}), 41, 50, false}};
    compareSharedPages(c);
    EXPECT_FALSE(head.allows(c[0].evidence));
    EXPECT_TRUE(head.allows(c[1].evidence));
    EXPECT_EQ(bestCandidate(c, all(c), head), 1u);
}

TEST(CandidateRanking, IdenticalCopiesGoToTheLongerThenTheNearest) {
    std::vector<RankedCandidate> c = {
        {evidence(40, {{31, 1, 1}, {31, 2, 1}}), 42, 1, false},
        {evidence(40, {{31, 1, 1}, {31, 2, 1}, {31, 3, 1}}), 43, 70, false},
        {evidence(40, {{31, 1, 1}, {31, 2, 1}, {31, 3, 1}}), 43, 60, false}};
    compareSharedPages(c);
    EXPECT_EQ(bestCandidate(c, all(c), {}), 2u);
    EXPECT_FALSE(rankingReason(c[2], c[1], {})) << "distance alone: nothing to tell";
}

// Pages of a small file with page checksums: header, PFS, an IAM page giving pages 8.. to one
// owner, data pages. The name page 32 holds the path given.
PageBuilder checkedPage(std::int32_t p, std::int32_t count, std::int32_t owner,
                        const std::string& path) {
    PageBuilder b;
    if (p == 0) {
        b = PageBuilder::fileHeaderPage(1, count);
    } else if (p == 1) {
        std::vector<std::pair<std::int32_t, std::uint8_t>> bytes{{0, 0x44}, {1, 0x44}, {2, 0x70}};
        for (std::int32_t q = 3; q < count; ++q)
            bytes.push_back({q, 0x40});
        b = test::pfsPageMarking(1, bytes);
    } else if (p == 2) {
        std::vector<std::int32_t> extents;
        for (std::int32_t e = 8; e < count; e += 8)
            extents.push_back(e);
        b = PageBuilder::iamPageWith(2, owner, 0, {3, 4, 5, 6, 7}, extents);
    } else {
        b = test::ownedPage(p, owner);
        if (p == 32) b.addFileNameRecord("Db", path);
    }
    b.setLogSequence(31, static_cast<std::uint32_t>(p) * 16 + 200, 1);
    return b.protectWithChecksum();
}

std::vector<PageBuilder> run(std::int32_t from, std::int32_t to, std::int32_t owner = 4242,
                             const std::string& path = "D:\\db\\First.mdf") {
    std::vector<PageBuilder> pages;
    for (std::int32_t p = from; p < to; ++p)
        pages.push_back(checkedPage(p, 80, owner, path));
    return pages;
}

TEST(CandidateRanking, TheChainTakesTheIntactCopyOverANearerDamagedOne) {
    AnalysisWorld w;
    const std::int32_t head = w.fragment(1000, run(0, 40));
    std::vector<PageBuilder> damaged = run(40, 80);
    for (PageBuilder& b : damaged)
        b.set8(5000, static_cast<std::uint8_t>(b.bytes()[5000] ^ 0x5A));
    const std::int32_t near = w.fragment(1700, damaged);
    const std::int32_t intact = w.fragment(90000, run(40, 80));
    AnalysisContext ctx = w.context();
    ASSERT_TRUE(analyseChain(ctx, {w.record(head).fsec, w.record(head).sizeKB}));
    EXPECT_EQ(w.results.recordedFragments, (std::vector<std::int32_t>{head, intact}));
    EXPECT_EQ(w.results.combinationMarks[static_cast<std::size_t>(near)], 0);
    bool told = false;
    for (const auto& line : w.reporter.lines(Memo::Analysis))
        told = told || line.find("fail verification") != std::string::npos;
    EXPECT_TRUE(told);
}

TEST(CandidateRanking, TheChainKeepsTheNearestWhenCopiesAreAlike) {
    AnalysisWorld w;
    const std::int32_t head = w.fragment(1000, run(0, 40));
    const std::int32_t far = w.fragment(90000, run(40, 80));
    const std::int32_t near = w.fragment(1700, run(40, 80));
    AnalysisContext ctx = w.context();
    ASSERT_TRUE(analyseChain(ctx, {w.record(head).fsec, w.record(head).sizeKB}));
    EXPECT_EQ(w.results.recordedFragments, (std::vector<std::int32_t>{head, near}));
    EXPECT_EQ(w.results.combinationMarks[static_cast<std::size_t>(far)], 0);
}

TEST(FileNames, AShortHeadIsNamedFromThePage32ItsOwnChainTakes) {
    AnalysisWorld w;
    const std::int32_t head = w.fragment(1000, run(0, 10));
    w.fragment(5000, run(10, 80));
    w.fragment(20000, run(10, 80, 5151, "E:\\other\\Second.mdf"));  // another file's pages
    auto name = resolveFileName(w.fragments, w.index, w.origin, 16, w.record(head).fsec,
                                w.record(head).sizeKB);
    ASSERT_TRUE(name.has_value());
    EXPECT_EQ(name->path, "D:\\db\\First.mdf");
    EXPECT_EQ(name->pageCount, 80);
    EXPECT_EQ(name->fromRecord, 1);
}

TEST(FileNames, NoPage32AnywhereGivesNoName) {
    AnalysisWorld w;
    const std::int32_t head = w.fragment(1000, run(0, 10));
    w.fragment(5000, run(40, 80));
    EXPECT_FALSE(resolveFileName(w.fragments, w.index, w.origin, 16, w.record(head).fsec,
                                 w.record(head).sizeKB)
                     .has_value());
}

}  // namespace
}  // namespace mdf
