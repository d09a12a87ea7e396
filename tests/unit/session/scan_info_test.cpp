// Saving and opening scans: the encoded lines, the content file's layout and trailer, reading
// content back, and damaged files that must not cost the user the list they have.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "scan/content_file.h"
#include "scan/scan_info_file.h"
#include "session/content_blocks.h"
#include "session/recovery_session.h"
#include "support/content_parts.h"
#include "testworld/sector_image.h"
#include "testworld/temp_dir.h"
#include "testworld/test_world.h"

namespace mdf {
namespace {

using test::PageBuilder;

TEST(ScanInfoLine, EncodingRoundTripsEveryCharacterButZeroAnd255) {
    std::mt19937 random(3);
    for (int trial = 0; trial < 200; ++trial) {
        std::string text;
        for (int i = 0; i < 1 + trial % 90; ++i)
            text += static_cast<char>(1 + random() % 254);
        auto a0 = static_cast<std::uint8_t>(random());
        std::string encoded = encodeLine(text, kScanInfoKey, a0);
        EXPECT_EQ(encoded.size(), 2 + 2 * text.size());
        EXPECT_EQ(decodeLine(encoded, kScanInfoKey), text);
    }
    const std::string record = "3|2048|2064|8|120|121| |Y|";
    EXPECT_NE(encodeLine(record, kScanInfoKey, 1), encodeLine(record, kScanInfoKey, 2));
    EXPECT_EQ(encodeLine("A", "K", 0x10).substr(0, 2), "10");
    EXPECT_EQ(decodeLine(encodeLine(std::string(1, '\xff'), "KQZVX", 7).c_str(), "KQZVX"),
              std::string(1, '\xff'));
    EXPECT_FALSE(decodeLine("1G", kScanInfoKey));
    EXPECT_FALSE(decodeLine("123", kScanInfoKey));
}

TEST(ContentPages, ScramblingIsUndoneAndZeroStaysZeroWithSeedZero) {
    test::Page page = PageBuilder::dataPage(77).protectWithChecksum().bytes();
    test::Page copy = page;
    scramblePage(copy, 0x1234567);
    EXPECT_NE(copy, page);
    unscramblePage(copy, 0x1234567);
    EXPECT_EQ(copy, page);
    test::Page zero{};
    scramblePage(zero, 0);
    EXPECT_EQ(zero, test::Page{});
    auto trailer = contentTrailer(8, 64);
    EXPECT_EQ(std::vector<std::uint8_t>(trailer.begin(), trailer.end()),
              (std::vector<std::uint8_t>{0x01, 0x00, 0x00, 0x00, 0x40, 0x00}));
}

struct SavedScan {
    test::TempDir dir;
    test::SectorImage image{dir.file("disk.img"), 4000};
    RecordingReporter reporter;
    RecoverySession session{reporter};

    SavedScan() {
        for (std::int32_t i = 0; i < 5; ++i)
            image.put(100 + 16 * i, PageBuilder::dataPage(10 + i));
        image.put(90, std::vector<std::uint8_t>(512, 0xAB));
        session.openImage(image.path(), ImageKind::WholeDisk);
        use({composeFragment(1, 2, 100, 10, " "), composeFragment(2, 3, 132, 12, " ")});
    }

