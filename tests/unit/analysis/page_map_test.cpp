// The page ownership map and its three passes, page by page.
#include <gtest/gtest.h>

#include "analysis/page_map_passes.h"
#include "analysis_world.h"

namespace mdf {
namespace {

using test::AnalysisWorld;
using test::ownedPage;
using test::PageBuilder;
using test::pfsPageMarking;

TEST(PageMap, ResetOnlyTouchesTheCountAndDamagedCountsCostNothing) {
    PageMap map;
    map.at(10)->ownerId = 5;
    map.at(70000)->ownerId = 6;
    map.reset(20);
    EXPECT_EQ(map.get(10).allocState, 0xFF);
    EXPECT_EQ(map.get(10).ownerId, 0);
    EXPECT_EQ(map.get(70000).ownerId, 6) << "entries from the count on keep what they had";
    EXPECT_EQ(map.get(30).allocState, 0) << "past the count an entry keeps its start-up zeros";
    map.reset(40);
    EXPECT_EQ(map.get(30).allocState, 0xFF);

    PageMap huge;
    huge.reset(std::int64_t{1} << 31);
    EXPECT_EQ(huge.chunksInUse(), 0u);
    EXPECT_EQ(huge.get(2'000'000'000).allocState, 0xFF);
    EXPECT_EQ(huge.at(-1), nullptr);
    EXPECT_EQ(huge.at(std::int64_t{1} << 31), nullptr);
    huge.at(1'999'999'999)->allocState = 1;
    EXPECT_EQ(huge.chunksInUse(), 1u);
}

TEST(PageMapPasses, PfsPagesCoverTheirOwnRange) {
    AnalysisWorld w;
    w.results.pageMap.reset(20000);
    PageBuilder first = pfsPageMarking(1, {{0, 0x44}, {8087, 0x40}});
    PageBuilder second = pfsPageMarking(8088, {{8088, 0x44}, {16175, 0x70}, {9000, 0x00}});
    const std::int32_t a = w.fragment(1000, {first});
    const std::int32_t b = w.fragment(3000, {second});
    // A first fragment of one page: the PFS-only pass.
    PageMapPass pass = w.pass();
    EXPECT_EQ(recordPfsPages(pass, 1, 1, w.record(a).fsec), PassOutcome::Done);
    EXPECT_EQ(w.results.pageMap.get(0).allocState, 1);
    EXPECT_EQ(w.results.pageMap.get(8087).allocState, 1);
    EXPECT_EQ(w.results.pageMap.get(100).allocState, 0);
    EXPECT_EQ(w.results.pageMap.get(8088).allocState, 0xFF);
    EXPECT_EQ(w.results.pageMap.get(1).ownerId, 99);

    EXPECT_EQ(w.recordFull(b), PassOutcome::Done);
    EXPECT_EQ(w.results.pageMap.get(8088).allocState, 1);
    EXPECT_EQ(w.results.pageMap.get(16175).allocState, 1);
    EXPECT_EQ(w.results.pageMap.get(16175).kind, 10);
    EXPECT_EQ(w.results.pageMap.get(9000).allocState, 0);
}

TEST(PageMapPasses, SmallClustersDistrustTheSecondHalfOfAFragmentsLastPfsPage) {
    for (bool slotIntact : {true, false}) {
        AnalysisWorld w;
        w.sectorsPerCluster = 8;
        w.results.pageMap.reset(9000);
        PageBuilder pfs = pfsPageMarking(1, {{3, 0x40}, {5000, 0x40}});
        if (!slotIntact) pfs.set16(8190, 0x0000);
        const std::int32_t r = w.fragment(1000, {pfs});
        PageMapPass pass = w.pass();
        recordPfsPages(pass, 1, 1, w.record(r).fsec);
        EXPECT_EQ(w.results.pageMap.get(3).allocState, 1);
        // Byte 3995 is the last PFS byte in the first half; 5000 lies in the second half.
        EXPECT_EQ(w.results.pageMap.get(5000).allocState, slotIntact ? 1 : 0xFF) << slotIntact;
    }
}

TEST(PageMapPasses, AnUnverifiedLastIamPageCountsOnlyWithBigClusters) {
    for (std::uint16_t spc : {std::uint16_t{8}, std::uint16_t{16}}) {
        AnalysisWorld w;
        w.sectorsPerCluster = spc;
        w.results.pageMap.reset(200);
        PageBuilder pfs = pfsPageMarking(1, {{0, 0x44}, {1, 0x44}, {2, 0x70}, {100, 0x40}});
        PageBuilder iam = PageBuilder::iamPageWith(2, 7777, 0, {100}, {});
        iam.protectWithChecksum().set8(5000, 0xEE);  // the second half does not belong to it
        const std::int32_t r = w.fragment(1000, {PageBuilder::fileHeaderPage(1, 200), pfs, iam});
        w.recordFull(r);
        EXPECT_EQ(w.results.pageMap.get(100).ownerId, spc < 16 ? 0 : 7777) << spc;
    }
}

// A map that knows pages 0..199: 10..30 allocated, page 5 an IAM page.
AnalysisWorld& withAllocation(AnalysisWorld& w) {
    std::vector<std::pair<std::int32_t, std::uint8_t>> bytes{{0, 0x44}, {1, 0x44}, {5, 0x70}};
    for (std::int32_t p = 10; p <= 30; ++p)
        bytes.push_back({p, 0x40});
    w.results.pageMap.reset(200);
    const std::int32_t r = w.fragment(100, {pfsPageMarking(1, bytes)});
    PageMapPass pass = w.pass();
    recordPfsPages(pass, 1, 1, w.record(r).fsec);
    return w;
}

TEST(PageMapPasses, PageLinksLendOwnersOnlyToAllocatedPages) {
    AnalysisWorld w;
    withAllocation(w);
    // Previous page 40 is not allocated: nothing is recorded, not even through the next link.
    const std::int32_t a = w.fragment(2000, {ownedPage(12, 500, 40, 13)});
    w.recordFull(a);
    EXPECT_EQ(w.results.pageMap.get(13).ownerId, 0);
    // Next page 41 is not allocated: the previous link still counts.
    const std::int32_t b = w.fragment(3000, {ownedPage(15, 600, 14, 41)});
    w.recordFull(b);
    EXPECT_EQ(w.results.pageMap.get(14).ownerId, 600);
    EXPECT_EQ(w.results.pageMap.get(14).ownerSource, 1);
    // Another page links to 14 with another owner: a conflict, told and not applied.
    const std::int32_t c = w.fragment(4000, {ownedPage(16, 700, 14, 0)});
    w.recordFull(c);
    EXPECT_EQ(w.results.pageMap.get(14).ownerId, 600);
    EXPECT_EQ(w.reporter.lines(Memo::Analysis), std::vector<std::string>{"errc"});
}

TEST(PageMapPasses, IamClaimsOverrideProvisionalOwnersAndReportFirmOnes) {
    AnalysisWorld w;
    withAllocation(w);
    w.fragment(2000, {ownedPage(15, 600, 14, 0)});  // page 14: provisionally 600
    w.recordFull(1);
    w.results.pageMap.at(20)->ownerId = 99;
    w.results.pageMap.at(20)->ownerSource = 0;
    w.results.pageMap.at(21)->ownerId = 300;
    w.results.pageMap.at(21)->ownerSource = 0;
    const std::int32_t iam =
        w.fragment(3000, {PageBuilder::iamPageWith(5, 800, 0, {14, 20, 21, 0}, {24})});
    w.recordFull(iam);
    EXPECT_EQ(w.results.pageMap.get(14).ownerId, 800);
    EXPECT_EQ(w.results.pageMap.get(14).ownerSource, 0);
    EXPECT_EQ(w.results.pageMap.get(20).ownerId, 99) << "99 is never replaced";
    EXPECT_EQ(w.results.pageMap.get(21).ownerId, 300);
    EXPECT_EQ(w.results.pageMap.get(5).ownerId, 800) << "the IAM page owns itself";
    for (std::int32_t p = 24; p < 32; ++p)
        EXPECT_EQ(w.results.pageMap.get(p).ownerId, 800) << p;
    EXPECT_EQ(w.reporter.lines(Memo::Analysis), std::vector<std::string>{"erra"});

    // An extent claim on a firmly owned page is "errb".
    w.results.pageMap.at(40)->ownerId = 5;
    w.results.pageMap.at(40)->ownerSource = 0;
    const std::int32_t other = w.fragment(4000, {PageBuilder::iamPageWith(5, 801, 0, {}, {40})});
    w.recordFull(other);
    EXPECT_EQ(w.reporter.lines(Memo::Analysis).back(), "errb");
}

TEST(PageMapPasses, MatchingCountsAgreementUpToTheFirstContradiction) {
    AnalysisWorld w;
    withAllocation(w);
    w.results.pageMap.at(10)->ownerId = 500;
    w.results.pageMap.at(10)->ownerSource = 0;
    w.results.pageMap.at(11)->ownerId = 500;
    w.results.pageMap.at(11)->ownerSource = 1;
    // Pages 40..42 are free and page 1 belongs to 99: no evidence either way.
    EXPECT_EQ(
        w.match(w.fragment(1000, {ownedPage(40, 1), ownedPage(41, 1), ownedPage(42, 1)})).matches,
        0);
    EXPECT_EQ(w.match(w.fragment(2000, {ownedPage(1, 99)})).mismatches, 0);
    // An allocated IAM entry with no owner yet: an IAM page there matches, a data page contradicts.
    MatchCounts iamThere = w.match(w.fragment(3000, {PageBuilder::iamPageWith(5, 9, 0, {}, {})}));
    EXPECT_EQ(iamThere.matches, 1);
    EXPECT_EQ(w.match(w.fragment(4000, {ownedPage(5, 9)})).mismatches, 1);
    // Page 11's owner is only provisional: another owner there counts neither way.
    MatchCounts m =
        w.match(w.fragment(5000, {ownedPage(10, 500), ownedPage(11, 501), ownedPage(12, 7)}));
    EXPECT_EQ(m.matches, 1);
    EXPECT_EQ(m.mismatches, 0);
    MatchCounts stale = w.match(w.fragment(6000, {ownedPage(10, 501), ownedPage(11, 500)}));
    EXPECT_EQ(stale.mismatches, 1);
    EXPECT_EQ(stale.matches, 0) << "matching stops at the first contradiction";
}

TEST(PageMapPasses, AReadFailureStopsThePassAndIsTold) {
    AnalysisWorld w;
    w.results.pageMap.reset(100);
    w.fragments.append(composeFragment(1, 2, (1 << 20) - 20, 10, " "));  // runs off the image
    PageMapPass pass = w.pass();
    EXPECT_EQ(recordFragmentPages(pass, 2, 10, (1 << 20) - 20), PassOutcome::ReadFailed);
    EXPECT_EQ(w.reporter.messages(), std::vector<std::string>{"message: read disk error"});
}

}  // namespace
}  // namespace mdf
