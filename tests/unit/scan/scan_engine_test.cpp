// The scan over images whose pages lie at known sectors: runs, joins, the skip position, the
// stride, stopping and going on from where it stopped, and reads that fail.
#include "scan/scan_engine.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "report/reporter.h"
#include "scan/content_file.h"
#include "scan/scan_window.h"
#include "source/byte_order.h"
#include "source/sector_source.h"
#include "support/fault_injection.h"
#include "support/pubs_file.h"
#include "testworld/fidelity_world.h"
#include "testworld/sector_image.h"
#include "testworld/temp_dir.h"

namespace mdf {
namespace {

using test::PageBuilder;

PageBuilder page(std::int32_t id) {
    if (id == 0) return PageBuilder::fileHeaderPage(1, 256);
    if (id == 1) return PageBuilder::pfsPage(1);
    PageBuilder b = PageBuilder::dataPage(id);
    if (id == 32) b.addFileNameRecord("Sales", "D:\\data\\Sales.mdf");
    return b;
}

// A scan of an image, run on the calling thread.
struct ScanFixture {
    test::TempDir dir;
    test::SectorImage image{dir.file("disk.img"), 200000};
    SectorSource source;
    VolumeLayout volume;
    ScanSettings settings;
    FreeSpaceMap freeSpace;
    FragmentList fragments;
    FragmentIndex index;
    std::atomic<bool> stop{false};
    std::string pendingMemo;
    RecordingReporter reporter;

    explicit ScanFixture(FileOpener opener = openReadOnly) : source(std::move(opener)) {
        settings.beginSector = 0;
        settings.endSector = image.sectors();
        settings.sectorsPerCluster = 16;
        settings.freeSpaceOnly = false;
    }

