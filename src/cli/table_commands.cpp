// tables and rows: what a recovered file holds, table by table, and the rows it still has.
#include <fmt/core.h>

#include <nlohmann/json.hpp>

#include "cli/commands.h"
#include "tables/catalogue.h"
#include "tables/table_census.h"

namespace mdf::cli {
namespace {

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
    std::string error;
    const std::unique_ptr<DatabasePages> file = DatabasePages::open(o.path, error);
    if (!file) {
        complain("{}", error);
        return exit.raise(kIoError);
    }
    const Catalogue catalogue = readCatalogue(*file);
    const FileCensus census = takeCensus(*file, catalogue);
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
}

}  // namespace mdf::cli
