// The tables and rows of the real database files of the shared test data: row counts against
// the catalogue's own and against a count of records made here from page headers and slot arrays
// alone, pubs' rows against the script that created that database, and partial files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>

#include "assembly/sha256.h"
#include "tables/catalogue.h"
#include "tables/column_values.h"
#include "tables/record.h"
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
    const std::string before = sha256OfFile(mdf);
    const Census c = censusOf(mdf);
    e.db = dir + "/rows.db";
    OutputGuard guard;
    guard.sourcePath = mdf;
    const std::unique_ptr<RowSink> sink = sqliteSink(e.db, guard);
    EXPECT_TRUE(exportRows(*c.file, c.catalogue, c.census, {}, *sink, e.account)) << sink->error();
    EXPECT_EQ(sha256OfFile(mdf), before) << "the file read was written to";
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

// Rows of authors, titles and sales as instpubs.sql inserts them: the script published with the
// sample that created this database, in its own notation ($ money, mm/dd/yy dates, 3 into a bit).
constexpr const char* kScriptAuthors =
    R"(409-56-7008|Bennet|Abraham|415 658-9932|6223 Bateman St.|Berkeley|CA|94705|1
213-46-8915|Green|Marjorie|415 986-7020|309 63rd St. #411|Oakland|CA|94618|1
238-95-7766|Carson|Cheryl|415 548-7723|589 Darwin Ln.|Berkeley|CA|94705|1
998-72-3567|Ringer|Albert|801 826-0752|67 Seventh Av.|Salt Lake City|UT|84152|1
899-46-2035|Ringer|Anne|801 826-0752|67 Seventh Av.|Salt Lake City|UT|84152|1
722-51-5454|DeFrance|Michel|219 547-9982|3 Balding Pl.|Gary|IN|46403|1
807-91-6654|Panteley|Sylvia|301 946-8853|1956 Arlington Pl.|Rockville|MD|20853|1
893-72-1158|McBadden|Heather|707 448-4982|301 Putnam|Vacaville|CA|95688|0
724-08-9931|Stringer|Dirk|415 843-2991|5420 Telegraph Av.|Oakland|CA|94609|0
274-80-9391|Straight|Dean|415 834-2919|5420 College Av.|Oakland|CA|94609|1
756-30-7391|Karsen|Livia|415 534-9219|5720 McAuley St.|Oakland|CA|94609|1
724-80-9391|MacFeather|Stearns|415 354-7128|44 Upland Hts.|Oakland|CA|94612|1
427-17-2319|Dull|Ann|415 836-7128|3410 Blonde St.|Palo Alto|CA|94301|1
672-71-3249|Yokomoto|Akiko|415 935-4228|3 Silver Ct.|Walnut Creek|CA|94595|1
267-41-2394|O'Leary|Michael|408 286-2428|22 Cleveland Av. #14|San Jose|CA|95128|1
472-27-2349|Gringlesby|Burt|707 938-6445|PO Box 792|Covelo|CA|95428|3
527-72-3246|Greene|Morningstar|615 297-2723|22 Graybar House Rd.|Nashville|TN|37215|0
172-32-1176|White|Johnson|408 496-7223|10932 Bigge Rd.|Menlo Park|CA|94025|1
712-45-1867|del Castillo|Innes|615 996-8275|2286 Cram Pl. #86|Ann Arbor|MI|48105|1
846-92-7186|Hunter|Sheryl|415 836-7128|3410 Blonde St.|Palo Alto|CA|94301|1
486-29-1786|Locksley|Charlene|415 585-4620|18 Broadway Av.|San Francisco|CA|94130|1
648-92-1872|Blotchet-Halls|Reginald|503 745-6402|55 Hillsdale Bl.|Corvallis|OR|97330|1
341-22-1782|Smith|Meander|913 843-0462|10 Mississippi Dr.|Lawrence|KS|66044|0)";
constexpr const char* kScriptTitles =
    R"(PC8888|Secrets of Silicon Valley|popular_comp|1389|$20.00|$8000.00|10|4095|06/12/94