    ScanOutcome scan(Reporter* other = nullptr, ScanPosition* position = nullptr) {
        source.select(SourceKind::ImageFile, image.path(), image.sectors());
        source.setReadLimit(image.sectors());
        stop = false;
        ScanContext ctx{source,
                        volume,
                        settings,
                        freeSpace,
                        fragments,
                        index,
                        stop,
                        1,
                        pendingMemo,
                        other ? *other : reporter,
                        [] { return std::string(" <time>"); }};
        ctx.position = position;
        return runScanJob(ctx);
    }
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        for (const auto& r : fragments)
            out.push_back(r.text());
        return out;
    }
};

TEST(ScanEngine, FileStartRunFromPageZeroWithNameAndSize) {
    ScanFixture f;
    f.image.putRun(1024, 0, 100, page);
    EXPECT_EQ(f.scan(), ScanOutcome::Finished);
    EXPECT_EQ(f.lines(),
              std::vector<std::string>{"1|1024|2624|800|0|100|D:\\data\\Sales.mdf(2.00 MB)|Y|"});
    EXPECT_EQ(f.reporter.lines(Memo::Scan),
              (std::vector<std::string>{"begin scan <time>", "finished <time>"}));
    EXPECT_EQ(f.reporter.statuses(), (std::vector<std::string>{"begin scan ", "finished"}));
    EXPECT_EQ(f.index.size(), 1u);
    EXPECT_TRUE(f.stop);
}

TEST(ScanEngine, TheSkipPositionLetsASmallStrideLookInsideTheLastPage) {
    for (auto [stride, found] : {std::pair{8, true}, std::pair{16, false}}) {
        ScanFixture f;
        f.image.putRun(1024, 0, 100, page);
        f.image.put(2616, PageBuilder::dataPage(5000));  // inside page 99's sectors
        f.settings.sectorsPerCluster = stride;
        f.scan();
        EXPECT_EQ(f.fragments.size(), found ? 2u : 1u) << "stride " << stride;
    }
}

TEST(ScanEngine, RunsConsistentWithThePageNumberingJoinTheLastFragment) {
    ScanFixture f;
    f.image.putRun(1024, 0, 100, page);
    f.image.putRun(3424, 150, 50, page);  // 1024 + 150 x 16: numbering fits, gap 800 sectors
    f.scan();
    EXPECT_EQ(f.lines(),
              std::vector<std::string>{"1|1024|4224|1600|0|200|D:\\data\\Sales.mdf(2.00 MB)|Y|"});

    ScanFixture off;
    off.settings.sectorsPerCluster = 8;
    off.image.putRun(1024, 0, 100, page);
    off.image.putRun(3432, 150, 50, page);  // eight sectors off the numbering
    off.scan();
    ASSERT_EQ(off.fragments.size(), 2u);
    EXPECT_EQ(off.fragments[1].text(), "2|3432|4232|400|150|200| |Y|");

    ScanFixture far;
    const std::int64_t beyond = 2624 + 129408 + 16;  // too far from the last fragment's end
    far.image.putRun(1024, 0, 100, page);
    far.image.putRun(beyond, static_cast<std::int32_t>((beyond - 1024) / 16), 4, page);
    far.scan();
    EXPECT_EQ(far.fragments.size(), 2u);
}

TEST(ScanEngine, ShortFileStartGetsTheWrongFileHeadMemoAndJoinsRecomputeIt) {
    ScanFixture f;
    f.image.putRun(1024, 0, 32, page);
    f.scan();
    EXPECT_EQ(f.lines(),
              std::vector<std::string>{"1|1024|1536|256|0|32|wrong file head,size:2048KB|Y|"});

    ScanFixture joined;
    joined.image.putRun(1024, 0, 20, page);
    joined.image.putRun(1024 + 30 * 16, 30, 10, page);  // holds page 32
    joined.scan();
    EXPECT_EQ(joined.lines(),
              std::vector<std::string>{"1|1024|1664|320|0|40|D:\\data\\Sales.mdf(2.00 MB)|Y|"});
}

TEST(ScanEngine, LoneAllocationPagesAreTreatedLikeAnyOther) {
    ScanFixture f;
    f.image.put(1024, page(0));  // file header without its PFS page
    f.image.put(4096, page(1));  // PFS page alone: an ordinary one-page run
    f.image.putRun(8192, 7, 3, page);
    f.scan();
    EXPECT_EQ(f.lines(),
              (std::vector<std::string>{"1|4096|4112|8|1|2| |Y|", "2|8192|8240|24|7|10| |Y|"}));
}

TEST(ScanEngine, StartPageLimitSkipsFragmentsAndTheirNumbers) {
    ScanFixture f;
    f.settings.maxStartPage = 100;
    f.image.putRun(1024, 100, 2, page);
    f.image.putRun(9000 * 16, 99, 1, page);
    f.scan();
    EXPECT_EQ(f.lines(), std::vector<std::string>{"2|144000|144016|8|99|100| |Y|"});
}

TEST(ScanEngine, StrideOfSixtyFourIsUsedAsSixteenButKeptAsClusterSize) {
    ScanFixture f;
    f.settings.sectorsPerCluster = 64;
    f.image.putRun(1024 + 16, 40, 2, page);  // only reachable at stride 16
    f.scan();
    EXPECT_EQ(f.fragments.size(), 1u);
    EXPECT_EQ(f.volume.sectorsPerCluster, 64);
}

// Stops the scan once it is half way.
class StopHalfWay : public RecordingReporter {
  public:
    explicit StopHalfWay(std::atomic<bool>& stop) : stop_(stop) {}
    void setProgress(int percent) override {
        RecordingReporter::setProgress(percent);
        if (percent >= 50) stop_ = true;
    }

  private:
    std::atomic<bool>& stop_;
};

TEST(ScanEngine, StoppingKeepsTheFragmentsFoundButNotANewIndex) {
    ScanFixture f;
    f.image.putRun(1024, 10, 2, page);
    f.image.putRun(190000, 20, 2, page);
    f.fragments.append(composeFragment(1, 1, 5, 3, " "));
    f.index = buildFragmentIndex(f.fragments);
    StopHalfWay reporter(f.stop);
    EXPECT_EQ(f.scan(&reporter), ScanOutcome::Stopped);
    EXPECT_EQ(f.fragments.size(), 2u) << "the scan appends to what was there";
    EXPECT_EQ(f.index.size(), 1u) << "a stopped scan leaves the index as it was";
    EXPECT_EQ(reporter.statuses().back(), "scan stopped");
    EXPECT_TRUE(f.stop);
}

// Stops the scan once it has got that far.
class StopAt : public RecordingReporter {
  public:
    StopAt(std::atomic<bool>& stop, int percent) : stop_(stop), percent_(percent) {}
    void setProgress(int percent) override {
        if (percent >= percent_) stop_ = true;
    }

