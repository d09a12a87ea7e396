// How the analysis reads fragment pages: kept between passes, read in blocks and in sector
// order, and never giving the passes anything a page-by-page read would not have given them.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#include "analysis_world.h"
#include "session/recovery_session.h"
#include "support/fault_injection.h"
#include "testworld/random.h"
#include "testworld/test_world.h"

namespace mdf::test {
namespace {

constexpr std::size_t kPageBytes = 8192;

// A data page whose body is noise, so that a cache handing out bytes it should not is caught.
PageBuilder noisyDataPage(std::int32_t pageId, std::int32_t owner, std::uint64_t seed) {
    PageBuilder b = ownedPage(pageId, owner, pageId > 0 ? pageId - 1 : 0, pageId + 1);
    Random rng({seed, static_cast<std::uint64_t>(pageId)});
    for (std::size_t i = 96; i < kPageBytes - 4; ++i)
        b.set8(i, rng.byte());
    return b;
}

std::vector<PageBuilder> mixedRun(std::int32_t firstId, std::int32_t count) {
    std::vector<PageBuilder> pages;
    for (std::int32_t id = firstId; id < firstId + count; ++id) {
        if (id == 1)
            pages.push_back(pfsPageMarking(1, {{3, 0x40}, {4, 0x70}}));
        else if (id == 4)
            pages.push_back(PageBuilder::iamPage(4, 77));
        else
            pages.push_back(noisyDataPage(id, 77, 5));
    }
    return pages;
}

std::vector<std::uint8_t> concatenated(const std::vector<PageBuilder>& pages) {
    std::vector<std::uint8_t> out;
    for (const auto& p : pages)
        out.insert(out.end(), p.bytes().begin(), p.bytes().end());
    return out;
}

// Logs the offset of every platform read, to see the order in which a source is read.
class LoggingFile : public RandomAccessFile {
  public:
    LoggingFile(std::unique_ptr<RandomAccessFile> file, std::vector<std::uint64_t>& log)
        : file_(std::move(file)), log_(log) {}
    std::int64_t readAt(void* buffer, std::size_t size, std::uint64_t offset) override {
        log_.push_back(offset);
        return file_->readAt(buffer, size, offset);
    }