BU1032|The Busy Executive's Database Guide|business|1389|$19.99|$5000.00|10|4095|06/12/91
PS7777|Emotional Security: A New Algorithm|psychology|0736|$7.99|$4000.00|10|3336|06/12/91
PS3333|Prolonged Data Deprivation: Four Case Studies|psychology|0736|$19.99|$2000.00|10|4072|06/12/91
BU1111|Cooking with Computers: Surreptitious Balance Sheets|business|1389|$11.95|$5000.00|10|3876|06/09/91
MC2222|Silicon Valley Gastronomic Treats|mod_cook|0877|$19.99|$0.00|12|2032|06/09/91
TC7777|Sushi, Anyone?|trad_cook|0877|$14.99|$8000.00|10|4095|06/12/91
TC4203|Fifty Years in Buckingham Palace Kitchens|trad_cook|0877|$11.95|$4000.00|14|15096|06/12/91
PC1035|But Is It User Friendly?|popular_comp|1389|$22.95|$7000.00|16|8780|06/30/91
BU2075|You Can Combat Computer Stress!|business|0736|$2.99|$10125.00|24|18722|06/30/91
PS2091|Is Anger the Enemy?|psychology|0736|$10.95|$2275.00|12|2045|06/15/91
PS2106|Life Without Fear|psychology|0736|$7.00|$6000.00|10|111|10/05/91
MC3021|The Gourmet Microwave|mod_cook|0877|$2.99|$15000.00|24|22246|06/18/91
TC3218|Onions, Leeks, and Garlic: Cooking Secrets of the Mediterranean|trad_cook|0877|$20.95|$7000.00|10|375|10/21/91
BU7832|Straight Talk About Computers|business|1389|$19.99|$5000.00|10|4095|06/22/91
PS1372|Computer Phobic AND Non-Phobic Individuals: Behavior Variations|psychology|0877|$21.59|$7000.00|10|375|10/21/91)";
constexpr const char* kScriptSales = R"(7066|QA7442.3|09/13/94|75|ON invoice|PS2091
7067|D4482|09/14/94|10|Net 60|PS2091
7131|N914008|09/14/94|20|Net 30|PS2091
7131|N914014|09/14/94|25|Net 30|MC3021
8042|423LL922|09/14/94|15|ON invoice|MC3021
8042|423LL930|09/14/94|10|ON invoice|BU1032
6380|722a|09/13/94|3|Net 60|PS2091
6380|6871|09/14/94|5|Net 60|BU1032
8042|P723|03/11/93|25|Net 30|BU1111
7896|X999|02/21/93|35|ON invoice|BU2075
7896|QQ2299|10/28/93|15|Net 60|BU7832
7896|TQ456|12/12/93|10|Net 60|MC2222
8042|QA879.1|5/22/93|30|Net 30|PC1035
7066|A2976|5/24/93|50|Net 30|PC8888
7131|P3087a|5/29/93|20|Net 60|PS1372
7131|P3087a|5/29/93|25|Net 60|PS2106
7131|P3087a|5/29/93|15|Net 60|PS3333
7131|P3087a|5/29/93|25|Net 60|PS7777
7067|P2121|6/15/92|40|Net 30|TC3218
7067|P2121|6/15/92|20|Net 30|TC4203
7067|P2121|6/15/92|20|Net 30|TC7777)";

