// The generator is checked against the readers it feeds: the page tests, the page protection,
// and the allocation pages that the analysis will believe.
#include "testworld/synthetic_database.h"

#include <gtest/gtest.h>

#include <map>

#include "assembly/file_verdict.h"
#include "assembly/verdict_report.h"
#include "scan/page_header.h"
#include "scan/page_protection.h"
#include "source/byte_order.h"
#include "testworld/fidelity_world.h"
#include "testworld/page_builder.h"
#include "testworld/random.h"
#include "testworld/temp_dir.h"

namespace mdf::test {
namespace {

// Reads the PFS byte the database keeps for a page, making each PFS page once.
class PfsReader {
  public:
    explicit PfsReader(const SyntheticDatabase& db) : db_(db) {}
    std::uint8_t byteFor(std::int32_t p) {
        std::int32_t pfsId = p < kPfsInterval ? 1 : p / kPfsInterval * kPfsInterval;
        auto [it, fresh] = pages_.try_emplace(pfsId);
        if (fresh) it->second = db_.page(pfsId);
        std::int32_t first = pfsId == 1 ? 0 : pfsId;
        return it->second[PageBuilder::kPfsBytesOffset + static_cast<std::size_t>(p - first)];
    }

  private:
    const SyntheticDatabase& db_;
    std::map<std::int32_t, Page> pages_;
};

class EveryProtection : public ::testing::TestWithParam<Protection> {};

// The file's allocation pages reach over its whole size, its used part or not, as SQL Server
// writes them; every page passes the tests of its kind and its own protection; and the file as a
// whole is judged complete, without protection too (its pages' structure holds).
TEST_P(EveryProtection, PagesPassTheTestsTheirKindShouldAndVerify) {
    DatabaseRecipe recipe;
    recipe.pages = 17000;
    recipe.usedPages = 8400;
    recipe.protection = GetParam();
    recipe.fileId = 3;
    SyntheticDatabase db(recipe);
    int dataPages = 0;
    PfsReader pfsReader(db);
    FileVerifier verifier;
    for (std::int32_t p = 0; p < db.pageCount(); ++p) {
        Page page = db.page(p);
        verifier.page(p, page, PageSource::Run);
        PageHeader h = PageHeader::from(page);
        if (p >= db.usedPages()) {
            const bool allocationPage = p == 2 * kPfsInterval;
            EXPECT_EQ(h.headerVersion(), allocationPage ? 1 : 0) << p;
            EXPECT_EQ(db.role(p), allocationPage ? PageRole::Pfs : PageRole::Unused) << p;
            continue;
        }
        ASSERT_EQ(h.pageId(), p);
        ASSERT_EQ(h.fileId(), 3);
        EXPECT_EQ(isFileHeaderPage(h, 3), p == 0) << p;
        EXPECT_EQ(isPfsPage(h, 3), p == 1) << p;
        if (p > 0) {
            EXPECT_TRUE(isDataPage(h, 3)) << p;
            EXPECT_TRUE(continuesRun(3, p, h, 3)) << p;
        }
        EXPECT_FALSE(isDataPage(h, 1)) << "another file id must not match";
        EXPECT_EQ(verifyPage(page), GetParam() != Protection::None) << p;
        // What the PFS says agrees with what the page is.
        std::uint8_t pfs = pfsReader.byteFor(p);
        EXPECT_EQ((pfs & 0x40) != 0, db.isAllocated(p)) << p;
        EXPECT_EQ((pfs & 0x10) != 0, db.role(p) == PageRole::Iam) << p;
        EXPECT_EQ(h.objectId(), db.owner(p)) << p;
        dataPages += db.role(p) == PageRole::Data || db.role(p) == PageRole::Index;
    }
    EXPECT_GT(dataPages, 7000);
    EXPECT_EQ(db.role(kPfsInterval), PageRole::Pfs);
    const Verdict verdict = verifier.finish();
    EXPECT_TRUE(verdict.complete) << verdictLines(verdict).back();
}

// The test world's own page checksum is SQL Server's: it gives the stored value of every page
// that carries a checksum in the five real files, and it is the value the product checks.
TEST(TestWorldChecksum, IsTheOneSqlServerWrote) {
    int pages = 0;
    for (const char* name :
         {"pubs_sql2008.mdf", "aspnetdb_sql2005.mdf", "db_Examination_sql2016_created2000.mdf",
          "PayrollDatabase1_sql2008_cjk.mdf", "IMS_sql2012_mixedprotection.mdf"}) {
        for (const Page& page : readPageFile(std::string(MDF_TESTDATA_DIR) + "/" + name)) {
            if ((page[5] & 0x0F) != 2) continue;
            ++pages;
            EXPECT_EQ(testWorldChecksum(page), loadU32(&page[60])) << name;
        }
    }
    EXPECT_EQ(pages, 211 + 169 + 178 + 224);  // as the shared test data README counts them
    for (std::uint64_t seed = 1; seed < 50; ++seed) {
        Page page{};
        Random rng({seed});
        for (auto& b : page)
            b = rng.byte();
        page[5] = 2;
        storeU32(&page[60], testWorldChecksum(page));
        EXPECT_TRUE(verifyPage(page)) << seed;
        page[static_cast<std::size_t>(rng.between(64, 8191))] ^= 1;
        EXPECT_FALSE(verifyPage(page)) << seed;
    }
}

INSTANTIATE_TEST_SUITE_P(Protections, EveryProtection,
                         ::testing::Values(Protection::Checksum, Protection::TornBits,
                                           Protection::None));

TEST(SyntheticDatabase, TornPagesComeBackWhenTheirBitsAreRestored) {
    DatabaseRecipe recipe;
    recipe.protection = Protection::TornBits;
    SyntheticDatabase torn(recipe);
    recipe.protection = Protection::None;
    SyntheticDatabase plain(recipe);
    for (std::int32_t p : {0, 1, 32, 100}) {
        Page page = torn.page(p);
        restoreTornBits(page);
        Page expected = plain.page(p);
        // Only byte 5's nibble and the torn bits at 60..63 tell the two apart.
        for (std::size_t i = 0; i < page.size(); ++i)
            if (i != 5 && (i < 60 || i > 63)) {
                ASSERT_EQ(page[i], expected[i]) << "page " << p << " byte " << i;
            }
    }
}

TEST(SyntheticDatabase, IamPagesNameEveryPageTheirObjectOwns) {
    SyntheticDatabase db(DatabaseRecipe{});
    std::map<std::int32_t, std::int32_t> ownerFromIam;
    for (std::int32_t p = 0; p < db.usedPages(); ++p) {
        if (db.role(p) != PageRole::Iam) continue;
        Page page = db.page(p);
        std::int32_t owner = loadI32(&page[24]);
        std::uint16_t r0 = loadU16(&page[8190]);
        std::uint16_t r1 = loadU16(&page[8188]);
        std::int32_t start = loadI32(&page[r0 + 40u]);
        for (int k = 0; k < 8; ++k)
            if (std::int32_t slot = loadI32(&page[r0 + 46u + 6u * k])) ownerFromIam[slot] = owner;
        std::int16_t length = loadI16(&page[r1 + 2u]);
        for (int j = 0; j < length - 4; ++j)
            for (int bit = 0; bit < 8; ++bit)
                if (page[r1 + 4u + static_cast<unsigned>(j)] & (1 << bit))
                    for (int k = 0; k < 8; ++k)
                        ownerFromIam[start + 64 * j + 8 * bit + k] = owner;
    }
    for (std::int32_t p = 0; p < db.usedPages(); ++p) {
        PageRole r = db.role(p);
        if (r == PageRole::Data || r == PageRole::Index || r == PageRole::FileName) {
            EXPECT_EQ(ownerFromIam[p], db.owner(p)) << "page " << p;
        }
        if (r == PageRole::Ghost) {
            EXPECT_FALSE(ownerFromIam.count(p)) << p;
        }
    }
}

TEST(SyntheticDatabase, ChainsLinkNeighboursOfTheSameObject) {
    SyntheticDatabase db(DatabaseRecipe{});
    for (std::int32_t p = 2; p < db.usedPages(); ++p) {
        Page page = db.page(p);
        std::int32_t next = loadI32(&page[16]);
        if (next == 0) continue;
        Page nextPage = db.page(next);
        EXPECT_EQ(loadI32(&nextPage[8]), p) << "page " << next << " must link back to " << p;
        EXPECT_EQ(db.owner(next), db.owner(p));
        EXPECT_EQ(page[20], 1);
    }
}

TEST(SyntheticDatabase, StreamsTheSameBytesForTheSameSeed) {
    TempDir dir;
    DatabaseRecipe recipe;
    recipe.seed = 77;
    SyntheticDatabase a(recipe), b(recipe);
    a.writeTo(dir.file("a.mdf"));
    EXPECT_EQ(readFile(dir.file("a.mdf")).size(), 512u * 8192);
    EXPECT_EQ(a.sha256(), b.sha256());
    recipe.seed = 78;
    EXPECT_NE(SyntheticDatabase(recipe).sha256(), a.sha256());
    Page stale = a.stalePage(200, 1);
    EXPECT_EQ(PageHeader::from(stale).pageId(), 200);
    EXPECT_NE(PageHeader::from(stale).objectId(), a.owner(200));
    EXPECT_TRUE(verifyPage(stale));
}

}  // namespace
}  // namespace mdf::test