  private:
    std::unique_ptr<RandomAccessFile> file_;
    std::vector<std::uint64_t>& log_;
};

TEST(FragmentPageCache, KeepsPrefixesWithAllocationPagesWholeAndOnlyTheHeadsOfOthers) {
    const std::vector<PageBuilder> run = mixedRun(0, 6);
    const std::vector<std::uint8_t> bytes = concatenated(run);
    FragmentPageCache cache;
    EXPECT_FALSE(cache.append(900, 2, 2, bytes.data(), true)) << "not a prefix";
    ASSERT_TRUE(cache.append(900, 0, 3, bytes.data(), true));
    ASSERT_TRUE(cache.append(900, 3, 3, bytes.data() + 3 * kPageBytes, true));
    EXPECT_EQ(cache.loadedPages(900), 6);
    EXPECT_EQ(cache.loadedPages(901), 0);

    Page page{};
    for (std::int32_t i = 0; i < 6; ++i) {
        page.fill(0xEE);
        ASSERT_TRUE(cache.copyPage(900, i, page)) << i;
        const std::uint8_t* original = bytes.data() + kPageBytes * static_cast<std::size_t>(i);
        if (i == 1 || i == 4) {
            EXPECT_EQ(std::memcmp(page.data(), original, kPageBytes), 0) << "PFS/IAM page " << i;
        } else {
            EXPECT_EQ(std::memcmp(page.data(), original, FragmentPageCache::kHeadBytes), 0) << i;
            EXPECT_TRUE(std::all_of(page.begin() + FragmentPageCache::kHeadBytes, page.end(),
                                    [](std::uint8_t b) { return b == 0; }))
                << "the body of page " << i << " is not kept";
        }
    }
    EXPECT_FALSE(cache.copyPage(900, 6, page));
    EXPECT_FALSE(cache.copyPage(900, -1, page));
}

TEST(FragmentPageCache, DropsTheLeastRecentlyUsedFragmentAtItsBudget) {
    const std::vector<std::uint8_t> bytes = concatenated(mixedRun(10, 4));
    FragmentPageCache probe;
    ASSERT_TRUE(probe.append(1, 0, 4, bytes.data(), true));
    const std::size_t one = probe.bytesInUse();

    FragmentPageCache cache(2 * one);
    ASSERT_TRUE(cache.append(100, 0, 4, bytes.data(), true));
    ASSERT_TRUE(cache.append(200, 0, 4, bytes.data(), true));
    Page page{};
    ASSERT_TRUE(cache.copyPage(100, 0, page));  // 200 is now the least recently used
    EXPECT_FALSE(cache.append(300, 0, 4, bytes.data(), false)) << "full, and may not evict";
    ASSERT_TRUE(cache.append(300, 0, 4, bytes.data(), true));
    EXPECT_EQ(cache.loadedPages(100), 4);
    EXPECT_EQ(cache.loadedPages(200), 0);
    EXPECT_EQ(cache.loadedPages(300), 4);
    EXPECT_LE(cache.bytesInUse(), cache.budget());

    FragmentPageCache tiny(one - 1);
    EXPECT_FALSE(tiny.append(100, 0, 4, bytes.data(), true)) << "larger than the whole budget";
    EXPECT_EQ(tiny.bytesInUse(), 0u);
}

TEST(PassPageReads, AgreeWithSinglePageReadsWhereThePassesLookAndReadAFragmentOnce) {
    AnalysisWorld w;
    const std::vector<PageBuilder> run = mixedRun(0, 30);
    const std::int32_t r = w.fragment(2000, run);
    const FragmentRecord& f = w.record(r);
    for (int round = 0; round < 3; ++round) {
        for (std::int32_t i = 0; i < f.pages(); ++i) {
            Page cached{}, alone{};
            ASSERT_TRUE(w.origin.readPassPage(f.fsec, i, f.pages(), cached));
            ASSERT_TRUE(readFragmentPage(w.origin, f.fsec, i, alone));
            const bool whole = i == 1 || i == 4;
            EXPECT_EQ(std::memcmp(cached.data(), alone.data(),
                                  whole ? kPageBytes : FragmentPageCache::kHeadBytes),
                      0)
                << "page " << i << " round " << round;
        }
    }
    EXPECT_EQ(w.origin.passReads().requests, 1u) << "three rounds over 30 pages, one read";
    EXPECT_EQ(w.origin.passReads().pages, 30u);
}

TEST(PassPageReads, FailExactlyWhereReadingThePageAloneFails) {
    TempDir dir;
    SectorImage image(dir.file("bad.img"), 4096);
    const std::vector<PageBuilder> run = mixedRun(0, 12);
    for (std::size_t i = 0; i < run.size(); ++i)
        image.put(1000 + 16 * static_cast<std::int64_t>(i), run[i]);
    // A bad sector inside page 5; and a read limit that cuts page 11 short.
    SectorSource source(openerWithBadSectors({{1000 + 16 * 5 + 7, 1}}));
    source.select(SourceKind::ImageFile, image.path(), image.sectors());
    source.setReadLimit(1000 + 16 * 11 + 8);
    ContentFile content;
    FragmentList fragments;
    bool fromSource = true;
    PageOrigin origin(source, content, fragments, fromSource);
    for (int round = 0; round < 2; ++round) {
        for (std::int32_t i = 0; i < 12; ++i) {
            Page cached{}, alone{};
            const bool expected = readFragmentPage(origin, 1000, i, alone);
            EXPECT_EQ(expected, i != 5 && i != 11) << i;
            EXPECT_EQ(origin.readPassPage(1000, i, 12, cached), expected)
                << "page " << i << " round " << round;
            if (expected) {
                EXPECT_EQ(std::memcmp(cached.data(), alone.data(), FragmentPageCache::kHeadBytes),
                          0)
                    << i;
            }
        }
    }
}

TEST(PassPageReads, ForgetWhatWasReadWhenTheSourceOrItsLimitChanges) {
    AnalysisWorld w;
    const std::int32_t r = w.fragment(3000, mixedRun(20, 4));
    const FragmentRecord& f = w.record(r);
    Page page{};
    ASSERT_TRUE(w.origin.readPassPage(f.fsec, 0, f.pages(), page));
    EXPECT_EQ(loadI32(&page[32]), 20);

    w.image.put(3000, noisyDataPage(555, 77, 9));
    w.source.select(SourceKind::ImageFile, w.image.path(), w.image.sectors());
    ASSERT_TRUE(w.origin.readPassPage(f.fsec, 0, f.pages(), page));
    EXPECT_EQ(loadI32(&page[32]), 555) << "another source choice: read again";

    w.source.setReadLimit(3000 + 16);
    EXPECT_TRUE(w.origin.readPassPage(f.fsec, 0, f.pages(), page));
    EXPECT_FALSE(w.origin.readPassPage(f.fsec, 1, f.pages(), page))
        << "a page the new read limit cuts off is no longer there";
}

TEST(PassPageReads, PrefetchReadsInAscendingSectorOrderAndThePassesThenReadNothing) {
    TempDir dir;
    SectorImage image(dir.file("spread.img"), 1 << 16);
    // Fragments placed high to low, with gaps small and large between them.
    const std::vector<std::int64_t> sectors = {60000, 41000, 40400, 20000, 9000, 8000, 1000};
    std::vector<PageOrigin::Span> spans;
    for (std::size_t k = 0; k < sectors.size(); ++k) {
        const auto run = mixedRun(static_cast<std::int32_t>(10 + 20 * k), 6 + static_cast<int>(k));
        for (std::size_t i = 0; i < run.size(); ++i)
            image.put(sectors[k] + 16 * static_cast<std::int64_t>(i), run[i]);
        spans.push_back({sectors[k], static_cast<std::int32_t>(run.size())});
    }
    std::vector<std::uint64_t> offsets;
    SectorSource source([&](const std::string& path) -> std::unique_ptr<RandomAccessFile> {
        auto file = openReadOnly(path);
        if (!file) return nullptr;
        return std::make_unique<LoggingFile>(std::move(file), offsets);
    });
    source.select(SourceKind::ImageFile, image.path(), image.sectors());
    source.setReadLimit(image.sectors());
    ContentFile content;
    FragmentList fragments;
    bool fromSource = true;
    PageOrigin origin(source, content, fragments, fromSource);
    std::vector<int> progress;
    origin.prefetch(spans, [&](int p) { progress.push_back(p); });
    EXPECT_TRUE(std::is_sorted(offsets.begin(), offsets.end()));
    EXPECT_EQ(offsets.front(), 1000u * 512);
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back(), 100);
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));

    const PageOrigin::ReadCounts afterPrefetch = origin.passReads();
    EXPECT_LT(afterPrefetch.requests, spans.size()) << "neighbours close together: one read";
    for (const auto& s : spans)
        for (std::int32_t i = 0; i < s.pages; ++i) {
            Page cached{}, alone{};
            ASSERT_TRUE(origin.readPassPage(s.fsec, i, s.pages, cached));
            ASSERT_TRUE(readFragmentPage(origin, s.fsec, i, alone));
            EXPECT_EQ(std::memcmp(cached.data(), alone.data(), FragmentPageCache::kHeadBytes), 0);
        }
    EXPECT_EQ(origin.passReads().requests, afterPrefetch.requests);
}

