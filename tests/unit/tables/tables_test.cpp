// The tables and rows of the real database files of the shared test data: row counts against
// the catalogue's own and against a count of records made here from page headers and slot arrays
// alone, pubs' rows against the script that created that database, and partial files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

#include "tables/catalogue.h"
#include "tables/row_export.h"
#include "tables/table_census.h"

namespace mdf {
namespace {

std::string testFile(const std::string& name) {
    return std::string(MDF_TESTDATA_DIR) + "/" + name;
}

struct Census {
    std::unique_ptr<DatabasePages> file;
    Catalogue catalogue;
    FileCensus census;
};

Census censusOf(const std::string& path) {
    Census c;
    std::string error;
    c.file = DatabasePages::open(path, error);
    EXPECT_TRUE(c.file) << error;
    if (!c.file) return c;
    c.catalogue = readCatalogue(*c.file);
    c.census = takeCensus(*c.file, c.catalogue);
    return c;
}

const TableCensus* table(const FileCensus& census, const std::string& name) {
    for (const TableCensus& t : census.tables)
        if (t.qualifiedName() == name) return &t;
    return nullptr;
}

// Rows counted without the code under test: records of a row kind (status bits 1-3 are 0 or 1)
// in the slot arrays of the data pages (type 1, leaf) that carry their own page id, whose
// header's object and index id give the unit (index 0 for the data pages of a file upgraded from
// SQL Server 2000), and that the PFS byte marks allocated.
std::int64_t recordsOnDataPages(const std::vector<std::uint8_t>& bytes, std::uint64_t unit) {
    auto u16 = [&](std::size_t at) { return bytes[at] | (bytes[at + 1] << 8); };
    auto u32 = [&](std::size_t at) {
        return std::uint32_t(u16(at)) | (std::uint32_t(u16(at + 2)) << 16);
    };
    const std::size_t pfsRecord = 8192 + u16(8192 + 8190);
    std::int64_t rows = 0;
    for (std::size_t page = 0; page * 8192 < bytes.size(); ++page) {
        const std::size_t p = page * 8192;
        const std::uint64_t header =
            (std::uint64_t(u16(p + 6)) << 48) | (std::uint64_t(u32(p + 24)) << 16);
        const bool ofUnit = header == unit || (unit >> 48 == 1 && unit < (1ull << 56) &&
                                               header == (unit & ((1ull << 48) - 1)));
        if (!ofUnit || bytes[p + 1] != 1 || bytes[p + 3] != 0 || u32(p + 32) != page ||
            !(bytes[pfsRecord + 4 + page] & 0x40))
            continue;
        for (int slot = 0; slot < u16(p + 22); ++slot) {
            const std::size_t offset = u16(p + 8190 - 2 * slot);
            if (offset >= 96 && ((bytes[p + offset] >> 1) & 7) <= 1) ++rows;
        }
    }
    return rows;
}

std::vector<std::uint8_t> bytesOf(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(Tables, EveryTableOfEveryRealFileWithItsRows) {
    // pubs: the counts the sample's own script leaves.
    const std::map<std::string, std::int64_t> pubs{
        {"dbo.authors", 23}, {"dbo.publishers", 8}, {"dbo.titles", 18},   {"dbo.titleauthor", 25},
        {"dbo.stores", 6},   {"dbo.sales", 21},     {"dbo.roysched", 86}, {"dbo.discounts", 3},
        {"dbo.jobs", 14},    {"dbo.pub_info", 8},   {"dbo.employee", 43}};
    const Census c = censusOf(testFile("pubs_sql2008.mdf"));
    ASSERT_EQ(c.census.tables.size(), pubs.size());
    for (const auto& [name, rows] : pubs) {
        const TableCensus* t = table(c.census, name);
        ASSERT_TRUE(t) << name;
        EXPECT_EQ(t->rows, rows) << name;
        EXPECT_TRUE(t->whole()) << name;
    }

    struct Case {
        const char* file;
        std::size_t tables;
        std::int64_t rows;  // in all tables
    };
    for (const Case& k : {Case{"pubs_sql2008.mdf", 11, 255}, Case{"aspnetdb_sql2005.mdf", 7, 4},
                          Case{"db_Examination_sql2016_created2000.mdf", 8, 23},
                          Case{"PayrollDatabase1_sql2008_cjk.mdf", 1, 0},
                          Case{"IMS_sql2012_mixedprotection.mdf", 8, 20}}) {
        SCOPED_TRACE(k.file);
        const Census f = censusOf(testFile(k.file));
        const std::vector<std::uint8_t> bytes = bytesOf(testFile(k.file));
        EXPECT_TRUE(f.census.catalogueWhole());
        EXPECT_TRUE(f.census.unknownUnits.empty());
        ASSERT_EQ(f.census.tables.size(), k.tables);
        std::int64_t all = 0;
        for (const TableCensus& t : f.census.tables) {
            std::int64_t counted = 0;
            for (std::uint64_t unit : t.units)
                counted += recordsOnDataPages(bytes, unit);
            // Nonclustered index leaves are not data pages; each unit is counted once.
            EXPECT_EQ(t.rows, counted) << t.qualifiedName();
            EXPECT_EQ(t.rows, t.catalogueRows) << t.qualifiedName();
            EXPECT_TRUE(t.whole()) << t.qualifiedName();
            all += t.rows;
        }
        EXPECT_EQ(all, k.rows);
    }
}

// Runs the sqlite3 shell on a file and gives what it prints.
std::string sqlite(const std::string& db, const std::string& query) {
    const std::string command = "sqlite3 -separator '|' '" + db + "' \"" + query + "\"";
    std::string out;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return out;
    std::array<char, 4096> buffer{};
    while (std::size_t n = std::fread(buffer.data(), 1, buffer.size(), pipe))
        out.append(buffer.data(), n);
    ::pclose(pipe);
    return out;
}

struct Exported {
    std::vector<TableExport> account;
    std::string db;
};

Exported exportToSqlite(const std::string& mdf, const std::string& dir) {
    Exported e;
    const Census c = censusOf(mdf);
    e.db = dir + "/rows.db";
    OutputGuard guard;
    guard.sourcePath = mdf;
    const std::unique_ptr<RowSink> sink = sqliteSink(e.db, guard);
    EXPECT_TRUE(exportRows(*c.file, c.catalogue, c.census, {}, *sink, e.account)) << sink->error();
    return e;
}

struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/mdf-tables-XXXXXX";
        path = ::mkdtemp(name);
    }
    ~TempDir() { std::filesystem::remove_all(path); }
};

// Values from instpubs.sql, the script published with the sample that created this database:
// names, money, dates, and the rows whose defaults the script leaves to the server (MC3026,
// PC9999: no price, no date given) as null.
TEST(Tables, PubsRowsAreTheRowsOfTheScriptThatMadeThem) {
    TempDir dir;
    const Exported e = exportToSqlite(testFile("pubs_sql2008.mdf"), dir.path);
    for (const TableExport& t : e.account) {
        EXPECT_EQ(t.pagesMissing, 0) << t.table;
        EXPECT_TRUE(t.notDecoded.empty()) << t.table;
    }
    EXPECT_EQ(sqlite(e.db,
                     "select au_id, au_lname, au_fname, phone, address, city, state, zip, "
                     "contract from authors where au_id in ('172-32-1176', '267-41-2394', "
                     "'472-27-2349', '998-72-3567') order by au_id"),
              "172-32-1176|White|Johnson|408 496-7223|10932 Bigge Rd.|Menlo Park|CA|94025|1\n"
              "267-41-2394|O'Leary|Michael|408 286-2428|22 Cleveland Av. #14|San Jose|CA|95128|1\n"
              "472-27-2349|Gringlesby|Burt|707 938-6445|PO Box 792|Covelo|CA|95428|1\n"
              "998-72-3567|Ringer|Albert|801 826-0752|67 Seventh Av.|Salt Lake City|UT|84152|1\n");
    EXPECT_EQ(sqlite(e.db, "select count(*), sum(contract) from authors"), "23|19\n");
    EXPECT_EQ(sqlite(e.db,
                     "select title_id, title, rtrim(type), pub_id, price, advance, royalty, "
                     "ytd_sales, pubdate from titles where title_id in ('PC8888', 'BU2075', "
                     "'MC3021', 'TC4203', 'PS2106') order by title_id"),
              "BU2075|You Can Combat Computer Stress!|business|0736|2.9900|10125.0000|24|18722|"
              "1991-06-30 00:00:00.000\n"
              "MC3021|The Gourmet Microwave|mod_cook|0877|2.9900|15000.0000|24|22246|"
              "1991-06-18 00:00:00.000\n"
              "PC8888|Secrets of Silicon Valley|popular_comp|1389|20.0000|8000.0000|10|4095|"
              "1994-06-12 00:00:00.000\n"
              "PS2106|Life Without Fear|psychology|0736|7.0000|6000.0000|10|111|"
              "1991-10-05 00:00:00.000\n"
              "TC4203|Fifty Years in Buckingham Palace Kitchens|trad_cook|0877|11.9500|4000.0000|"
              "14|15096|1991-06-12 00:00:00.000\n");
    EXPECT_EQ(sqlite(e.db,
                     "select title_id, price is null, advance is null, royalty is null, "
                     "notes from titles where title_id in ('MC3026', 'PC9999') order by 1"),
              "MC3026|1|1|1|\nPC9999|1|1|1|A must-read for computer conferencing.\n");
    EXPECT_EQ(sqlite(e.db, "select count(*), sum(qty) from sales"), "21|493\n");
    EXPECT_EQ(sqlite(e.db,
                     "select stor_id, ord_num, ord_date, qty, payterms, title_id from sales "
                     "where ord_num in ('QA7442.3', 'P3087a', 'X999') order by ord_num, "
                     "title_id"),
              "7131|P3087a|1993-05-29 00:00:00.000|20|Net 60|PS1372\n"
              "7131|P3087a|1993-05-29 00:00:00.000|25|Net 60|PS2106\n"
              "7131|P3087a|1993-05-29 00:00:00.000|15|Net 60|PS3333\n"
              "7131|P3087a|1993-05-29 00:00:00.000|25|Net 60|PS7777\n"
              "7066|QA7442.3|1994-09-13 00:00:00.000|75|ON invoice|PS2091\n"
              "7896|X999|1993-02-21 00:00:00.000|35|ON invoice|BU2075\n");
    EXPECT_EQ(sqlite(e.db,
                     "select discounttype, stor_id, lowqty, highqty, discount from discounts"
                     " order by discount + 0"),
              "Customer Discount|8042|||5.00\nVolume Discount||100|1000|6.70\n"
              "Initial Customer||||10.50\n");
    // text and image through their LOB pages: the GIF logos and the publisher texts.
    EXPECT_EQ(sqlite(e.db,
                     "select count(*) from pub_info where hex(substr(logo, 1, 6)) = "
                     "'474946383961' and pr_info like 'This is sample text data for %'"),
              "8\n");
    EXPECT_EQ(sqlite(e.db, "select length(pr_info) > 60000 from pub_info where pub_id = '0736'"),
              "1\n");
}

// Chinese text kept as varchar under a Chinese collation (code page 936) and as nvarchar.
TEST(Tables, ChineseTextComesOutRight) {
    TempDir dir;
    const Exported e = exportToSqlite(testFile("db_Examination_sql2016_created2000.mdf"), dir.path);
    EXPECT_EQ(sqlite(e.db, "select ID, Name from tb_Lesson order by ID"),
              "1|大学数据\n2|大学英语\n3|C# 网页设计\n");
    EXPECT_EQ(sqlite(e.db, "select Name, Sex from tb_Student where ID = '0000000000000001'"),
              "明明|男\n");
    // A computed column has no stored value: null, and named, but nothing is missing.
    for (const TableExport& t : e.account)
        if (t.table == "dbo.tb_StuResult") {
            EXPECT_EQ(t.notStored, std::vector<std::string>{"res_total"});
        }
}

std::string partialCopy(const std::string& dir, const std::vector<int>& zeroPages) {
    std::vector<std::uint8_t> bytes = bytesOf(testFile("pubs_sql2008.mdf"));
    for (int p : zeroPages)
        std::fill_n(bytes.begin() + p * 8192, 8192, 0);
    const std::string path = dir + "/partial.mdf";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
}

std::set<std::string> hitTables(const FileCensus& census) {
    std::set<std::string> hit;
    for (const TableCensus& t : census.tables)
        if (!t.whole()) hit.insert(t.qualifiedName());
    return hit;
}

// Pages found by reading pubs' headers: the data pages of authors (90) and sales (192), and the
// IAM page of titles' rows (148).
TEST(Tables, APartialFileNamesExactlyTheTablesHit) {
    TempDir dir;
    {
        const std::string path = partialCopy(dir.path, {90, 192});
        const Census c = censusOf(path);
        EXPECT_EQ(hitTables(c.census), (std::set<std::string>{"dbo.authors", "dbo.sales"}));
        EXPECT_EQ(table(c.census, "dbo.authors")->pagesMissing, std::vector<std::int32_t>{90});
        EXPECT_EQ(table(c.census, "dbo.sales")->pagesMissing, std::vector<std::int32_t>{192});
        EXPECT_EQ(table(c.census, "dbo.titles")->rows, 18);

        const Exported e = exportToSqlite(path, dir.path);
        for (const TableExport& t : e.account) {
            const bool hit = t.table == "dbo.authors" || t.table == "dbo.sales";
            EXPECT_EQ(t.pagesMissing, hit ? 1 : 0) << t.table;
        }
        EXPECT_EQ(sqlite(e.db,
                         "select count(*) from authors; select count(*) from titles; "
                         "select pages_missing from _recovery where \\\"table\\\" = 'dbo.sales'"),
                  "0\n18\n1\n");
        std::filesystem::remove(e.db);
    }
    {
        const Census c = censusOf(partialCopy(dir.path, {148}));
        EXPECT_EQ(hitTables(c.census), std::set<std::string>{"dbo.titles"});
        const TableCensus* titles = table(c.census, "dbo.titles");
        EXPECT_EQ(titles->lostIamPages, std::vector<std::int32_t>{148});
        EXPECT_EQ(titles->rows, 18);  // its data page is still there, found by its header
        EXPECT_EQ(
            tablesHit(c.census),
            std::vector<std::string>{"dbo.titles: its allocation map is lost (IAM page 148)"});
    }
}

}  // namespace
}  // namespace mdf