std::vector<std::string> split(const std::string& text, char by) {
    std::vector<std::string> parts;
    std::string part;
    for (char c : text) {
        if (c == by) {
            parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    parts.push_back(part);
    return parts;
}

// The script's notation as the export writes it: mm/dd/yy as 19yy-mm-dd 00:00:00.000, $12.5 as
// 12.5000, any bit other than 0 as 1.
std::string scriptDate(const std::string& mdy) {
    const std::vector<std::string> p = split(mdy, '/');
    return "19" + p[2] + "-" + (p[0].size() == 1 ? "0" : "") + p[0] + "-" + p[1] + " 00:00:00.000";
}
std::string scriptMoney(const std::string& dollars) {
    const std::vector<std::string> p = split(dollars.substr(1), '.');
    return p[0] + "." + (p[1] + "0000").substr(0, 4);
}

// The script's rows in the order of their first field (and the last, for sales), as lines.
std::string scriptRows(const char* rows, const std::function<void(std::vector<std::string>&)>& as) {
    std::vector<std::string> lines;
    for (const std::string& line : split(rows, '\n')) {
        std::vector<std::string> f = split(line, '|');
        as(f);
        std::string joined;
        for (const std::string& field : f)
            joined += (joined.empty() ? "" : "|") + field;
        lines.push_back(joined);
    }
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const std::string& l : lines)
        out += l + "\n";
    return out;
}

std::string sortedLines(const std::string& text) {
    std::vector<std::string> lines = split(text, '\n');
    if (!lines.empty() && lines.back().empty()) lines.pop_back();
    std::sort(lines.begin(), lines.end());
    std::string out;
    for (const std::string& l : lines)
        out += l + "\n";
    return out;
}

TEST(Tables, PubsRowsAreTheRowsOfTheScriptThatMadeThem) {
    TempDir dir;
    const Exported e = exportToSqlite(testFile("pubs_sql2008.mdf"), dir.path);
    for (const TableExport& t : e.account) {
        EXPECT_EQ(t.pagesMissing, 0) << t.table;
        EXPECT_TRUE(t.notDecoded.empty()) << t.table;
    }
    EXPECT_EQ(
        sortedLines(sqlite(e.db,
                           "select au_id, au_lname, au_fname, phone, address, city, state, zip, "
                           "contract from authors order by 1")),
        scriptRows(kScriptAuthors,
                   [](std::vector<std::string>& f) { f[8] = f[8] == "0" ? "0" : "1"; }));
    // type is char(12): kept padded with blanks, as the server keeps it.
    EXPECT_EQ(
        sortedLines(sqlite(e.db,
                           "select title_id, title, rtrim(type), pub_id, price, advance, royalty, "
                           "ytd_sales, pubdate from titles where price is not null order by 1")),
        scriptRows(kScriptTitles, [](std::vector<std::string>& f) {
            f[4] = scriptMoney(f[4]);
            f[5] = scriptMoney(f[5]);
            f[8] = scriptDate(f[8]);
        }));
    // The two titles inserted without price or date: the server's defaults, nulls where none.
    EXPECT_EQ(sqlite(e.db,
                     "select title_id, price is null, advance is null, royalty is null, "
                     "notes from titles where price is null order by 1"),
              "MC3026|1|1|1|\nPC9999|1|1|1|A must-read for computer conferencing.\n");
    EXPECT_EQ(
        sortedLines(sqlite(e.db,
                           "select stor_id, ord_num, ord_date, qty, payterms, title_id from sales "
                           "order by 1, 2, 6")),
        scriptRows(kScriptSales, [](std::vector<std::string>& f) { f[2] = scriptDate(f[2]); }));
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

// A row deleted but not yet cleaned away: authors' first record marked a ghost (its page's
// protection taken off, so that the page is judged by its structure). It is no row of the table;
// --include-deleted gives it back in _deleted_authors.
TEST(Tables, ADeletedRowIsNotARowButCanBeHadBack) {
    TempDir dir;
    std::vector<std::uint8_t> bytes = bytesOf(testFile("pubs_sql2008.mdf"));
    std::uint8_t* page = &bytes[90 * 8192];
    const std::size_t first = page[8190] | (page[8191] << 8);
    page[first] = static_cast<std::uint8_t>((page[first] & ~0x0E) | (6 << 1));
    page[5] &= 0xF0;
    const std::string path = dir.path + "/ghost.mdf";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));

    const Census c = censusOf(path);
    EXPECT_EQ(table(c.census, "dbo.authors")->rows, 22);
    EXPECT_TRUE(table(c.census, "dbo.authors")->whole());
    const std::string db = dir.path + "/ghost.db";
    OutputGuard guard;
    guard.sourcePath = path;
    const std::unique_ptr<RowSink> sink = sqliteSink(db, guard);
    std::vector<TableExport> account;
    ASSERT_TRUE(exportRows(*c.file, c.catalogue, c.census, {"dbo.authors", true}, *sink, account));
    ASSERT_EQ(account.size(), 1u);
    EXPECT_EQ(account[0].rowsWritten, 22);
    EXPECT_EQ(account[0].deletedRowsWritten, 1);
    EXPECT_EQ(sqlite(db,
                     "select count(*) from authors; select au_id, au_lname from _deleted_authors"
                     "; select au_id from authors where au_id = '172-32-1176'"),
              "22\n172-32-1176|White\n");
}