TEST(PassPageReads, APrefetchOverABadSectorLeavesThatPageToFailWhereThePassReadsIt) {
    TempDir dir;
    SectorImage image(dir.file("bad.img"), 8192);
    const auto a = mixedRun(0, 8), b = mixedRun(8, 8);
    for (std::size_t i = 0; i < 8; ++i) {
        image.put(1000 + 16 * static_cast<std::int64_t>(i), a[i]);
        image.put(1200 + 16 * static_cast<std::int64_t>(i), b[i]);
    }
    SectorSource source(openerWithBadSectors({{1200 + 16 * 3, 1}}));
    source.select(SourceKind::ImageFile, image.path(), image.sectors());
    source.setReadLimit(image.sectors());
    ContentFile content;
    FragmentList fragments;
    bool fromSource = true;
    PageOrigin origin(source, content, fragments, fromSource);
    origin.prefetch({{1000, 8}, {1200, 8}});
    Page page{};
    for (std::int32_t i = 0; i < 8; ++i) {
        EXPECT_TRUE(origin.readPassPage(1000, i, 8, page)) << i;
        EXPECT_EQ(origin.readPassPage(1200, i, 8, page), i != 3) << i;
    }
}

// Everything an analysis, SEARCH MORE and CHECK concluded and told, to compare two runs.
struct Conclusions {
    std::vector<std::int32_t> recorded, marks, combined;
    std::vector<std::string> told;
    std::vector<PageMapEntry> map;
    PageOrigin::ReadCounts analysisReads;
};

