// The written file judged as a database, on the five real files of the shared test data: each is
// clean as SQL Server left it, and each kind of damage a recovery can do to one page names that
// page and no other.
#include "assembly/file_verdict.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "source/byte_order.h"
#include "testworld/fidelity_world.h"
#include "testworld/temp_dir.h"

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

Verdict judge(const PageFile& file, const std::map<std::int32_t, PageSource>& sources = {},
              const std::map<std::int32_t, LogSequence>& newest = {}) {
    FileVerifier verifier;
    verifier.newestCopies(newest);
    for (std::size_t p = 0; p < file.size(); ++p) {
        const auto id = static_cast<std::int32_t>(p);
        auto source = sources.find(id);
        verifier.page(id, file[p], source == sources.end() ? PageSource::Run : source->second);
    }
    return verifier.finish();
}

// Every page any list names.
std::set<std::int32_t> named(const Verdict& v) {
    const VerdictFindings& f = v.findings;
    std::set<std::int32_t> all;
    for (const auto* list :
         {&f.missingAllocated, &f.missingAllocationUnknown, &f.unreadable, &f.failingProtection,
          &f.failingStructure, &f.unverifiable, &f.otherDatabase, &f.staleCopy})
        all.insert(list->begin(), list->end());
    for (const auto& [a, b] : f.brokenLinks)
        all.insert({a, b});
    return all;
}

// The first allocated page of the file that is of this type and carries (or lacks) protection.
std::int32_t pageOf(const PageFile& file, std::uint8_t type, bool protectedPage) {
    for (std::int32_t p : test::allocatedPages(file)) {
        const Page& page = file[static_cast<std::size_t>(p)];
        if (page[1] == type && ((page[5] & 0x0F) != 0) == protectedPage && loadU16(&page[22]) > 2)
            return p;
    }
    return -1;
}

TEST(FileVerdict, EveryRealFileIsWholeAsSqlServerLeftIt) {
    for (const char* name : kRealFiles) {
        test::TempDir dir;
        const std::string path = std::string(MDF_TESTDATA_DIR) + "/" + name;
        std::string error;
        const auto v = verifyMdfFile(path, error);
        ASSERT_TRUE(v) << error;
        EXPECT_TRUE(v->complete) << name;
        EXPECT_TRUE(named(*v).empty()) << name << ": " << *named(*v).begin();
        EXPECT_EQ(v->allocatedPages,
                  static_cast<std::int64_t>(test::allocatedPages(realFile(name)).size()))
            << name;
        EXPECT_EQ(v->verifiedPages + v->soundPages, v->allocatedPages) << name;
    }
}

struct Damage {
    const char* file;
    const char* what;
    std::function<std::int32_t(PageFile&)> apply;  // the page damaged
    const std::vector<std::int32_t> VerdictFindings::*list;
    std::map<std::int32_t, PageSource> sources = {};
};