// sysschobjs' data pages lost (found by their headers: object 34, index 1): the tables lose
// their names, not their rows. pubs' authors is object 2105058535.
TEST(Tables, TablesWhoseNamesAreLostStillGiveTheirRows) {
    TempDir dir;
    std::vector<std::uint8_t> bytes = bytesOf(testFile("pubs_sql2008.mdf"));
    int lost = 0;
    for (std::size_t page = 0; page * 8192 < bytes.size(); ++page) {
        std::uint8_t* p = &bytes[page * 8192];
        if (p[1] == 1 && (p[6] | p[7] << 8) == 1 && (p[24] | p[25] << 8) == 34 && !p[26] &&
            !p[27]) {
            std::fill_n(p, 8192, 0);
            ++lost;
        }
    }
    ASSERT_GT(lost, 0);
    const std::string path = dir.path + "/nameless.mdf";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));

    const Census c = censusOf(path);
    EXPECT_FALSE(c.census.catalogueWhole());
    const TableCensus* authors = table(c.census, "unknown.object_2105058535");
    ASSERT_TRUE(authors);
    EXPECT_EQ(authors->rows, 23);
    const Exported e = exportToSqlite(path, dir.path);
    EXPECT_EQ(sqlite(e.db,
                     "select au_lname, city from \\\"unknown.object_2105058535\\\" where au_id = "
                     "'172-32-1176'"),
              "White|Menlo Park\n");
}

// Names come from the file's catalogue, and a damaged one can give any: the export keeps every
// table and column apart, keeps its own account's name, and never writes outside its folder.
TEST(Tables, NamesFromADamagedCatalogueNeverClashOrLeaveTheFolder) {
    TempDir dir;
    Census c = censusOf(testFile("pubs_sql2008.mdf"));
    for (auto& [id, t] : c.catalogue.tables) {
        if (t.name == "authors") t.name = "_recovery";
        if (t.name == "titles") t.name = "../../Jobs";
        if (t.name == "jobs") t.columns[1].name = "JOB_ID";  // as job_id, in another case
    }
    OutputGuard guard;
    guard.sourcePath = testFile("pubs_sql2008.mdf");
    std::vector<TableExport> account;
    const std::unique_ptr<RowSink> sqliteRows = sqliteSink(dir.path + "/rows.db", guard);
    ASSERT_TRUE(exportRows(*c.file, c.catalogue, c.census, {}, *sqliteRows, account))
        << sqliteRows->error();
    EXPECT_EQ(sqlite(dir.path + "/rows.db",
                     "select count(*) from _recovery; select count(*) from _recovery_2; "
                     "select count(*) from \\\"../../Jobs\\\"; select count(*) from jobs"),
              "11\n23\n18\n14\n");

    const std::string folder = dir.path + "/csv";
    std::filesystem::create_directory(folder);
    account.clear();
    const std::unique_ptr<RowSink> csvRows = csvSink(folder, guard, false);
    ASSERT_TRUE(exportRows(*c.file, c.catalogue, c.census, {}, *csvRows, account))
        << csvRows->error();
    std::set<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        files.insert(entry.path().filename().string());
    EXPECT_TRUE(files.count("_recovery.csv") && files.count("_recovery_2.csv") &&
                files.count("_.._.._Jobs.csv") && files.count("jobs.csv"));
    EXPECT_EQ(files.size(), 12u);
    EXPECT_FALSE(std::filesystem::exists(dir.path + "/Jobs.csv"));
    std::ifstream jobs(folder + "/jobs.csv");
    std::string header;
    std::getline(jobs, header);
    EXPECT_EQ(header, "job_id,JOB_ID_2,min_lvl,max_lvl\r");
    // A second export into the same folder replaces nothing unless told to.
    account.clear();
    const std::unique_ptr<RowSink> again = csvSink(folder, guard, false);
    EXPECT_FALSE(exportRows(*c.file, c.catalogue, c.census, {}, *again, account));
    EXPECT_NE(again->error().find("exists"), std::string::npos);
    EXPECT_EQ(sha256OfFile(testFile("pubs_sql2008.mdf")),
              "88006367da7c31fb4a818148b2884f99a004047b3b2fa68528a88f7a125b3cbb");
}

// The value of sysobjvalues' last column (imageval, varbinary(max): the second variable column,
// null bit 6) in the record at (page, slot) of a copy of the file with the changes made.
// With staleFirst, the same decoder first meets the record with its root's timestamp changed, as
// a deleted row's stale pointer to the same place would be.
CellValue imagevalOf(const TempDir& dir, std::vector<std::uint8_t> bytes, std::int64_t page,
                     std::size_t slot, bool staleFirst = false) {
    const std::string path = dir.path + "/offrow.mdf";
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    std::string error;
    const std::unique_ptr<DatabasePages> file = DatabasePages::open(path, error);
    EXPECT_TRUE(file) << error;
    Page rowPage;
    if (!file || !file->read(page, rowPage)) return {};
    const ConstPageBytes view(rowPage.data(), rowPage.size());
    const std::optional<Record> record = readRecord(view, slotOffsets(view).at(slot));
    EXPECT_TRUE(record);
    if (!record) return {};
    TableInfo sysobjvalues;
    sysobjvalues.columns.push_back({6, "imageval", sqltype::kVarBinary, -1});
    const RowDecoder decoder(*file, sysobjvalues, {{6, 6, -2, 6, 0}});
    if (staleFirst) {
        const auto root = record->variable.at(1).bytes.data() - rowPage.data();
        std::uint8_t& timestamp = rowPage[static_cast<std::size_t>(root) + 8];
        timestamp ^= 1;
        EXPECT_EQ(decoder.decode(*record).at(0).kind, CellValue::Kind::NotDecoded);
        timestamp ^= 1;
    }
    return decoder.decode(*record).at(0);
}