Conclusions analyse(const ImageManifest& m, const std::string& image, FileOpener opener,
                    bool oneByOne) {
    RecordingReporter reporter;
    RecoverySession session(reporter, std::move(opener));
    session.pages().readPassPagesOneByOne(oneByOne);
    session.openImage(image, ImageKind::WholeDisk);
    session.settings().sectorsPerCluster = m.clusterSectors;
    EXPECT_TRUE(session.startScan() == StartResult::Started);
    session.waitForJobs();
    std::optional<CatalogueRow> row;
    for (const auto& r : session.listDatabaseFiles())
        for (const auto& f : m.fragments)
            if (f.firstPage == 0 && r.fsec == f.firstSector) row = r;
    Conclusions c;
    if (!row) {
        ADD_FAILURE() << "the database is not in the catalogue";
        return c;
    }
    reporter.clear();
    session.startAnalysis(*row);
    session.waitForJobs();
    c.analysisReads = session.pages().passReads();
    (void)session.searchMore();
    (void)session.checkMissingPages();
    c.recorded = session.analysis().recordedFragments;
    c.marks = session.analysis().combinationMarks;
    for (const auto& r : session.combination().rows)
        c.combined.push_back(r.recordIndex);
    for (const auto& e : reporter.events())
        if (e.kind == RecordingReporter::Kind::Log || e.kind == RecordingReporter::Kind::Message)
            c.told.push_back(e.caption + "|" + e.text);
    for (std::int32_t p = 0; p < session.analysis().expectedPageCount; ++p)
        c.map.push_back(session.analysis().pageMap.get(p));
    return c;
}

