// The search for the later sectors of pages split across clusters: found by checksum among many
// clusters, taken by checksum or torn bits only when one place fits, never for unprotected pages,
// never from a claimed cluster.
#include "analysis/split_page_search.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "analysis/scattered_reads.h"
#include "scan/page_protection.h"
#include "scan/sector_sums.h"
#include "source/byte_order.h"
#include "source/ddrescue_map.h"
#include "source/sector_source.h"
#include "support/holes.h"
#include "support/pubs_file.h"
#include "testworld/fidelity_world.h"
#include "testworld/sector_image.h"
#include "testworld/temp_dir.h"

namespace mdf {
namespace {

using test::Page;
using test::pubsPage;

struct SplitWorld {
    test::TempDir dir;
    test::SectorImage image{dir.file("disk.img"), 40000};
    SectorSource source;
    test::Random rng{7};
    SplitWorld() {
        source.select(SourceKind::ImageFile, image.path(), image.sectors());
        source.setReadLimit(image.sectors());
        // Junk clusters everywhere: every one a candidate.
        std::vector<std::uint8_t> junk(512 * 20000);
        for (auto& b : junk)
            b = rng.byte();
        image.put(10000, junk);
    }
    // The page's first `head` sectors at `at`, junk after; its tail at `tailAt`.
    BrokenPage split(const Page& page, std::int64_t at, int head, std::int64_t tailAt) {
        image.put(at,
                  std::span<const std::uint8_t>(page.data(), 512 * static_cast<std::size_t>(head)));
        image.put(tailAt, std::span<const std::uint8_t>(page.data() + 512 * head,
                                                        512 * static_cast<std::size_t>(16 - head)));
        BrokenPage b;
        b.pageId = static_cast<std::int32_t>(loadU32(&page[32]));
        b.firstSector = at;
        source.readWholeSectors(16, b.asRead.data(), at);
        return b;
    }
    SplitSearchSettings settings(int cs) {
        SplitSearchSettings s;
        s.clusterSectors = cs;
        s.endSector = image.sectors();
        return s;
    }
};

TEST(SplitPageSearch, AChecksumPageIsFoundAmongThousandsOfJunkClusters) {
    SplitWorld w;
    const Page p = pubsPage(120);
    ASSERT_EQ(pageProtection(p), PageProtection::Checksum);
    BrokenPage b = w.split(p, 1000, 8, 24008);
    ASSERT_FALSE(verifyPage(b.asRead));
    SplitSearchSettings settings = w.settings(8);
    std::vector<int> told;  // the pass tells how far it has come, from 0, never going back
    settings.progress = [&](int percent) { told.push_back(percent); };
    SplitSearchResult r = searchSplitPages(w.source, {b}, settings);
    ASSERT_EQ(r.restored.count(b.pageId), 1u);
    EXPECT_EQ(r.restored[b.pageId], p);
    EXPECT_GT(r.candidateClusters, 2000);
    ASSERT_FALSE(told.empty());
    EXPECT_EQ(told.front(), 0);
    EXPECT_TRUE(std::is_sorted(told.begin(), told.end()));
    EXPECT_LT(told.back(), 100);
    // With 512-byte clusters the split point may be any sector.
    SplitWorld w1;
    BrokenPage c = w1.split(p, 1000, 5, 23001);
    SplitSearchResult r1 = searchSplitPages(w1.source, {c}, w1.settings(1));
    ASSERT_EQ(r1.restored.count(c.pageId), 1u);
    EXPECT_EQ(r1.restored[c.pageId], p);
}

TEST(SplitPageSearch, AClaimedClusterIsNeverTaken) {
    SplitWorld w;
    const Page p = pubsPage(120);
    BrokenPage b = w.split(p, 1000, 8, 24008);
    SplitSearchSettings s = w.settings(8);
    s.claimed.push_back({24000, 24016});
    SplitSearchResult r = searchSplitPages(w.source, {b}, s);
    EXPECT_TRUE(r.restored.empty());
    EXPECT_EQ(r.unresolved, std::vector<std::int32_t>{b.pageId});
}

// The page checksum XORs each sector's words before it rotates the sector's sum: two different
// words of one sector swapped give another tail that verifies as well. Two forms verify, so
// neither is taken, unless one of them continues into the run that goes on after the page.
TEST(SplitPageSearch, OfTwoTailsThatVerifyNoneIsTakenUnlessItContinuesTheRun) {
    const Page p = pubsPage(120);
    Page other = p;
    const std::size_t sector = 512 * 12;
    std::size_t w = sector + 4;
    while (w + 8 < sector + 512 && loadU32(&other[w]) == loadU32(&other[sector]))
        w += 4;
    ASSERT_LT(w + 8, sector + 512) << "a sector whose words all agree";
    for (std::size_t i = 0; i < 4; ++i)
        std::swap(other[sector + i], other[w + i]);
    ASSERT_NE(other, p);
    ASSERT_TRUE(verifyPage(other));

    SplitWorld w2;
    BrokenPage b = w2.split(p, 1000, 8, 24008);
    w2.image.put(30000, std::span<const std::uint8_t>(other.data() + 512 * 8, 512 * 8));
    SplitSearchResult two = searchSplitPages(w2.source, {b}, w2.settings(8));
    EXPECT_TRUE(two.restored.empty());
    EXPECT_EQ(two.ambiguous, std::vector<std::int32_t>{b.pageId});

    b.nextRunSector = 24016;  // the true tail ends where the next run begins
    SplitSearchResult next = searchSplitPages(w2.source, {b}, w2.settings(8));
    ASSERT_EQ(next.restored.count(b.pageId), 1u);
    EXPECT_EQ(next.restored[b.pageId], p);
}

// pubs page 120 with torn bits instead of its checksum.
Page tornPage() {
    Page p = pubsPage(120);
    p[5] = static_cast<std::uint8_t>((p[5] & 0xF0) | 1);
    storeU32(&p[60], 2);
    test::protectAgain(p);
    return p;
}

TEST(SplitPageSearch, TornBitsAloneAreTakenOnlyWhenOnePlaceFits) {
    SplitWorld w;
    const Page p = tornPage();
    ASSERT_TRUE(verifyPage(p));
    BrokenPage b = w.split(p, 1000, 8, 24008);
    SplitSearchResult unique = searchSplitPages(w.source, {b}, w.settings(8));
    ASSERT_EQ(unique.restored.count(b.pageId), 1u) << "random junk rarely carries the pattern";
    EXPECT_EQ(unique.restored[b.pageId], p);

    // A second cluster with the same torn pattern: two places fit, neither is taken.
    Page decoy = p;
    for (std::size_t i = 512 * 8; i < 8192; ++i)
        if (i % 512 != 511) decoy[i] = static_cast<std::uint8_t>(decoy[i] ^ 0x33);
    w.image.put(30000, std::span<const std::uint8_t>(decoy.data() + 512 * 8, 512 * 8));
    SplitSearchResult two = searchSplitPages(w.source, {b}, w.settings(8));
    EXPECT_TRUE(two.restored.empty());
    EXPECT_EQ(two.ambiguous, std::vector<std::int32_t>{b.pageId});
}

TEST(SplitPageSearch, AnUnprotectedPageIsNeverPiecedTogether) {
    SplitWorld w;
    Page p = pubsPage(120);
    p[5] &= 0xF0;
    BrokenPage b = w.split(p, 1000, 8, 24008);
    SplitSearchResult r = searchSplitPages(w.source, {b}, w.settings(8));
    EXPECT_TRUE(r.restored.empty());
    EXPECT_EQ(r.unresolved, std::vector<std::int32_t>{b.pageId});
}

// What the scan gathered of every sector it read stands in for a second read of the source: with
// every sector outside the pages' own unreadable, the search still finds a checksum page and a
// torn-bit page by the sums alone, and reads only the tails it takes. Where the sums have a hole,
// the source is read there as before.
TEST(SplitPageSearch, TheScansSectorSumsSpareASecondReadOfTheSource) {
    SplitWorld w;
    const Page sum = pubsPage(130), torn = tornPage();
    ASSERT_EQ(pageProtection(sum), PageProtection::Checksum);
    const std::vector<BrokenPage> broken = {w.split(sum, 1000, 8, 24008),
                                            w.split(torn, 2000, 8, 26008)};
    auto gather = [&](SectorSums& sums, std::int64_t from, std::int64_t to) {
        std::vector<std::uint8_t> window(512 * 12288);
        for (std::int64_t at = from; at < to; at += 12288) {
            const auto count = static_cast<std::uint32_t>(std::min<std::int64_t>(12288, to - at));
            ASSERT_TRUE(w.source.readWholeSectors(count, window.data(), at));
            sums.sectorsRead(at, std::span(window.data(), std::size_t{512} * count));
        }
    };
    SectorSums whole(w.dir.file("whole.sums"), 0, "scan-1");  // kept: its records after a header
    ASSERT_TRUE(whole.ok() && whole.kept());
    gather(whole, 0, w.image.sectors());
    SectorSums holed(w.dir.file("holed.sums"));
    gather(holed, 0, 20000);

    // The source as a failing disk would give it: the heads' area and the two tails only.
    RescueMap map;
    map.rescued = {{0, 10000 * 512}, {24008 * 512, 24016 * 512}, {26008 * 512, 26016 * 512}};
    map.listedEnd = static_cast<std::uint64_t>(w.image.sectors()) * 512;
    w.source.setOpener(openerWithRescueMap(openReadOnly, map));
    SplitSearchSettings settings = w.settings(8);
    settings.sums = &whole;
    SplitSearchResult r = searchSplitPages(w.source, broken, settings);
    ASSERT_EQ(r.restored.size(), 2u);
    EXPECT_EQ(r.restored[130], sum);
    EXPECT_EQ(r.restored[120], torn);
    EXPECT_EQ(r.readChunks, 0);
    settings.sums = nullptr;
    EXPECT_TRUE(searchSplitPages(w.source, broken, settings).restored.empty());

    // Sums that miss the tails' stretch: that stretch is read again from the source.
    w.source.setOpener(openReadOnly);
    settings.sums = &holed;
    r = searchSplitPages(w.source, broken, settings);
    EXPECT_EQ(r.restored.size(), 2u);
    EXPECT_GT(r.readChunks, 0);
    EXPECT_GT(r.summedChunks, 0);

    // Sums past their bound (a temporary folder in memory) are dropped whole: the source is read.
    SectorSums bounded(w.dir.file("bounded.sums"), 64 * 1024);
    gather(bounded, 0, w.image.sectors());
    EXPECT_FALSE(bounded.covers(0, 1));
    settings.sums = &bounded;
    r = searchSplitPages(w.source, broken, settings);
    EXPECT_EQ(r.restored.size(), 2u);
    EXPECT_EQ(r.summedChunks, 0);
}

// The tails read ahead of their weighing are what the source gives when each is read in turn: the
// same bytes and the same failures, whether held or not. A stretch that failed is not tried
// again on a failing disk; a shorter one at the same place still may be.
TEST(ScatteredReads, GiveWhatTheSourceGivesAndTryAFailedStretchOnce) {
    SplitWorld w;
    RescueMap map;
    map.rescued = {{0, 20000 * 512}, {20008 * 512, 40000 * 512}};  // 20000..20007 unreadable
    map.listedEnd = static_cast<std::uint64_t>(w.image.sectors()) * 512;
    w.source.setOpener(openerWithRescueMap(openReadOnly, map));
    const std::vector<ScatteredReads::Stretch> asked = {
        {19990, 8}, {19995, 15}, {20010, 4}, {19995, 3}, {30000, 15}, {20004, 2}, {39995, 10}};
    // Room for all of them, and for the first only (the rest are read when asked for).
    const std::size_t roomy = std::size_t{1} << 20, cramped = std::size_t{20} * 512;
    for (const std::size_t mostBytes : {roomy, cramped}) {
        ScatteredReads reads(w.source, asked, mostBytes);
        std::vector<ScatteredReads::Stretch> all = asked;
        all.insert(all.end(), {{25000, 8}, {19995, 5}, {39990, 10}});
        for (const auto& [first, count] : all) {
            // Past the source's end nothing is written: the same fill shows it.
            std::vector<std::uint8_t> held(512 * count, 0xAA), direct(512 * count, 0xAA);
            const bool heldOk = reads.read(count, held.data(), first);
            ASSERT_EQ(heldOk, w.source.readSectors(count, direct.data(), first))
                << first << "+" << count << " with " << mostBytes;
            if (heldOk) {
                EXPECT_EQ(held, direct) << first << "+" << count;
            }
        }
        if (mostBytes == cramped) continue;
        std::vector<std::uint8_t> again(512 * 15);
        const std::uint64_t before = w.source.platformReads();
        EXPECT_FALSE(reads.read(15, again.data(), 19995));
        EXPECT_EQ(w.source.platformReads(), before);
    }
}

// A disk's empty windows are holes in the sums file, nameless or kept (its records after a
// header): read back over any stretch, across holes and data and past the file's end, the sums
// are those of the sectors themselves, and the next data is never placed past where it lies.
TEST(SectorSums, ReadBackAcrossHolesTheyAreTheSectorsOwn) {
    test::TempDir dir;
    std::vector<std::uint8_t> disk(std::size_t{512} * 40000, 0);
    test::Random rng{3};
    for (std::size_t i = 512 * 12500; i < 512 * 12600; ++i)
        disk[i] = rng.byte();
    for (std::size_t i = 512 * 30000; i < 512 * 30010; ++i)
        disk[i] = rng.byte();
    const bool holes = test::keepsHoles(dir.path().string());
    for (const std::string keptFor : {"", "scan-1"}) {
        SectorSums sums(dir.file("sums" + keptFor), 0, keptFor);
        ASSERT_TRUE(sums.ok());
        for (std::size_t at = 0; at < 40000; at += 12288) {
            const std::size_t count = std::min<std::size_t>(12288, 40000 - at);
            sums.sectorsRead(static_cast<std::int64_t>(at),
                             std::span(&disk[at * 512], count * 512));
        }
        const std::pair<std::int64_t, std::int64_t> stretches[] = {
            {0, 8208}, {8192, 8208}, {12000, 600}, {20000, 8208}, {36000, 4000}, {39990, 10}};
        for (const auto& [first, count] : stretches) {
            std::vector<std::uint32_t> xors(static_cast<std::size_t>(count), 7);
            std::vector<std::uint8_t> lows(xors.size(), 7), nonZero(xors.size(), 7);
            ASSERT_TRUE(sums.read(first, count, xors.data(), lows.data(), nonZero.data()));
            for (std::int64_t k = 0; k < count; ++k) {
                const auto own = SectorSums::of(&disk[static_cast<std::size_t>(first + k) * 512]);
                const auto i = static_cast<std::size_t>(k);
                ASSERT_TRUE(xors[i] == own.wordsXor && lows[i] == own.low &&
                            (nonZero[i] != 0) == own.nonZero)
                    << keptFor << " sector " << first + k;
            }
        }
        // (A kept file's header makes its first 4 KiB data.)
        EXPECT_LE(sums.nextWritten(1000), 12500);
        if (holes) {
            EXPECT_GT(sums.nextWritten(1000), 8192) << "the empty first window is passed over";
        }
        EXPECT_EQ(sums.nextWritten(12550), 12550);
        EXPECT_EQ(sums.nextWritten(37000), INT64_MAX);  // past the file's end
    }
}

// Sums kept beside a scan are taken back only as the very file the scan's record names: not one
// made again for the same scan after the first was lost (its ranges would claim sectors the new
// file never held, read as zero), nor one of another scan. Made, the file takes the place of what
// was under its name: a link there to another file leaves that file as it was.
TEST(SectorSums, AKeptFileIsTakenBackOnlyAsTheFileItsRecordNames) {
    test::TempDir dir;
    const std::string path = dir.file("scan.info.sums"), other = dir.file("evidence.bin");
    std::vector<std::uint8_t> sector(512, 0x5a);
    SectorSums::Kept first;
    {
        SectorSums sums(path, 0, "scan-1");
        ASSERT_TRUE(sums.ok());
        sums.sectorsRead(100, sector);
        ASSERT_TRUE(sums.sync());
        first = {path, sums.fileId(), sums.coverage()};
    }
    ASSERT_EQ(first.covered, (SectorSums::Ranges{{100, 101}}));
    std::uint32_t x = 0;
    std::uint8_t low = 0, nonZero = 0;
    {
        const auto again = SectorSums::reopen(first, "scan-1");
        ASSERT_TRUE(again);
        ASSERT_TRUE(again->read(100, 1, &x, &low, &nonZero));
        EXPECT_EQ(x, 0u);  // 128 equal words
        EXPECT_EQ(nonZero, 1);
    }
    EXPECT_FALSE(SectorSums::reopen(first, "scan-2")) << "another scan's";

    // The file lost and made again for the same scan, a link to another file in its place first.
    std::filesystem::remove(path);
    test::writeFile(other, std::vector<std::uint8_t>(1000, 7));
    std::filesystem::create_hard_link(other, path);
    EXPECT_FALSE(SectorSums::isKeptFile(path));
    SectorSums remade(path, 0, "scan-1");
    ASSERT_TRUE(remade.ok());
    EXPECT_EQ(test::readFile(other), std::vector<std::uint8_t>(1000, 7));
    EXPECT_FALSE(SectorSums::reopen(first, "scan-1")) << "the ranges are the lost file's";
    EXPECT_TRUE(SectorSums::reopen({path, remade.fileId(), {}}, "scan-1"));
    EXPECT_TRUE(SectorSums::isKeptFile(path));
}

}  // namespace
}  // namespace mdf