    // Gives the session this fragment list, as opening a saved scan-info file does; the
    // sectors-per-cluster box decides the volume's cluster size.
    void use(std::vector<FragmentRecord> records, std::int64_t sectorsPerCluster = 8) {
        FragmentList list;
        list.replace(std::move(records));
        ASSERT_EQ(writeScanInfo(dir.file("given.info"), list, 1), "");
        session.settings().sectorsPerCluster = sectorsPerCluster;
        ASSERT_TRUE(session.openScan(dir.file("given.info"), std::nullopt));
    }
};

std::vector<FragmentRecord> twoFragments() {
    return {composeFragment(1, 2, 100, 10, " "), composeFragment(2, 3, 132, 12, " ")};
}

TEST(SaveAndOpen, ContentHoldsPrefixAndScrambledPagesThenTheTrailer) {
    SavedScan s;
    s.session.saveScan(s.dir.file("scan.info"), s.dir.file("spcontent"), 8);
    EXPECT_EQ(s.reporter.messages(), std::vector<std::string>{"message: success"});
    const auto file = test::readFile(s.dir.file("spcontent"));
    const test::ContentParts parts = test::splitContent(file);
    // The blocks and the trailer are where every reader looks for them; the record between says
    // which source the pages came from and that none was unreadable.
    const auto content = parts.withoutRecord();
    ASSERT_EQ(content.size(), 56326u);
    ASSERT_TRUE(parts.record.is_object());
    EXPECT_EQ(parts.record["made_from"], s.image.path());
    EXPECT_EQ(parts.record["unreadable"], nlohmann::json::array());
    EXPECT_EQ(content[(90 - 85) * 512], 0xAB)
        << "the 15 sectors before the first fragment, as read";
    EXPECT_EQ(std::vector<std::uint8_t>(content.end() - 6, content.end()),
              (std::vector<std::uint8_t>{0x01, 0, 0, 0, 8, 0}));

    RecordingReporter reporter;
    RecoverySession opened(reporter);
    opened.settings().sectorsPerCluster = std::nullopt;
    ASSERT_TRUE(opened.openScan(s.dir.file("scan.info"), s.dir.file("spcontent")));
    ASSERT_EQ(opened.fragments().size(), 2u);
    EXPECT_EQ(opened.fragments()[1].text(), s.session.fragments()[1].text());
    EXPECT_EQ(opened.index().size(), 2u);
    EXPECT_FALSE(opened.readFromSource());
    EXPECT_EQ(opened.settings().sectorsPerCluster, 8);

    // The second fragment's page 0 starts at byte 31744 and comes back unscrambled.
    test::Page page{};
    ASSERT_TRUE(opened.pages().readFragmentSectors(132, 0, 16, page.data()));
    EXPECT_EQ(page, PageBuilder::dataPage(12).bytes());
    std::vector<std::uint8_t> prefix(15 * 512);
    ASSERT_TRUE(opened.pages().readFragmentSectors(100, -15, 15, prefix.data()));
    EXPECT_EQ(prefix[5 * 512], 0xAB);
    EXPECT_FALSE(opened.pages().readFragmentSectors(999, 0, 16, page.data()));
    EXPECT_FALSE(opened.pages().readFragmentSectors(132, 48, 16, page.data())) << "past the file";
}

TEST(SaveAndOpen, SectorsPerClusterFromTheBoxWinsOverTheTrailer) {
    SavedScan s;
    s.use(twoFragments(), 64);
    s.session.saveScan(std::nullopt, s.dir.file("spcontent"), 99);
    EXPECT_EQ(test::readFile(s.dir.file("spcontent")).back(), 0) << "64 as 16-bit little-endian";
    RecordingReporter reporter;
    RecoverySession opened(reporter);
    opened.settings().sectorsPerCluster = 8;
    opened.openScan(std::nullopt, s.dir.file("spcontent"));
    EXPECT_EQ(opened.settings().sectorsPerCluster, 8);

    // The trailer's seed unscrambles the pages.
    s.session.saveScan(s.dir.file("scan.info"), std::nullopt, 99);
    RecoverySession both(reporter);
    ASSERT_TRUE(both.openScan(s.dir.file("scan.info"), s.dir.file("spcontent")));
    test::Page page{};
    ASSERT_TRUE(both.pages().readFragmentSectors(132, 16, 16, page.data()));
    EXPECT_EQ(page, PageBuilder::dataPage(13).bytes());
}

TEST(SaveAndOpen, EmptyListAndFragmentsNearSectorZero) {
    SavedScan empty;
    empty.use({});
    empty.session.saveScan(empty.dir.file("scan.info"), empty.dir.file("spcontent"), 1);
    EXPECT_EQ(test::readFile(empty.dir.file("scan.info")).size(), 0u);
    EXPECT_EQ(
        test::splitContent(test::readFile(empty.dir.file("spcontent"))).withoutRecord().size(), 6u);

    // A fragment at sector 8 has only 8 sectors before it: the missing 7 are saved as zeros.
    SavedScan early;
    early.image.put(8, PageBuilder::dataPage(3));
    early.use({composeFragment(1, 1, 8, 3, " ")});
    early.session.saveScan(std::nullopt, early.dir.file("spcontent"), 5);
    EXPECT_EQ(early.reporter.messages(), std::vector<std::string>{"message: success"});
    EXPECT_EQ(
        test::splitContent(test::readFile(early.dir.file("spcontent"))).withoutRecord().size(),
        7680u + 8192u + 6u);
}

TEST(SaveAndOpen, ADamagedLineKeepsTheListTheUserHad) {
    SavedScan s;
    s.session.saveScan(s.dir.file("scan.info"), std::nullopt, 1);
    auto bytes = test::readFile(s.dir.file("scan.info"));
    auto secondLine = std::find(bytes.begin(), bytes.end(), '\n') + 1;
    *(secondLine + 3) = 'Z';
    test::writeFile(s.dir.file("bad.info"), bytes);

    SavedScan other;
    other.use({composeFragment(9, 1, 5000, 77, " ")});
    RecoverySession& session = other.session;
    EXPECT_FALSE(session.openScan(s.dir.file("bad.info"), std::nullopt));
    ASSERT_EQ(session.fragments().size(), 1u);
    EXPECT_EQ(session.fragments()[0].beginPage, 77);
    ASSERT_EQ(other.reporter.messages().size(), 1u);
    EXPECT_NE(other.reporter.messages()[0].find("line 2"), std::string::npos);

    EXPECT_TRUE(session.openScan(std::nullopt, s.dir.file("no-such-content")));
    EXPECT_EQ(other.reporter.messages().back(), "提示: error,无法打开文件");
    EXPECT_TRUE(session.readFromSource());
}

TEST(SaveAndOpen, AnUnreadablePageIsKeptAsZerosNamedAndTheRestSaved) {
    SavedScan s;
    std::vector<FragmentRecord> records = twoFragments();
    records.push_back(composeFragment(3, 1, 3990, 40, " "));  // runs past the image
    s.use(records);
    EXPECT_FALSE(s.session.saveScan(std::nullopt, s.dir.file("spcontent"), 1));
    ASSERT_EQ(s.reporter.messages().size(), 1u);
    EXPECT_NE(s.reporter.messages()[0].find("read disk error: 16 sectors could not be read"),
              std::string::npos)
        << s.reporter.messages()[0];
    EXPECT_NE(s.reporter.messages()[0].find("3990"), std::string::npos);
    // Every block is there, and the trailer: the file still opens. The record names the page
    // that could not be read.
    const test::ContentParts parts = test::splitContent(test::readFile(s.dir.file("spcontent")));
    EXPECT_EQ(parts.withoutRecord().size(), 3 * 7680u + 6 * 8192u + 6u);
    EXPECT_EQ(parts.record["unreadable"], nlohmann::json::parse("[[3990, 16]]"));
}

// A fragment longer than one read of the saver, running past the image's end: every page the image
// holds lands at its place in the block (across the read boundary too), only the pages past the
// end become zeros, and each of those is counted.
TEST(SaveAndOpen, ALongFragmentKeepsEveryReadablePageInPlace) {
    test::TempDir dir;
    constexpr std::int32_t kOnImage = 1050, kClaimed = 1100;
    test::SectorImage image(dir.file("disk.img"), 16 + 16 * std::int64_t{kOnImage});
    image.put(3, std::vector<std::uint8_t>(512, 0xCD));
    image.putRun(16, 0, kOnImage, [](std::int32_t p) { return PageBuilder::dataPage(p); });
    RecordingReporter reporter;
    RecoverySession session(reporter);
    session.openImage(image.path(), ImageKind::WholeDisk);
    FragmentList list;
    list.replace({composeFragment(1, kClaimed, 16, 0, " ")});
    ASSERT_EQ(writeScanInfo(dir.file("scan.info"), list, 1), "");
    ASSERT_TRUE(session.openScan(dir.file("scan.info"), std::nullopt));

    EXPECT_FALSE(session.saveScan(std::nullopt, dir.file("spcontent"), 77));
    ASSERT_EQ(reporter.messages().size(), 1u);
    EXPECT_NE(reporter.messages()[0].find("read disk error: 800 sectors could not be read"),
              std::string::npos)
        << reporter.messages()[0];
    const test::ContentParts parts = test::splitContent(test::readFile(dir.file("spcontent")));
    const auto content = parts.withoutRecord();
    ASSERT_EQ(content.size(), 7680u + kClaimed * 8192u + 6u);
    EXPECT_EQ(parts.record["unreadable"],
              nlohmann::json::array({{16 + 16 * kOnImage, 16 * (kClaimed - kOnImage)}}));
    EXPECT_EQ(content[(3 - 1) * 512], 0xCD) << "sector 3 is the prefix's third sector";

    RecordingReporter openReporter;
    RecoverySession opened(openReporter);
    ASSERT_TRUE(opened.openScan(dir.file("scan.info"), dir.file("spcontent")));
    test::Page page{};
    for (std::int32_t p : {0, 1, 1023, 1024, 1025, kOnImage - 1}) {
        ASSERT_TRUE(opened.pages().readFragmentSectors(16, 16 * p, 16, page.data()));
        EXPECT_EQ(page, PageBuilder::dataPage(p).bytes()) << "page " << p;
    }
    // The zeros that stand for them are no pages: they read as unreadable again, as they did
    // from the source, never as empty pages.
    for (std::int32_t p : {kOnImage, kClaimed - 1})
        EXPECT_FALSE(opened.pages().readFragmentSectors(16, 16 * p, 16, page.data())) << p;
    // Written by an older version, without the record: zeros as before, and a notice says so.
    test::writeFile(dir.file("old-content"), content);
    RecoverySession old(openReporter);
    ASSERT_TRUE(old.openScan(dir.file("scan.info"), dir.file("old-content")));
    ASSERT_TRUE(old.pages().readFragmentSectors(16, 16 * kOnImage, 16, page.data()));
    EXPECT_EQ(page, test::Page{});
    const auto notes = openReporter.lines(Memo::Scan);
    EXPECT_TRUE(std::any_of(notes.begin(), notes.end(), [](const std::string& line) {
        return line.find("written by an older version") != std::string::npos;
    }));
}

std::vector<std::uint8_t> sectorsFrom(std::int64_t first, std::int64_t count) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(count) * 512);
    for (std::int64_t s = 0; s < count; ++s)
        std::fill_n(bytes.begin() + s * 512, 512, static_cast<std::uint8_t>((first + s) * 7));
    return bytes;
}