  private:
    std::atomic<bool>& stop_;
    int percent_;
};

// Runs in every state a stop can find the scan in: inside a run it skips, between two runs that
// join, around bad sectors that make whole windows read chunk by chunk.
void putResumeWorld(ScanFixture& f) {
    f.image.putRun(1024, 0, 100, page);
    f.image.putRun(50000, 300, 100, page);
    f.image.putRun(50000 + 150 * 16, 450, 50, page);  // joins the run before it
    f.image.putRun(98000, 7, 30, page);
    f.image.putRun(120000, 40, 20, page);  // beside the bad sectors
    f.image.putRun(120400, 60, 5, page);   // its successor would lie in them
    f.image.putRun(190000, 600, 8, page);
    f.settings.sectorsPerCluster = 8;
}

TEST(ScanEngine, AScanStoppedAnywhereGoesOnFromItsPositionToWhatOneWholeScanFinds) {
    auto opener = [] { return test::openerWithBadSectors({{120480, 40}}); };
    ScanFixture whole(opener());
    putResumeWorld(whole);
    ScanPosition finished;
    ASSERT_EQ(whole.scan(nullptr, &finished), ScanOutcome::Finished);
    ASSERT_EQ(whole.fragments.size(), 6u) << "the two runs at 50000 are one fragment";
    EXPECT_EQ(finished.counter, 6);

    for (int percent = 1; percent < 100; ++percent) {
        ScanFixture f(opener());
        putResumeWorld(f);
        StopAt stopper(f.stop, percent);
        ScanPosition position;
        ASSERT_EQ(f.scan(&stopper, &position), ScanOutcome::Stopped) << percent;
        EXPECT_GT(position.cursor, 0) << percent;
        EXPECT_LE(position.windowStart, position.cursor);
        const std::size_t before = f.fragments.size();
        ASSERT_EQ(f.scan(nullptr, &position), ScanOutcome::Finished) << percent;
        EXPECT_EQ(f.lines(), whole.lines()) << "stopped at " << percent << " %";
        EXPECT_LE(before, f.fragments.size());
    }
}

TEST(ScanEngine, ASavedPositionOutsideTheRangeOrOffTheStrideIsRefused) {
    for (ScanPosition bad : {ScanPosition{200008, 0, 0, 0}, ScanPosition{1003, 0, 0, 0},
                             ScanPosition{1000, 0, 2000, 0}, ScanPosition{1000, -1, 0, 0},
                             ScanPosition{1000, 0, 0, INT32_MAX}}) {
        ScanFixture f;
        f.settings.sectorsPerCluster = 8;
        EXPECT_EQ(f.scan(nullptr, &bad), ScanOutcome::Failed) << bad.cursor;
        EXPECT_EQ(f.reporter.messages().size(), 1u);
    }
}

TEST(ScanEngine, AnEmptyRangeFinishesAtOnce) {
    ScanFixture f;
    f.settings.beginSector = f.settings.endSector = 5000;
    EXPECT_EQ(f.scan(), ScanOutcome::Finished);
    EXPECT_TRUE(f.fragments.empty());
}

TEST(ScanEngine, AnUnreadableSourceEndsTheJobAndNoScanRunsAfterwards) {
    ScanFixture f([](const std::string&) { return nullptr; });
    f.settings.beginSector = 2048;
    EXPECT_EQ(f.scan(), ScanOutcome::Failed);
    EXPECT_EQ(f.reporter.lines(Memo::Scan),
              (std::vector<std::string>{"begin scan <time>", "512error1sec2048"}));
    EXPECT_TRUE(f.stop) << "the analysis must not think a scan still runs";

    ScanFixture bad;
    bad.settings.sectorsPerCluster = 0;
    EXPECT_EQ(bad.scan(), ScanOutcome::Failed);
    EXPECT_EQ(bad.reporter.messages().size(), 1u);
}

TEST(ScanEngine, BadSectorsHideOnlyThePositionsInThem) {
    ScanFixture f(test::openerWithBadSectors({{3008, 8}}));
    f.image.putRun(1024, 10, 4, page);  // same window as the bad sectors, before them
    f.image.putRun(4096, 30, 4, page);  // after them
    f.image.putRun(2992, 20, 1, page);  // its successor would lie in the bad sectors
    f.settings.sectorsPerCluster = 8;
    f.scan();
    EXPECT_EQ(f.lines(),
              (std::vector<std::string>{"1|1024|1088|32|10|14| |Y|", "2|2992|3008|8|20|21| |Y|",
                                        "3|4096|4160|32|30|34| |Y|"}));
    auto log = f.reporter.lines(Memo::Scan);
    EXPECT_NE(std::find(log.begin(), log.end(), "8192error1sec3008"), log.end());
}

// Every sector handed to the observer carries its own number in its page-id field.
struct StampedSectors : WindowObserver {
    std::int64_t handed = 0;
    std::vector<std::int64_t> wrong;
    void sectorsRead(std::int64_t first, std::span<const std::uint8_t> bytes) override {
        for (std::size_t k = 0; k * 512 < bytes.size(); ++k, ++handed)
            if (PageHeader::from(bytes.subspan(k * 512, 96)).pageId() !=
                first + static_cast<std::int64_t>(k))
                wrong.push_back(first + static_cast<std::int64_t>(k));
    }
};

// Counts the reads that reach one sector.
class TriesOfASector : public RandomAccessFile {
  public:
    TriesOfASector(std::unique_ptr<RandomAccessFile> inner, std::int64_t sector, int& tries)
        : inner_(std::move(inner)), sector_(sector), tries_(tries) {}
    std::int64_t readAt(void* buffer, std::size_t size, std::uint64_t offset) override {
        const auto at = static_cast<std::uint64_t>(sector_) * 512;
        if (offset <= at && at < offset + size) ++tries_;
        return inner_->readAt(buffer, size, offset);
    }