TEST(FileVerdict, EachKindOfDamageNamesItsPageAndNoOther) {
    const PageFile examination = realFile("db_Examination_sql2016_created2000.mdf");
    const PageFile asp = realFile("aspnetdb_sql2005.mdf");
    const std::vector<Damage> damages = {
        {"pubs_sql2008.mdf", "an allocated data page written as zeros",
         [](PageFile& f) {
             const std::int32_t p = pageOf(f, 1, true);
             f[static_cast<std::size_t>(p)] = Page{};
             return p;
         },
         &VerdictFindings::missingAllocated},
        {"IMS_sql2012_mixedprotection.mdf", "a flipped byte in a page with a checksum",
         [](PageFile& f) {
             const std::int32_t p = pageOf(f, 2, true);
             f[static_cast<std::size_t>(p)][5000] ^= 0x10;
             return p;
         },
         &VerdictFindings::failingProtection},
        {"db_Examination_sql2016_created2000.mdf",
         "a slot offset moved in a page without protection",
         [](PageFile& f) {
             const std::int32_t p = pageOf(f, 1, false);
             Page& page = f[static_cast<std::size_t>(p)];
             storeU16(&page[8190], static_cast<std::uint16_t>(loadU16(&page[8190]) + 3));
             return p;
         },
         &VerdictFindings::failingStructure},
        {"db_Examination_sql2016_created2000.mdf",
         "a second half from the next cluster on the disk",
         [&](PageFile& f) {
             const std::int32_t p = pageOf(f, 2, false);
             std::copy_n(examination[static_cast<std::size_t>(p) + 1].begin() + 4096, 4096,
                         f[static_cast<std::size_t>(p)].begin() + 4096);
             return p;
         },
         &VerdictFindings::failingStructure},
        {"pubs_sql2008.mdf", "another database's page of the same id",
         [&](PageFile& f) {
             const std::int32_t p = pageOf(f, 1, true);
             f[static_cast<std::size_t>(p)] = asp[static_cast<std::size_t>(pageOf(asp, 1, true))];
             storeU32(&f[static_cast<std::size_t>(p)][32], static_cast<std::uint32_t>(p));
             return p;
         },
         &VerdictFindings::failingProtection},
        {"db_Examination_sql2016_created2000.mdf",
         "another database's page (as a database without protection would have it)",
         [&](PageFile& f) {
             const std::int32_t p = pageOf(f, 1, false);
             Page page = asp[static_cast<std::size_t>(pageOf(asp, 1, true))];
             page[5] &= 0xF0;
             storeU32(&page[32], static_cast<std::uint32_t>(p));
             f[static_cast<std::size_t>(p)] = page;
             return p;
         },
         &VerdictFindings::otherDatabase},
        {"db_Examination_sql2016_created2000.mdf", "a page at another page's place",
         [](PageFile& f) {
             const std::int32_t p = pageOf(f, 1, false);
             f[static_cast<std::size_t>(p)] = f[static_cast<std::size_t>(pageOf(f, 2, false))];
             return p;
         },
         &VerdictFindings::failingStructure},
        {"db_Examination_sql2016_created2000.mdf",
         "a page without protection pieced together",
         [](PageFile& f) { return pageOf(f, 1, false); },
         &VerdictFindings::unverifiable,
         {}},
    };
    for (const Damage& d : damages) {
        SCOPED_TRACE(std::string(d.file) + ": " + d.what);
        PageFile file = realFile(d.file);
        const std::int32_t p = d.apply(file);
        ASSERT_GE(p, 0);
        std::map<std::int32_t, PageSource> sources = d.sources;
        if (d.list == &VerdictFindings::unverifiable) sources[p] = PageSource::Pieced;
        const Verdict v = judge(file, sources);
        EXPECT_FALSE(v.complete);
        EXPECT_EQ(v.findings.*d.list, std::vector<std::int32_t>{p});
        EXPECT_EQ(named(v), std::set<std::int32_t>{p});
    }
}

// The page the assembly wrote is older than a copy the scan saw that verifies and that the
// file's header pages allow; and a link one page of a chain names that the other does not.
TEST(FileVerdict, AnOlderCopyAndALinkThatDisagreesAreNamed) {
    const PageFile file = realFile("pubs_sql2008.mdf");
    const std::int32_t p = pageOf(file, 1, true);
    LogSequence newer = pageLogSequence(file[static_cast<std::size_t>(p)]);
    ++newer.slot;
    Verdict v = judge(file, {}, {{p, newer}});
    EXPECT_FALSE(v.complete);
    EXPECT_EQ(v.findings.staleCopy, std::vector<std::int32_t>{p});

    PageFile linked = realFile("db_Examination_sql2016_created2000.mdf");
    std::int32_t a = -1, b = -1;
    for (std::int32_t q : test::allocatedPages(linked)) {
        const Page& page = linked[static_cast<std::size_t>(q)];
        if (page[1] == 1 && loadI32(&page[16]) > 0) {
            a = q;
            b = loadI32(&page[16]);
            break;
        }
    }
    ASSERT_GT(b, 0);
    storeU32(&linked[static_cast<std::size_t>(b)][8], static_cast<std::uint32_t>(b + 1000));
    v = judge(linked);
    EXPECT_EQ(v.findings.brokenLinks, (std::vector<std::pair<std::int32_t, std::int32_t>>{{a, b}}));
    EXPECT_FALSE(v.complete);
}

// Without its first PFS page nothing tells which pages the file used: a page no fragment held is
// named as lost with its allocation unknown, while a page read as zeros from the source (as pages
// 4 and 5 of every file are) and every page read whole are judged as they are.
TEST(FileVerdict, WithoutThePfsPageAPageNotFoundIsNamedAsOfUnknownAllocation) {
    PageFile file = realFile("IMS_sql2012_mixedprotection.mdf");
    const std::int32_t lost = pageOf(file, 1, true);
    ASSERT_GE(lost, 8) << "a page no rule of the format allocates";
    ASSERT_EQ(file[4], Page{});
    file[1] = Page{};
    file[static_cast<std::size_t>(lost)] = Page{};
    const Verdict v = judge(file, {{1, PageSource::Gap}, {lost, PageSource::Gap}});
    EXPECT_FALSE(v.complete);
    EXPECT_EQ(v.findings.missingAllocated, std::vector<std::int32_t>{1});
    EXPECT_EQ(v.findings.missingAllocationUnknown, std::vector<std::int32_t>{lost});
    EXPECT_EQ(named(v), (std::set<std::int32_t>{1, lost}));
}

}  // namespace
}  // namespace mdf