// What the scan read lately: whole stretches come back across the runs that hold them; a hole
// between runs, or sectors gone for the capacity, are never made up.
TEST(RecentSectors, CopiesOnlyWhatItHoldsWhole) {
    RecentSectors recent(64 * 512);
    recent.add(100, sectorsFrom(100, 16));
    recent.add(116, sectorsFrom(116, 16));
    recent.add(140, sectorsFrom(140, 16));  // sectors 132..139 were never read
    std::vector<std::uint8_t> out(24 * 512);
    ASSERT_TRUE(recent.copy(104, 24, out.data()));
    EXPECT_EQ(out, sectorsFrom(104, 24)) << "across two runs";
    EXPECT_FALSE(recent.copy(120, 24, out.data())) << "over the hole";
    EXPECT_FALSE(recent.copy(90, 16, out.data())) << "before what it holds";
    EXPECT_FALSE(recent.copy(150, 16, out.data())) << "past what it holds";
    recent.add(156, sectorsFrom(156, 40));  // the first run goes for it
    EXPECT_FALSE(recent.copy(100, 8, out.data()));
    std::vector<std::uint8_t> longer(40 * 512);
    ASSERT_TRUE(recent.copy(150, 40, longer.data()));
    EXPECT_EQ(longer, sectorsFrom(150, 40));
}