  private:
    std::unique_ptr<RandomAccessFile> inner_;
    std::int64_t sector_;
    int& tries_;
};

// An image as the scan's source, whose one bad sector counts the reads that reach it.
struct SourceWithABadSector {
    SourceWithABadSector(std::int64_t sectors, std::int64_t badSector)
        : image(dir.file("window.img"), sectors),
          bad(badSector),
          source([this](const std::string& path) -> std::unique_ptr<RandomAccessFile> {
              return std::make_unique<TriesOfASector>(test::openerWithBadSectors({{bad, 1}})(path),
                                                      bad, tries);
          }) {
        source.select(SourceKind::ImageFile, image.path(), image.sectors());
        source.setReadLimit(image.sectors());
    }
    test::TempDir dir;
    test::SectorImage image;
    std::int64_t bad;
    int tries = 0;
    SectorSource source;
};

// The window reads the next one ahead while the scan looks at the current one: however the scan
// moves it (on to the next window, past several, into the middle of a later one, over a bad
// sector), what it hands out is the sector asked for, and the observer sees each window it
// shows, as it lies. A bad sector is tried once by each way of reading it, no more: on a failing
// disk every try costs time and wear.
TEST(ScanWindow, HandsOutTheSectorAskedForWhereverTheScanMovesIt) {
    constexpr std::int64_t n = kWindowSectors;
    SourceWithABadSector disk(9 * n + 700, 5 * n + 300);
    test::SectorImage& image = disk.image;
    const std::int64_t bad = disk.bad;
    std::vector<std::uint8_t> stamps(static_cast<std::size_t>(image.sectors()) * 512);
    for (std::int64_t s = 0; s < image.sectors(); ++s)
        storeU32(&stamps[static_cast<std::size_t>(s) * 512 + 32], static_cast<std::uint32_t>(s));
    image.put(0, stamps);
    StampedSectors seen;
    ScanWindow window(disk.source, &seen);
    ASSERT_TRUE(window.prime(0, image.sectors()));
    // On to the next window; past a whole one; on to the next, twice (the second read ahead
    // over the bad sector); the short last one past three windows.
    for (const std::int64_t p :
         {n + 5, 3 * n + 17, 4 * n, 4 * n + 9000, bad - 1, bad, bad + 128, 9 * n + 699}) {
        const auto h = window.readHeaderAt(p, n, true);
        if (p == bad) {
            EXPECT_FALSE(h) << "the bad sector is never handed out";
            continue;
        }
        ASSERT_TRUE(h) << p;
        EXPECT_EQ(h->pageId(), p);
    }
    EXPECT_TRUE(seen.wrong.empty()) << seen.wrong.size() << " sectors, the first "
                                    << (seen.wrong.empty() ? -1 : seen.wrong.front());
    // Windows 0, 1, 3, 4, 5 (less the 128-sector chunk of the bad sector) and the last one.
    EXPECT_EQ(seen.handed, 5 * n - 128 + (image.sectors() - 9 * n));
    EXPECT_EQ(disk.tries, 3) << "the window read ahead, its chunk, the sector alone";
    EXPECT_TRUE(test::readFile(image.path()) == stamps) << "the source was written to";
}

// A scan of free space only may pass over the windows after the one it is in: with one window
// read ahead, a window two ahead is never read, and a bad sector there is never tried.
TEST(ScanWindow, OneWindowAheadNeverReadsTheWindowAfterIt) {
    constexpr std::int64_t n = kWindowSectors;
    SourceWithABadSector disk(6 * n, 3 * n + 40);
    const std::vector<std::uint8_t> before = test::readFile(disk.image.path());
    ScanWindow window(disk.source);
    window.setReadAheadDepth(1);
    ASSERT_TRUE(window.prime(0, disk.image.sectors()));
    ASSERT_TRUE(window.readHeaderAt(n + 5, n, true));  // on to window 1: window 2 is read ahead
    // Time for a reader that would go further ahead to reach window 3.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(window.readHeaderAt(5 * n + 1, n, true));  // past windows 2, 3 and 4
    EXPECT_EQ(disk.tries, 0);
    EXPECT_TRUE(test::readFile(disk.image.path()) == before) << "the source was written to";
}

}  // namespace
}  // namespace mdf

