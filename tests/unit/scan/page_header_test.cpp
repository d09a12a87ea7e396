#include "scan/page_header.h"

#include <gtest/gtest.h>

#include "testworld/page_builder.h"

namespace mdf {
namespace {

using test::PageBuilder;

PageHeader data(std::int32_t pageId = 120) {
    return PageBuilder::dataPage(pageId).header();
}

bool allFour(const PageHeader& h, std::uint16_t fileId = 1) {
    return isDataPage(h, fileId) || isFileHeaderPage(h, fileId) || isPfsPage(h, fileId) ||
           continuesRun(fileId, h.pageId(), h, fileId);
}

TEST(PageHeader, ZeroBytesAndAnotherFileIdFailEveryTest) {
    EXPECT_FALSE(allFour(PageHeader{}));
    for (PageHeader h :
         {data(), PageBuilder::fileHeaderPage().header(), PageBuilder::pfsPage().header()}) {
        EXPECT_TRUE(allFour(h, 1));
        EXPECT_FALSE(allFour(h, 2)) << "page type " << int(h.pageType());
    }
}

TEST(PageHeader, DataPageIdMustBePositiveAsSignedThirtyTwoBits) {
    EXPECT_TRUE(isDataPage(data(1), 1));
    EXPECT_FALSE(isDataPage(data(0), 1));
    EXPECT_TRUE(isDataPage(data(0x7FFFFFFF), 1));
    PageHeader h = PageBuilder::dataPage(1).set32(32, 0x80000000u).header();
    EXPECT_FALSE(isDataPage(h, 1));
}

TEST(PageHeader, DataPageCountsAndOffsetsAtTheirBoundaries) {
    struct Case {
        std::size_t offset;
        std::uint16_t value;
        bool passes;
    } cases[] = {
        {30, 96, true},   {30, 95, false},   {30, 8192, true}, {30, 8193, false},
        {28, 8096, true}, {28, 8097, false}, {22, 8096, true}, {22, 8097, false},
        {38, 8192, true}, {38, 8193, false}, {58, 8096, true}, {58, 8097, false},
    };
    for (const Case& c : cases) {
        PageHeader h = PageBuilder::dataPage(5).set16(c.offset, c.value).header();
        EXPECT_EQ(isDataPage(h, 1), c.passes) << "offset " << c.offset << " value " << c.value;
    }
}

TEST(PageHeader, DataPageTypeFlagsLevelAndTail) {
    EXPECT_TRUE(isDataPage(PageBuilder::dataPage(5, 1, 19).header(), 1));
    EXPECT_FALSE(isDataPage(PageBuilder::dataPage(5, 1, 20).header(), 1));
    EXPECT_FALSE(isDataPage(PageBuilder::dataPage(5, 1, 0).header(), 1));
    EXPECT_TRUE(isDataPage(PageBuilder::dataPage(5, 1, 2).set8(3, 3).header(), 1));
    EXPECT_FALSE(isDataPage(PageBuilder::dataPage(5, 1, 1).set8(3, 1).header(), 1));
    for (std::uint8_t flags : {0, 1, 4})
        EXPECT_TRUE(isDataPage(PageBuilder::dataPage(5).set8(2, flags).header(), 1));
    EXPECT_FALSE(isDataPage(PageBuilder::dataPage(5).set8(2, 2).header(), 1));
    EXPECT_FALSE(isDataPage(PageBuilder::dataPage(5).set8(95, 1).header(), 1));
    EXPECT_FALSE(isDataPage(PageBuilder::dataPage(5).set8(0, 2).header(), 1));
    // Bytes 40..63 (log sequence number, torn bits) are never examined.
    EXPECT_TRUE(isDataPage(PageBuilder::dataPage(5).set32(40, ~0u).set32(60, ~0u).header(), 1));
}

TEST(PageHeader, FileHeaderPageFlagByteAndAllocationFields) {
    EXPECT_TRUE(isFileHeaderPage(PageBuilder::fileHeaderPage().set8(4, 8).header(), 1));
    EXPECT_TRUE(isFileHeaderPage(PageBuilder::fileHeaderPage().set8(4, 0).header(), 1));
    EXPECT_FALSE(isFileHeaderPage(PageBuilder::fileHeaderPage().set8(4, 1).header(), 1));
    EXPECT_TRUE(isFileHeaderPage(PageBuilder::fileHeaderPage().set8(5, 0xFF).header(), 1));
    EXPECT_FALSE(isFileHeaderPage(PageBuilder::fileHeaderPage().set8(16, 1).header(), 1));
    EXPECT_FALSE(isFileHeaderPage(PageBuilder::fileHeaderPage().set16(22, 2).header(), 1));
    EXPECT_FALSE(isFileHeaderPage(PageBuilder::fileHeaderPage().set8(24, 98).header(), 1));
    EXPECT_FALSE(isFileHeaderPage(PageBuilder::fileHeaderPage().set8(3, 1).header(), 1));
    // Page 0 is recognised only as a file header page, never as a data page.
    EXPECT_FALSE(isDataPage(PageBuilder::fileHeaderPage().header(), 1));
}

TEST(PageHeader, PfsPageIgnoresTheFlagByteAndMayAlsoPassAsData) {
    EXPECT_TRUE(isPfsPage(PageBuilder::pfsPage().set8(4, 1).header(), 1));
    EXPECT_FALSE(isPfsPage(PageBuilder::pfsPage(2).header(), 1));
    EXPECT_FALSE(isPfsPage(PageBuilder::pfsPage().set8(1, 15).header(), 1));
    EXPECT_TRUE(isDataPage(PageBuilder::pfsPage().header(), 1));
}

TEST(PageHeader, ContinuesRunNeedsADataPageWithTheExpectedIdAndFile) {
    PageHeader h = data(121);
    EXPECT_TRUE(continuesRun(1, 121, h, 1));
    EXPECT_FALSE(continuesRun(1, 122, h, 1));
    EXPECT_FALSE(continuesRun(2, 121, h, 1));
    EXPECT_FALSE(continuesRun(1, 121, PageBuilder::dataPage(121).set8(80, 1).header(), 1));
}

}  // namespace
}  // namespace mdf