// A failing disk has windows read whole and windows read in 64 KiB pieces, in any mix: the memory
// held stays near the capacity, whatever the mix (buffers of whole windows kept for pieces made
// it grow to gigabytes).
TEST(RecentSectors, KeepsToItsCapacityWhateverTheMixOfRunSizes) {
    constexpr std::size_t kCapacity = std::size_t{64} << 20;
    constexpr std::int64_t kWindow = 12288, kPiece = 128;
    RecentSectors recent(kCapacity);
    const std::vector<std::uint8_t> window(kWindow * 512, 1), piece(kPiece * 512, 2);
    std::mt19937 random(5);
    std::int64_t sector = 0;
    std::size_t most = 0;
    for (int w = 0; w < 400; ++w) {
        if (random() % 3 == 0) {
            for (std::int64_t p = 0; p < kWindow; p += kPiece, sector += kPiece)
                recent.add(sector, piece);
        } else {
            recent.add(sector, window);
            sector += kWindow;
        }
        most = std::max(most, recent.heldBytes());
    }
    EXPECT_LE(most, kCapacity + window.size());
}

// Scans image (all of it), with the content spooled to `spooled` unless it is empty, then saves
// the scan-info file and that content file. The platform reads of scan and save together are
// told through reads.
std::vector<std::uint8_t> scanAndSave(RecoverySession& session, const std::string& image,
                                      const std::string& spooled, const std::string& saved,
                                      std::uint32_t saveSeed, std::uint64_t& reads) {
    session.openImage(image, ImageKind::WholeDisk);
    if (!spooled.empty()) session.spoolContentOfNextScan(spooled, 4242);
    const std::uint64_t before = session.source().platformReads();
    session.takeFileId();
    EXPECT_EQ(session.startScan(), StartResult::Started);
    session.waitForJobs();
    EXPECT_EQ(session.lastScanOutcome(), ScanOutcome::Finished);
    EXPECT_TRUE(session.saveScan(saved + ".info", saved, saveSeed));
    reads = session.source().platformReads() - before;
    return test::readFile(saved);
}

