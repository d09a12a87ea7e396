// tables and rows: what a recovered file holds, table by table, and the rows it still has.
#include <fmt/core.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "tables/catalogue.h"
#include "tables/row_export.h"
#include "tables/table_census.h"

namespace mdf::cli {
namespace {

// A database file with its catalogue and the census of its tables.
struct ReadTables {
    std::unique_ptr<DatabasePages> file;
    Catalogue catalogue;
    FileCensus census;
};

// Nothing, with the error told and the exit code raised, when the file cannot be read.
std::optional<ReadTables> readTables(const std::string& path, ExitCode& exit) {
    std::string error;
    ReadTables read;
    read.file = DatabasePages::open(path, error);
    if (!read.file) {
        complain("{}", error);
        exit.raise(kIoError);
        return std::nullopt;
    }
    read.catalogue = readCatalogue(*read.file);
    read.census = takeCensus(*read.file, read.catalogue);
    return read;
}

struct TablesCommand {
    std::string path;
    bool json = false;
};

nlohmann::json censusJson(const std::string& path, const FileCensus& census) {
    nlohmann::json tables = nlohmann::json::array();
    for (const TableCensus& t : census.tables) {
        nlohmann::json units = nlohmann::json::array();
        for (AllocationUnitId u : t.units)
            units.push_back(u);
        tables.push_back({{"schema", t.schema},
                          {"name", t.name},
                          {"object_id", t.objectId},
                          {"rows", t.rows},
                          {"catalogue_rows", t.catalogueRows},
                          {"data_pages", t.dataPages},
                          {"pages", t.pages},
                          {"pages_present", t.pagesPresent},
                          {"pages_missing", t.pagesMissing},
                          {"pages_failing", t.pagesFailing},
                          {"lost_iam_pages", t.lostIamPages},
                          {"allocation_units", units},
                          {"whole", t.whole()}});
    }
    nlohmann::json unknown = nlohmann::json::array();
    for (const UnknownUnit& u : census.unknownUnits)
        unknown.push_back({{"allocation_unit", u.id}, {"pages", u.pages}, {"rows", u.rows}});
    return {{"file", path},
            {"tables", tables},
            {"catalogue_whole", census.catalogueWhole()},
            {"catalogue_problems", census.problems},
            {"unknown_allocation_units", unknown}};
}

void printCensus(const FileCensus& census) {
    fmt::print("{:<40} {:>10} {:>10} {:>8} {:>8}  {}\n", "table", "rows", "catalogue", "pages",
               "missing", "whole");
    for (const TableCensus& t : census.tables)
        fmt::print("{:<40} {:>10} {:>10} {:>8} {:>8}  {}\n", t.qualifiedName(), t.rows,
                   t.catalogueRows, t.pages, t.pagesMissing.size() + t.pagesFailing.size(),
                   t.whole() ? "yes" : "no");
    for (const std::string& line : tablesHit(census))
        fmt::print("{}\n", line);
    for (const std::string& problem : census.problems)
        fmt::print("catalogue: {}\n", problem);
    for (const UnknownUnit& u : census.unknownUnits)
        fmt::print("allocation unit {} of no known table: {} pages, {} rows\n", u.id, u.pages,
                   u.rows);
}

void tablesCommand(const TablesCommand& o, ExitCode& exit) {
    const std::optional<ReadTables> read = readTables(o.path, exit);
    if (!read) return;
    const FileCensus& census = read->census;
    if (o.json)
        fmt::print("{}\n", censusJson(o.path, census)
                               .dump(2, ' ', false, nlohmann::json::error_handler_t::replace));
    else
        printCensus(census);
    if (census.tables.empty() && census.unknownUnits.empty()) return exit.raise(kNothingFound);
    const bool whole = census.catalogueWhole() && census.unknownUnits.empty() &&
                       std::all_of(census.tables.begin(), census.tables.end(),
                                   [](const TableCensus& t) { return t.whole(); });
    exit.raise(whole ? kComplete : kPartial);
}

struct RowsCommand {
    std::string path, sqlite, csv, table;
    bool includeDeleted = false;
    bool force = false;
};

void rowsCommand(const RowsCommand& o, ExitCode& exit) {
    if (o.sqlite.empty() == o.csv.empty()) {
        complain("rows needs --sqlite FILE or --csv DIR");
        return exit.raise(kBadInput);
    }
    OutputGuard guard;
    guard.sourcePath = o.path;
    if (!o.sqlite.empty() && !outputsAllowed({o.sqlite}, guard, o.force))
        return exit.raise(kBadInput);
    if (!o.csv.empty()) {
        // A folder that is not there is made, one level, only where an output may go.
        if (!std::filesystem::exists(o.csv)) {
            std::string folder = o.csv;
            while (folder.size() > 1 && folder.back() == '/')
                folder.pop_back();
            if (const std::string refusal = guard.refusal(folder); !refusal.empty()) {
                complain("{}", refusal);
                return exit.raise(kBadInput);
            }
            std::error_code error;
            std::filesystem::create_directory(o.csv, error);
        }
        if (!std::filesystem::is_directory(o.csv)) {
            complain("{} is not a folder and cannot be made one", o.csv);
            return exit.raise(kBadInput);
        }
        if (!outputsAllowed({o.csv + "/_recovery.csv"}, guard, o.force))
            return exit.raise(kBadInput);
    }
    const std::optional<ReadTables> read = readTables(o.path, exit);
    if (!read) return;
    const DatabasePages& file = *read->file;
    const Catalogue& catalogue = read->catalogue;
    const FileCensus& census = read->census;
    if (!o.table.empty() &&
        std::none_of(census.tables.begin(), census.tables.end(),
                     [&](const TableCensus& t) { return t.qualifiedName() == o.table; })) {
        complain("no table {} in {}", o.table, o.path);
        return exit.raise(kNothingFound);
    }
    const std::unique_ptr<RowSink> sink =
        o.sqlite.empty() ? csvSink(o.csv, guard, o.force) : sqliteSink(o.sqlite, guard);
    std::vector<TableExport> account;
    if (!exportRows(file, catalogue, census, {o.table, o.includeDeleted}, *sink, account)) {
        complain("{}", sink->error());
        return exit.raise(kIoError);
    }
    bool whole = census.catalogueWhole();
    for (const TableExport& t : account) {
        fmt::print("{}: {} rows{}", t.table, t.rowsWritten,
                   t.deletedRowsWritten ? fmt::format(", {} deleted", t.deletedRowsWritten) : "");
        if (t.pagesMissing) fmt::print(", {} pages missing or failing", t.pagesMissing);
        if (t.recordsSkipped) fmt::print(", {} damaged records skipped", t.recordsSkipped);
        fmt::print("\n");
        for (const std::string& n : t.notDecoded)
            fmt::print("  not decoded: {}\n", n);
        for (const std::string& n : t.notStored)
            fmt::print("  computed, not stored: {} (null)\n", n);
        whole = whole && t.pagesMissing == 0 && t.recordsSkipped == 0 && t.notDecoded.empty();
    }
    for (const std::string& problem : census.problems)
        fmt::print("catalogue: {}\n", problem);
    fmt::print("written to {}\n", o.sqlite.empty() ? o.csv : o.sqlite);
    exit.raise(whole ? kComplete : kPartial);
}

}  // namespace

void addTableCommands(CLI::App& app, ExitCode& exit) {
    auto t = std::make_shared<TablesCommand>();
    auto* tables = app.add_subcommand(
        "tables", "The tables of a database file: rows, pages, and what is missing (read only)");
    tables->add_option("FILE", t->path, "The .mdf file")->required();
    tables->add_flag("--json", t->json, "Print the tables as JSON on stdout");
    tables->callback([t, &exit] { tablesCommand(*t, exit); });
    tables->footer(R"(The tables are read from the file's own system tables; each table's pages are
those its IAM pages allocate, judged by their checksum or torn bits, their page id and the
allocation unit their header names. Rows are the records on the data pages that are present.

Exit status: 0 every table is whole, 1 pages of some table are missing or failing (named),
2 no table was found, 4 the file cannot be read.)");

    auto r = std::make_shared<RowsCommand>();
    auto* rows = app.add_subcommand(
        "rows", "Export the rows every table still holds to SQLite or CSV (reads the file only)");
    rows->add_option("FILE", r->path, "The .mdf file")->required();
    auto* sqlite = rows->add_option("--sqlite", r->sqlite, "One SQLite file of every table");
    rows->add_option("--csv", r->csv, "A folder: one CSV file per table")->excludes(sqlite);
    rows->add_option("--table", r->table, "Only this table (SCHEMA.NAME)");
    rows->add_flag("--include-deleted", r->includeDeleted,
                   "Add rows still on the pages but marked deleted (_deleted_TABLE)");
    rows->add_flag("--force", r->force, "Replace output files that exist");
    rows->callback([r, &exit] { rowsCommand(*r, exit); });
    rows->footer(R"(Rows are decoded by the column types the file's catalogue gives; values kept off
the row (text, ntext, image, the (max) types, row overflow) are read from their pages, sparse
columns from the row's sparse vector. Dates and times are ISO 8601 text; decimal, numeric
and money are exact text. A table _recovery (or _recovery.csv) gives per table the rows
written, the pages read and missing, and the columns that could not be decoded, with why.

Exit status: 0 every row of every table was written, 1 some rows or values are missing (said
in _recovery), 2 no such table, 3 bad usage or an output that may not be written, 4 the file or
an output cannot be read or written.)");
}

}  // namespace mdf::cli
