// A page's own layout judged on the pages of every real file of the shared test data: every page
// the file's PFS page marks allocated holds together, and the pages a wrong piece or a damaged
// field would give do not.
#include "scan/page_structure.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "source/byte_order.h"
#include "testworld/fidelity_world.h"

namespace mdf {
namespace {

using test::Page;
using test::PageFile;

const char* const kRealFiles[] = {
    "pubs_sql2008.mdf",
    "aspnetdb_sql2005.mdf",
    "db_Examination_sql2016_created2000.mdf",
    "PayrollDatabase1_sql2008_cjk.mdf",
    "IMS_sql2012_mixedprotection.mdf",
};

PageFile realFile(const std::string& name) {
    return test::readPageFile(std::string(MDF_TESTDATA_DIR) + "/" + name);
}

TEST(PageStructure, EveryAllocatedPageOfEveryRealFileHoldsTogether) {
    for (const char* name : kRealFiles) {
        const PageFile file = realFile(name);
        const auto allocated = test::allocatedPages(file);
        ASSERT_GT(allocated.size(), 100u) << name;
        for (std::int32_t p : allocated)
            EXPECT_EQ(pageStructureFault(file[static_cast<std::size_t>(p)]), StructureFault::None)
                << name << " page " << p;
    }
}

// Pages SQL Server left behind when they were freed (seen in the file created under SQL Server
// 2000): their slot arrays no longer agree with their records.
TEST(PageStructure, FreedPagesOfAnOldFileShowTheirDecay) {
    const PageFile file = realFile("db_Examination_sql2016_created2000.mdf");
    const auto allocated = test::allocatedPages(file);
    for (std::int32_t p : {82, 84, 85}) {
        EXPECT_FALSE(allocated.count(p)) << p;
        EXPECT_NE(pageStructureFault(file[static_cast<std::size_t>(p)]), StructureFault::None) << p;
    }
}

// The page a cluster from elsewhere makes: the first half of an allocated data, index or text
// page whose records reach into its second half, the second half of another page of the file
// whose slot array differs from the page's own. Counted over every such pair of each file: the
// records and slot array of the second half then belong to the other page and are caught. (Two
// full pages of one table with rows of one length have the same slot array: a second half from
// the one on the other is a structure as sound as the page's own, and only a checksum tells.)
TEST(PageStructure, ASecondHalfFromAnotherPageIsCaught) {
    for (const char* name : kRealFiles) {
        const PageFile file = realFile(name);
        std::int64_t pairs = 0, caught = 0;
        for (std::int32_t p : test::allocatedPages(file)) {
            const Page& first = file[static_cast<std::size_t>(p)];
            const bool records = first[1] == 1 || first[1] == 2 || first[1] == 3 || first[1] == 4;
            if (!records || loadU16(&first[30]) <= 4096 + 512) continue;
            const std::size_t slotArray = 8192 - 2 * std::size_t{loadU16(&first[22])};
            for (std::size_t q = 0; q < file.size(); ++q) {
                if (std::memcmp(&first[slotArray], &file[q][slotArray], 8192 - slotArray) == 0)
                    continue;
                Page hybrid = first;
                std::memcpy(&hybrid[4096], &file[q][4096], 4096);
                ++pairs;
                caught += pageStructureFault(hybrid) != StructureFault::None;
            }
        }
        ASSERT_GT(pairs, 1000) << name;
        EXPECT_GT(caught * 1000, pairs * 995) << name << ": " << caught << " of " << pairs;
    }
}

TEST(PageStructure, EachDamagedFieldIsNamed) {
    const PageFile file = realFile("pubs_sql2008.mdf");
    // An allocated data page with several records.
    std::size_t data = 0;
    for (std::int32_t p : test::allocatedPages(file))
        if (file[static_cast<std::size_t>(p)][1] == 1 &&
            loadU16(&file[static_cast<std::size_t>(p)][22]) > 3)
            data = static_cast<std::size_t>(p);
    ASSERT_GT(data, 0u);
    const Page page = file[data];
    const std::uint16_t freeData = loadU16(&page[30]);
    const std::uint16_t slots = loadU16(&page[22]);
    auto with = [&](auto change) {
        Page p = page;
        change(p);
        return pageStructureFault(p);
    };
    EXPECT_EQ(with([](Page&) {}), StructureFault::None);
    EXPECT_EQ(with([](Page& p) { p[0] = 2; }), StructureFault::Header);
    EXPECT_EQ(
        with([&](Page& p) { storeU16(&p[30], static_cast<std::uint16_t>(8192 - 2 * slots + 2)); }),
        StructureFault::SlotArray);
    EXPECT_EQ(with([&](Page& p) {
                  storeU16(&p[28], static_cast<std::uint16_t>(8192 - freeData - 2 * slots - 1));
              }),
              StructureFault::FreeSpace);
    EXPECT_EQ(with([&](Page& p) { storeU16(&p[8190], static_cast<std::uint16_t>(freeData + 8)); }),
              StructureFault::RecordOutside);
    EXPECT_EQ(with([&](Page& p) { storeU16(&p[8188], loadU16(&p[8190])); }),
              StructureFault::RecordOutside)
        << "two slots at one record";
    const std::size_t first = loadU16(&page[8190]);
    EXPECT_EQ(
        with([&](Page& p) { p[first] = static_cast<std::uint8_t>((p[first] & 0xF1) | (3 << 1)); }),
        StructureFault::RecordKind)
        << "an index record on a data page";
    EXPECT_EQ(with([&](Page& p) { storeU16(&p[first + 2], 8000); }), StructureFault::RecordLength);
    EXPECT_EQ(with([&](Page& p) { std::fill(p.begin() + 8192 - 2 * slots, p.end(), 0); }),
              StructureFault::RecordOutside)
        << "a slot array of zeros";
    EXPECT_EQ(pageStructureFault(Page{}), StructureFault::None) << "an empty page has no structure";
}

}  // namespace
}  // namespace mdf