// The content the scan writes as it reads is, byte for byte, what a save after the scan writes
// by reading every fragment again: on the test world (where nothing is read beyond what the scan
// reads), and on a sparse image where a fragment is found only after 64 MiB of nothing, so that
// the block before it has left the recent sectors and is read again.
TEST(SpooledContent, IsWhatASaveAfterTheScanWrites) {
    test::TempDir dir;
    test::SyntheticDatabase db{test::DatabaseRecipe{}};
    test::RawImageOptions options;
    options.seed = 3;
    test::buildRawImage(db, dir.file("raw.img"), options);

    test::SectorImage sparse(dir.file("sparse.img"), 100 * 2048);
    sparse.put(8, PageBuilder::fileHeaderPage(1, 64));
    sparse.putRun(24, 1, 5, [](std::int32_t p) { return PageBuilder::dataPage(p); });
    // A run whose page numbers continue the one before across a gap: the scan joins the two.
    sparse.putRun(8 + 16 * 8, 8, 3, [](std::int32_t p) { return PageBuilder::dataPage(p); });
    sparse.putRun(90 * 2048, 40, 6, [](std::int32_t p) { return PageBuilder::dataPage(p); });

    for (const std::string& image : {dir.file("raw.img"), sparse.path()}) {
        RecordingReporter reporter;
        RecoverySession plain(reporter), spooling(reporter);
        std::uint64_t plainReads = 0, spooledReads = 0;
        const auto afresh = scanAndSave(plain, image, "", dir.file("afresh"), 4242, plainReads);
        const auto spooled = scanAndSave(spooling, image, dir.file("spooled"), dir.file("spooled"),
                                         4242, spooledReads);
        ASSERT_GT(spooling.fragments().size(), 1u) << image;
        // The same blocks and trailer; the records differ only by the scan each belongs to.
        test::ContentParts a = test::splitContent(spooled), b = test::splitContent(afresh);
        EXPECT_EQ(a.withoutRecord(), b.withoutRecord()) << image;
        a.record.erase("scan_id");
        b.record.erase("scan_id");
        EXPECT_EQ(a.record, b.record) << image;
        if (image == sparse.path()) {
            EXPECT_EQ(spooling.fragments().size(), 2u) << "the joined runs are one fragment";
            EXPECT_LT(spooledReads, plainReads);
        } else {
            const std::uint64_t scanReads = plainReads - plain.fragments().size();
            EXPECT_LE(spooledReads, scanReads) << "nothing is read again";
        }
    }
}