TEST(PassPageReads, TheAnalysisConcludesExactlyAsWithPageByPageReadsFromFewerReads) {
    struct Case {
        const char* name;
        Damage damage;
        int stale;
    };
    Damage broken;
    broken.loseFragmentStarts = 4;
    broken.unreadable = true;
    broken.tornPage = true;
    for (const Case& k : {Case{"stale copies", {}, 12}, Case{"damaged", broken, 6}}) {
        TempDir dir;
        DatabaseRecipe recipe;
        recipe.pages = 1200;
        recipe.seed = 41;
        SyntheticDatabase db(recipe);
        RawImageOptions o;
        o.staleCopies = k.stale;
        o.damage = k.damage;
        const std::string image = dir.file("raw.img");
        const ImageManifest m = buildRawImage(db, image, o);
        const FileOpener opener = m.unreadableSectors.empty()
                                      ? FileOpener(openReadOnly)
                                      : openerWithBadSectors(m.unreadableSectors);
        const Conclusions alone = analyse(m, image, opener, true);
        const Conclusions kept = analyse(m, image, opener, false);
        ASSERT_FALSE(alone.recorded.empty()) << k.name;
        EXPECT_EQ(kept.recorded, alone.recorded) << k.name;
        EXPECT_EQ(kept.marks, alone.marks) << k.name;
        EXPECT_EQ(kept.combined, alone.combined) << k.name;
        EXPECT_EQ(kept.told, alone.told) << k.name;
        ASSERT_EQ(kept.map.size(), alone.map.size()) << k.name;
        for (std::size_t p = 0; p < kept.map.size(); ++p) {
            const PageMapEntry &a = kept.map[p], &b = alone.map[p];
            ASSERT_TRUE(a.ownerId == b.ownerId && a.kind == b.kind &&
                        a.allocState == b.allocState && a.ownerSource == b.ownerSource)
                << k.name << ": page map differs at " << p;
        }
        EXPECT_LT(kept.analysisReads.requests * 4, alone.analysisReads.requests) << k.name;
        EXPECT_LT(kept.analysisReads.pages, alone.analysisReads.pages) << k.name;
    }
}

}  // namespace
}  // namespace mdf::test

namespace mdf::test {
namespace {

// Each sweep of a gauge (the prefetch, the walk, a pass of SEARCH MORE, CHECK) rises to 100.
std::vector<std::vector<int>> sweeps(const std::vector<int>& progress) {
    std::vector<std::vector<int>> out;
    for (int p : progress) {
        if (out.empty() || p < out.back().back()) out.emplace_back();
        out.back().push_back(p);
    }
    return out;
}

TEST(LongSteps, AnalysisSearchMoreAndCheckShowTheirProgressToTheEnd) {
    TempDir dir;
    DatabaseRecipe recipe;
    recipe.pages = 2000;
    SyntheticDatabase db(recipe);
    RawImageOptions o;
    o.computeHashes = false;
    o.damage.loseFragmentStarts = 3;  // gaps for SEARCH MORE and CHECK to look at
    const std::string image = dir.file("raw.img");
    const ImageManifest m = buildRawImage(db, image, o);
    RecordingReporter reporter;
    RecoverySession session(reporter);
    session.openImage(image, ImageKind::WholeDisk);
    session.settings().sectorsPerCluster = 8;
    ASSERT_TRUE(session.startScan() == StartResult::Started);
    session.waitForJobs();
    std::optional<CatalogueRow> row;
    for (const auto& r : session.listDatabaseFiles())
        for (const auto& f : m.fragments)
            if (f.firstPage == 0 && r.fsec == f.firstSector) row = r;
    ASSERT_TRUE(row);

    reporter.clear();
    session.startAnalysis(*row);
    session.waitForJobs();
    ASSERT_TRUE(session.lastAnalysisCompleted());
    auto analysis = sweeps(reporter.progress());
    // Reading the fragments, then the walk; the reading is done already where the scan had to
    // name a short file head through its page 32.
    ASSERT_GE(analysis.size(), 1u);
    ASSERT_LE(analysis.size(), 2u);
    for (const auto& s : analysis) {
        EXPECT_EQ(s.back(), 100);
        EXPECT_GT(s.size(), 5u) << "a gauge that moves, not one that jumps to the end";
    }

    reporter.clear();
    ASSERT_TRUE(session.searchMore().completed);
    auto more = sweeps(reporter.progress());
    ASSERT_FALSE(more.empty());
    for (const auto& s : more)
        EXPECT_EQ(s.back(), 100);

    reporter.clear();
    ASSERT_TRUE(session.checkMissingPages().completed);
    auto check = sweeps(reporter.progress());
    ASSERT_EQ(check.size(), 1u);
    EXPECT_EQ(check[0].back(), 100);
}

}  // namespace
}  // namespace mdf::test