namespace mdf {
namespace {

test::Page realPage(std::int32_t id) {
    return test::pubsPage(id);
}

TEST(ScanEngine, APage0AloneInItsClusterStartsAOnePageFileWhenItVerifies) {
    ScanFixture f;
    f.image.put(4096, realPage(0));  // page 1 went to another cluster
    for (std::int32_t p = 1; p < 40; ++p)
        f.image.put(800 + 16 * std::int64_t{p - 1}, realPage(p));
    EXPECT_EQ(f.scan(), ScanOutcome::Finished);
    ASSERT_EQ(f.fragments.size(), 2u) << ::testing::PrintToString(f.lines());
    EXPECT_EQ(f.fragments[1].text(), "2|4096|4112|8|0|1|wrong file head,size:2304KB|Y|");
    EXPECT_EQ(f.fragments[0].beginPage, 1);
    const auto lines = f.reporter.lines(Memo::Scan);
    EXPECT_NE(
        std::find(lines.begin(), lines.end(), "单独的文件头页(lone file header page) sec4096"),
        lines.end());
}

TEST(ScanEngine, AnUnprotectedPage0AloneStartsNothing) {
    ScanFixture f;
    test::Page p0 = realPage(0);
    p0[5] &= 0xF0;
    f.image.put(4096, p0);
    EXPECT_EQ(f.scan(), ScanOutcome::Finished);
    EXPECT_TRUE(f.fragments.empty()) << ::testing::PrintToString(f.lines());
}

}  // namespace
}  // namespace mdf