// A save that is not the one the scan spooled (another seed here) writes the file afresh, and the
// spooled one leaves nothing behind.
TEST(SpooledContent, ASaveOfAnotherKindWritesAfreshAndLeavesNoHalfFile) {
    test::TempDir dir;
    test::SyntheticDatabase db{test::DatabaseRecipe{}};
    test::buildRawImage(db, dir.file("raw.img"), test::RawImageOptions{});
    RecordingReporter reporter;
    RecoverySession session(reporter);
    std::uint64_t reads = 0;
    const auto other =
        scanAndSave(session, dir.file("raw.img"), dir.file("c"), dir.file("c"), 77, reads);
    ASSERT_TRUE(session.saveScan(std::nullopt, dir.file("afresh"), 77));
    EXPECT_EQ(other, test::readFile(dir.file("afresh")));
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_NE(entry.path().extension(), ".partial") << "left behind: " << entry.path();
}

TEST(SaveAndOpen, NeverOverTheSourceAndNeverAHalfFile) {
    SavedScan s;
    const auto before = test::readFile(s.image.path());
    EXPECT_FALSE(s.session.saveScan(s.image.path(), std::nullopt, 1));
    EXPECT_FALSE(s.session.saveScan(std::nullopt, s.image.path(), 1));
    std::filesystem::create_symlink(s.image.path(), s.dir.file("link.img"));
    EXPECT_FALSE(s.session.saveScan(s.dir.file("link.img"), std::nullopt, 1));
    EXPECT_EQ(test::readFile(s.image.path()), before);
    EXPECT_FALSE(s.session.saveScan(s.dir.file("no/such/folder/scan.info"), std::nullopt, 1));
    EXPECT_NE(s.reporter.messages().back().find("No such file or directory"), std::string::npos)
        << s.reporter.messages().back();
    EXPECT_FALSE(s.session.saveScan(s.dir.path().string(), std::nullopt, 1));
    EXPECT_NE(s.reporter.messages().back().find("is a folder"), std::string::npos);
    for (const auto& entry : std::filesystem::directory_iterator(s.dir.path()))
        EXPECT_NE(entry.path().extension(), ".partial") << "left behind: " << entry.path();
}

TEST(FileCatalogue, ListsVisibleFileStartsAndRereadsNamesFromContent) {
    SavedScan s;
    for (std::int32_t p = 0; p < 40; ++p) {
        PageBuilder b = p == 0 ? PageBuilder::fileHeaderPage(1, 512) : PageBuilder::dataPage(p);
        if (p == 32) b.addFileNameRecord("x", "E:\\sql\\Orders.mdf");
        s.image.put(1000 + 16 * p, b);
    }
    s.image.put(3000, PageBuilder::fileHeaderPage(1, 64));
    std::vector<FragmentRecord> records = {
        composeFragment(1, 40, 1000, 0, "kept memo"), composeFragment(2, 3, 100, 10, " "),
        composeFragment(3, 1, 3000, 0, "short"), composeFragment(4, 1, 3000, 0, "hidden")};
    records[3].visible = "N";
    s.use(records);
    auto rows = s.session.listDatabaseFiles();
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].name, "kept memo");
    EXPECT_EQ(rows[1].recordIndex, 2);

    s.session.saveScan(s.dir.file("scan.info"), s.dir.file("spcontent"), 3);
    RecordingReporter reporter;
    RecoverySession opened(reporter);
    opened.openScan(s.dir.file("scan.info"), s.dir.file("spcontent"));
    for (int twice = 0; twice < 2; ++twice) {
        rows = opened.listDatabaseFiles();
        ASSERT_EQ(rows.size(), 2u);
        EXPECT_EQ(rows[0].name, "E:\\sql\\Orders.mdf:4096KB");
        EXPECT_EQ(rows[1].name, "short");
    }
}

}  // namespace
}  // namespace mdf