namespace mdf::test {
namespace {

TEST(ScannedPages, KeepsPagesAcrossTheScansReadsButNoneWithASectorUnread) {
    const std::vector<PageBuilder> run = mixedRun(0, 6);  // PFS page at 1, IAM page at 4
    std::vector<std::uint8_t> disk(std::size_t{200} * 512, 0);
    for (std::size_t i = 0; i < run.size(); ++i)
        std::memcpy(&disk[(8 + 16 * i) * 512], run[i].bytes().data(), kPageBytes);
    // Pages at sectors 8, 24, 40, 56, 72, 88 (each 16 sectors); inside the page at 8, a sector
    // that begins as a page header would (a row's bytes can).
    disk[13 * 512] = 1;
    disk[13 * 512 + 1] = 2;
    const auto part = [&](std::int64_t from, std::int64_t to) {
        return std::span<const std::uint8_t>(&disk[static_cast<std::size_t>(from) * 512],
                                             static_cast<std::size_t>(to - from) * 512);
    };
    ScannedPages pages;
    pages.begin(7);
    pages.sectorsRead(0, part(0, 30));    // the page at 24 goes on in the next read
    pages.sectorsRead(30, part(30, 64));  // the page at 56 too, but the next read is elsewhere
    pages.sectorsRead(70, part(70, 200));
    Page page{};
    for (std::size_t i = 0; i < run.size(); ++i) {
        const std::int64_t sector = 8 + 16 * static_cast<std::int64_t>(i);
        const bool kept = pages.copyPage(sector, page);
        EXPECT_EQ(kept, sector != 56) << sector;
        if (!kept) continue;
        const bool whole = i == 1 || i == 4;
        EXPECT_EQ(std::memcmp(page.data(), run[i].bytes().data(),
                              whole ? kPageBytes : FragmentPageCache::kHeadBytes),
                  0)
            << sector;
    }
    EXPECT_FALSE(pages.copyPage(9, page)) << "no page begins there";
    // A fragment's pages in a row as the analysis takes them: up to the one not kept.
    std::vector<const std::uint8_t*> row;
    pages.keptRunFrom(8, 6, row);
    ASSERT_EQ(row.size(), 3u);
    for (std::size_t i = 0; i < row.size(); ++i)
        EXPECT_EQ(std::memcmp(row[i], run[i].bytes().data(), FragmentPageCache::kHeadBytes), 0);
    pages.keptRunFrom(72, 1, row);
    EXPECT_EQ(row.size(), 1u) << "no more than asked for";
    EXPECT_EQ(pages.sourceGeneration(), 7u);
    pages.begin(8);
    EXPECT_TRUE(pages.empty()) << "another scan keeps nothing of the last";
}

TEST(ScannedPages, TheAnalysisAfterAScanOfTheSameRunReadsAlmostNothingAgain) {
    TempDir dir;
    DatabaseRecipe recipe;
    recipe.pages = 6000;
    SyntheticDatabase db(recipe);
    RawImageOptions o;
    o.computeHashes = false;
    o.staleCopies = 30;
    const std::string image = dir.file("raw.img");
    const ImageManifest m = buildRawImage(db, image, o);
    const Conclusions alone = analyse(m, image, openReadOnly, true);
    const Conclusions kept = analyse(m, image, openReadOnly, false);
    EXPECT_EQ(kept.recorded, alone.recorded);
    EXPECT_EQ(kept.told, alone.told);
    // Only the pages a scan window's end cut in two are read again.
    EXPECT_LT(kept.analysisReads.pages * 20, alone.analysisReads.pages)
        << kept.analysisReads.pages << " against " << alone.analysisReads.pages;
}

}  // namespace
}  // namespace mdf::test