// Values of the (max) types kept off the row: every one of the real files keeps statistics in
// sysobjvalues behind in-row roots of two or three links. Lengths and SHA-256 worked out by a
// script that follows the roots' links by hand. Then one of them made into a row-overflow pointer,
// and damaged: a fragment lost, a length or a timestamp that is not the fragments'.
TEST(Tables, ValuesKeptOffTheRowComeBackFromTheirFragments) {
    struct Stored {
        const char* file;
        std::int64_t page;
        std::size_t slot, length;
        const char* sha256;
    };
    TempDir dir;
    for (const Stored& k :
         {Stored{"IMS_sql2012_mixedprotection.mdf", 24, 0, 20023,
                 "48d066f2d8fd93f64613725f49f150cc29f4c76fd54e1bd1c8475c8f74714622"},
          Stored{"IMS_sql2012_mixedprotection.mdf", 292, 1, 10197,
                 "e6e8fe7db0f2106866f89ece3f53f40e224a8db21a6776dae6f6d52f9e3e542e"},
          Stored{"PayrollDatabase1_sql2008_cjk.mdf", 56, 1, 9488,
                 "e9e8554c5f95884a1fd91c76bb2bd3801a62fec93c971ad435c807d7fabe8989"},
          Stored{"aspnetdb_sql2005.mdf", 26, 1, 10032,
                 "3eca08634be674c5eb3ed9af4cc032fbf16155aacf6025147dceecd34b1cf61a"},
          Stored{"db_Examination_sql2016_created2000.mdf", 51, 1, 20949,
                 "9fa416ac9a8722dc97531945ec9dc30050a1acde592f38ba241a5af67b3ed9af"},
          Stored{"db_Examination_sql2016_created2000.mdf", 376, 1, 11797,
                 "1c523786c6e46503d88b16529e4f84eddac76b26449b7c4be0dad139616dd982"},
          Stored{"pubs_sql2008.mdf", 56, 1, 9488,
                 "63dce50a877616241de4ada01fdd5918874c5cec2fcb68e0723b8370ca575b17"}}) {
        SCOPED_TRACE(std::string(k.file) + " page " + std::to_string(k.page));
        const CellValue v = imagevalOf(dir, bytesOf(testFile(k.file)), k.page, k.slot);
        ASSERT_EQ(v.kind, CellValue::Kind::Blob) << v.text;
        EXPECT_EQ(v.blob.size(), k.length);
        EXPECT_EQ(sha256Hex(v.blob), k.sha256);
    }

    // IMS page 292 slot 1: the record at 2666, its root at 2702 (links: 8040 bytes at page 230,
    // 10197 at page 231), the end of its second variable column at 2690. The page's checksum is
    // taken off so that it is judged by its structure.
    const std::vector<std::uint8_t> ims = bytesOf(testFile("IMS_sql2012_mixedprotection.mdf"));
    constexpr std::size_t row = 292 * 8192, root = row + 2702;
    struct Damage {
        const char* what;
        std::function<void(std::vector<std::uint8_t>&)> make;
        const char* expected;  // the value's SHA-256, or what the reason says
        bool staleFirst = false;
    };
    for (const Damage& d :
         {Damage{"a row-overflow pointer to the first fragment: 24 bytes, the length in its "
                 "first link",
                 [](std::vector<std::uint8_t>& b) {
                     b[root] = 2;
                     b[row + 2690] = 60;  // 72 - 12, the complex bit kept in the next byte
                 },
                 "eb67e94fce4c94d955b44a1b9b507addc071192c49c1a41fbf9876c28ff0862b"},
          Damage{"the second fragment's page lost",
                 [](std::vector<std::uint8_t>& b) { std::fill_n(b.begin() + 231 * 8192, 8192, 0); },
                 "its LOB page 231 is missing"},
          Damage{"a first link 1 byte short",
                 [](std::vector<std::uint8_t>& b) { b[root + 12] = 0x67; },
                 "hold 8040 bytes where its in-row root gives 8039"},
          Damage{"another value's timestamp",
                 [](std::vector<std::uint8_t>& b) { b[root + 8] ^= 1; },
                 "the LOB fragment at page 230 slot 0 is another value's"},
          Damage{"a stale pointer to the same place met first", [](std::vector<std::uint8_t>&) {},
                 "e6e8fe7db0f2106866f89ece3f53f40e224a8db21a6776dae6f6d52f9e3e542e", true}}) {
        SCOPED_TRACE(d.what);
        std::vector<std::uint8_t> bytes = ims;
        bytes[row + 5] &= 0xF0;
        d.make(bytes);
        const CellValue v = imagevalOf(dir, bytes, 292, 1, d.staleFirst);
        if (v.kind == CellValue::Kind::Blob) {
            EXPECT_EQ(sha256Hex(v.blob), d.expected);
        } else {
            EXPECT_EQ(v.kind, CellValue::Kind::NotDecoded);
            EXPECT_NE(v.text.find(d.expected), std::string::npos) << v.text;
        }
    }
}

