#include "scan/file_header_readers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <fstream>

#include "source/byte_order.h"
#include "testworld/page_builder.h"

namespace mdf {
namespace {

using test::Page;
using test::PageBuilder;

TEST(ReadFilePageCount, TakesTheValueBeforeTheFirstFFRun) {
    EXPECT_EQ(readFilePageCount(PageBuilder::fileHeaderPage(1, 256).bytes()).pages, 256);
    PageBuilder noMarker = PageBuilder::fileHeaderPage(1, 256);
    noMarker.set32(96 + PageBuilder::kPageCountOffset + 4, 0x00FFFFFF);
    PageCountResult none = readFilePageCount(noMarker.bytes());
    EXPECT_EQ(none.result, 1);
    EXPECT_EQ(none.pages, 0);
}

TEST(ReadFileName, FindsThePathAfterTheLogicalNameAndLowersTheExtension) {
    PageBuilder b = PageBuilder::dataPage(32);
    b.addFileNameRecord("sales", "D:\\db\\sales.MDF");
    FileNameResult r = readFileName(b.bytes());
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.name, "D:\\db\\sales.mdf");

    PageBuilder noBlanks = PageBuilder::dataPage(32);
    std::vector<std::uint8_t> record = {0x10, 0, 30, 0};
    for (char c : std::string("x:\\a.mdf"))
        record.insert(record.end(), {static_cast<std::uint8_t>(c), 0});
    record.resize(30);
    noBlanks.addRecord(record);
    EXPECT_EQ(readFileName(noBlanks.bytes()).result, 1);
}

TEST(ReadFileName, NonAsciiNamesComeBackAsUtf8) {
    PageBuilder b = PageBuilder::dataPage(32);
    std::vector<std::uint8_t> record = {0x10, 0, 0, 0};
    auto utf16 = [&](std::u16string text) {
        for (char16_t c : text)
            record.insert(record.end(),
                          {static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(c >> 8)});
    };
    utf16(u"销售  D:\\数据\\销售.mdf");
    storeU16(&record[2], static_cast<std::uint16_t>(record.size()));
    b.addRecord(record);
    EXPECT_EQ(readFileName(b.bytes()).name, "D:\\数据\\销售.mdf");
}

TEST(FileHeaderReaders, NeverReadOutsideThePageWhateverTheSlotSays) {
    for (std::uint16_t slot : {0x0000, 0x0003, 0x1FF0, 0x1FFE, 0x7FFF, 0x8000, 0xFFFF}) {
        Page page{};
        page.fill(0xFF);
        storeU16(&page[8190], slot);
        EXPECT_EQ(readFileName(page).result, 1);
        readFilePageCount(page);  // ASan guards the bounds
        page.fill(0x20);
        storeU16(&page[8190], slot);
        EXPECT_EQ(readFilePageCount(page).result, 1);
    }
}

TEST(FileSizeText, MegabytesThenGigabytes) {
    EXPECT_EQ(fileSizeText(256), "2.00 MB)");
    EXPECT_EQ(fileSizeText(127999), "999.99 MB)");
    EXPECT_EQ(fileSizeText(128000), "0.98 GB)");
}

// Page 32 of every real file, its later sectors another file's (a cluster smaller than a page):
// the first cluster alone names the file exactly when the name ends inside it, never wrongly.
TEST(ReadFileName, TheFirstClusterOfARealPage32NamesTheFileWhenTheNameLiesInIt) {
    for (const char* file :
         {"pubs_sql2008.mdf", "aspnetdb_sql2005.mdf", "IMS_sql2012_mixedprotection.mdf",
          "PayrollDatabase1_sql2008_cjk.mdf", "db_Examination_sql2016_created2000.mdf"}) {
        SCOPED_TRACE(file);
        std::ifstream in(std::string(MDF_TESTDATA_DIR) + "/" + file, std::ios::binary);
        std::array<std::uint8_t, 8192> whole{};
        in.seekg(32 * 8192);
        ASSERT_TRUE(in.read(reinterpret_cast<char*>(whole.data()), 8192));
        const FileNameResult name = readFileName(whole);
        ASSERT_EQ(name.result, 0);
        // Where the name ends in the page, found independently: the first ".mdf" in UTF-16.
        const std::array<std::uint8_t, 8> dotMdf{'.', 0, 'm', 0, 'd', 0, 'f', 0};
        std::size_t end = 0;
        for (std::size_t i = 96; i + 8 <= whole.size() && end == 0; ++i)
            if (std::equal(
                    dotMdf.begin(), dotMdf.end(), whole.begin() + i,
                    [](std::uint8_t want, std::uint8_t b) { return want == std::tolower(b); }))
                end = i + 8;
        ASSERT_GT(end, 96u);
        for (const std::size_t sectors : {1, 2, 4, 8}) {
            std::array<std::uint8_t, 8192> cut = whole;
            std::fill(cut.begin() + static_cast<std::ptrdiff_t>(sectors * 512), cut.end(), 0xA5);
            const FileNameResult first = readFileNameFromFirstBytes(cut, sectors * 512);
            if (end <= sectors * 512) {
                EXPECT_EQ(first.result, 0) << sectors;
                EXPECT_EQ(first.name, name.name) << sectors;
            } else {
                EXPECT_NE(first.result, 0) << sectors;
            }
        }
    }
}

}  // namespace
}  // namespace mdf
