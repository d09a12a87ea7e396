// Page repair and verification, on built pages and on every page of a real database file.
#include "scan/page_protection.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "scan/file_header_readers.h"
#include "testworld/page_builder.h"
#include "testworld/temp_dir.h"

namespace mdf {
namespace {

using test::Page;
using test::PageBuilder;

const std::string kPubs = std::string(MDF_TESTDATA_DIR) + "/pubs_sql2008.mdf";

TEST(RealDatabaseFile, EveryPageOfPubsVerifiesAndItsHeaderReadersAgree) {
    if (!std::filesystem::exists(kPubs)) GTEST_SKIP() << kPubs << " is not here";
    auto bytes = test::readFile(kPubs);
    ASSERT_EQ(bytes.size(), 288u * 8192);
    int protectedPages = 0;
    for (std::size_t p = 0; p < 288; ++p) {
        std::span<std::uint8_t, 8192> page(&bytes[p * 8192], 8192);
        const bool checksum = pageProtection(page) == PageProtection::Checksum;
        protectedPages += checksum;
        if (checksum || page[0] == 0) {
            EXPECT_TRUE(verifyPage(page)) << "page " << p;
        }
        // A checksum page loses its checksum when any byte but 60..63 changes.
        if (checksum && p % 37 == 0) {
            Page copy;
            std::copy(page.begin(), page.end(), copy.begin());
            copy[4000] ^= 0x01;
            EXPECT_FALSE(verifyPage(copy)) << p;
        }
    }
    EXPECT_GE(protectedPages, 200);
    std::span<std::uint8_t, 8192> page0(&bytes[0], 8192), page32(&bytes[32 * 8192], 8192);
    EXPECT_EQ(readFilePageCount(page0).pages, 288);
    FileNameResult name = readFileName(page32);
    EXPECT_EQ(name.result, 0);
    EXPECT_EQ(name.name, "C:\\dbs\\pubs.mdf");
}

TEST(VerifyPage, ZeroPagesVerifyAndUnprotectedPagesNever) {
    Page zero{};
    EXPECT_TRUE(verifyPage(zero));
    PageBuilder plain = PageBuilder::dataPage(7);
    EXPECT_FALSE(verifyPage(plain.bytes()));
    EXPECT_TRUE(verifyPage(PageBuilder::dataPage(7).protectWithChecksum().bytes()));
}

TEST(VerifyPage, TornBitsMustAgreeInSectorsOneToFifteen) {
    PageBuilder b = PageBuilder::dataPage(9).protectWithTornBits(1);
    EXPECT_TRUE(verifyPage(b.bytes()));
    Page torn = b.bytes();
    torn[511] ^= 3;  // the end of sector 0 is never looked at
    EXPECT_TRUE(verifyPage(torn));
    torn[8191] = static_cast<std::uint8_t>((torn[8191] & 0xFC) | 2);
    EXPECT_FALSE(verifyPage(torn));
}

TEST(VerifyPage, ChecksumLeavesOutItsOwnWord) {
    Page page = PageBuilder::dataPage(11).protectWithChecksum().bytes();
    const std::uint32_t sum = pageChecksum(page);
    for (std::size_t i : {std::size_t{60}, std::size_t{63}}) {
        Page copy = page;
        copy[i] ^= 0xFF;
        EXPECT_EQ(pageChecksum(copy), sum);
    }
    for (std::size_t i : {std::size_t{0}, std::size_t{59}, std::size_t{64}, std::size_t{8191}}) {
        Page copy = page;
        copy[i] ^= 0x80;
        EXPECT_NE(pageChecksum(copy), sum) << i;
    }
}

TEST(RestoreTornBits, RewritesOnlyTheLowBitsOfTheLastByteOfSectorsOneToFifteen) {
    Page page{};
    for (std::size_t i = 0; i < page.size(); ++i)
        page[i] = static_cast<std::uint8_t>(i * 13);
    page[5] = 0x01;
    for (std::uint8_t low : {0, 3}) {
        Page copy = page;
        copy[60] = low;
        Page before = copy;
        restoreTornBits(copy);
        EXPECT_EQ(copy, before) << "stored value " << int(low);
    }
    Page copy = page;
    copy[60] = 0x01 | (0x2 << 2);                    // sector 1 gets 10
    copy[63] = static_cast<std::uint8_t>(0x1 << 6);  // sector 15 gets 01
    Page before = copy;
    restoreTornBits(copy);
    EXPECT_EQ(copy[1023], (before[1023] & 0xFC) | 2);
    EXPECT_EQ(copy[8191], (before[8191] & 0xFC) | 1);
    int changedBytes = 0;
    for (std::size_t i = 0; i < copy.size(); ++i)
        changedBytes += copy[i] != before[i];
    EXPECT_LE(changedBytes, 15);
    for (std::size_t i = 0; i < copy.size(); ++i)
        if ((i % 512) != 511 || i < 512) {
            ASSERT_EQ(copy[i], before[i]) << i;
        }

    // Bit 0 of byte 5 restores; only the whole nibble decides the verification.
    Page three = page;
    three[5] = 0x03;
    three[60] = 0x02;
    Page restored = three;
    restoreTornBits(restored);
    EXPECT_NE(restored, three);
    EXPECT_EQ(pageProtection(three), PageProtection::None);
}

}  // namespace
}  // namespace mdf