// Sparse columns live in one hidden variable column, the sparse vector: the table
// (ID int, A int SPARSE, ..., E int SPARSE) and its row (1, B 3, E 1234) as a published dump of
// such a record lays them out (its variable column ends at 0x8023), the sparse columns placed
// inside the record's header as no stored column can be. A vector whose ends do not add up gives
// no values, and says so; a column never reads the record's header as its value.
TEST(Tables, SparseColumnsComeFromTheRowsSparseVector) {
    const std::vector<std::uint8_t> vector = {0x05, 0x00, 0x02, 0x00, 0x03, 0x00, 0x06,
                                              0x00, 0x10, 0x00, 0x14, 0x00, 0x03, 0x00,
                                              0x00, 0x00, 0xd2, 0x04, 0x00, 0x00};
    struct Case {
        const char* what;
        std::size_t damagedByte;  // in the vector; 0: none
        const char* expected;     // ID, A..E
    };
    for (const Case& k : {Case{"whole", 0, "1,null,3,null,null,1234"},
                          Case{"the last end short of the vector", 10, "1,?,?,?,?,?"},
                          Case{"a count past the vector", 2, "1,?,?,?,?,?"}}) {
        SCOPED_TRACE(k.what);
        Page page{};
        page[22] = 1;  // one slot, the record at 96
        page[8190] = 96;
        std::vector<std::uint8_t> record = {0x30, 0x00, 0x08, 0x00, 0x01, 0x00, 0x00, 0x00,
                                            0x06, 0x00, 0x00, 0x01, 0x00, 0x23, 0x80};
        record.insert(record.end(), vector.begin(), vector.end());
        if (k.damagedByte) record[15 + k.damagedByte] = 0x13;
        std::copy(record.begin(), record.end(), page.begin() + 96);
        const ConstPageBytes view(page.data(), page.size());
        const std::optional<Record> r = readRecord(view, 96);
        ASSERT_TRUE(r);

        TableInfo table;
        std::vector<PhysicalColumn> layout = {{1, 1, 4, 1, 0}};
        for (std::int32_t id = 1; id <= 6; ++id) {
            table.columns.push_back(
                {id, id == 1 ? "ID" : std::string(1, char('A' + id - 2)), sqltype::kInt, 4});
            if (id > 1) layout.push_back({id, id, 0, static_cast<std::int16_t>(id), 0});
        }
        std::string error;
        const auto pubs = DatabasePages::open(testFile("pubs_sql2008.mdf"), error);
        ASSERT_TRUE(pubs) << error;
        std::string got;
        for (const CellValue& v : RowDecoder(*pubs, table, layout).decode(*r)) {
            if (!got.empty()) got += ',';
            got += v.kind == CellValue::Kind::Integer ? std::to_string(v.integer)
                   : v.kind == CellValue::Kind::Null  ? "null"
                                                      : "?";
            if (v.kind == CellValue::Kind::NotDecoded) {
                EXPECT_NE(v.text.find("sparse vector"), std::string::npos) << v.text;
            }
        }
        EXPECT_EQ(got, k.expected);
    }
}

}  // namespace
}  // namespace mdf
