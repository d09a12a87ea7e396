#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "source/output_guard.h"
#include "tables/catalogue.h"
#include "tables/column_values.h"
#include "tables/table_census.h"

namespace mdf {

// What the export did with one table, for the _recovery table and the summary.
struct TableExport {
    std::string table;  // schema.name
    std::int64_t rowsWritten = 0;
    std::int64_t deletedRowsWritten = 0;
    std::int64_t pagesRead = 0;
    std::int64_t pagesMissing = 0;        // of the table's pages, missing or failing
    std::int64_t recordsSkipped = 0;      // damaged records
    std::vector<std::string> notDecoded;  // "logo: its LOB page 110 is missing or damaged (2 rows)"
    std::vector<std::string> notStored;   // computed columns, exported as null: "total"
};

// Where rows go: a SQLite file or a folder of CSV files.
class RowSink {
  public:
    virtual ~RowSink() = default;
    // Starts a table of rows; deleted: the rows still on the pages but marked deleted.
    virtual bool beginTable(const TableInfo& table, bool deleted) = 0;
    virtual bool row(const std::vector<CellValue>& values) = 0;
    virtual bool endTable() = 0;
    // Writes the account of every table and makes the output final.
    virtual bool finish(const std::vector<TableExport>& account) = 0;
    virtual std::string error() const = 0;
};

// One SQLite file: a table per user table with the original column names, _deleted_<name>
// tables, and _recovery.
std::unique_ptr<RowSink> sqliteSink(const std::string& path, const OutputGuard& guard);
// One RFC 4180 file per table in folder (NAME.csv, SCHEMA.NAME.csv outside dbo), and
// _recovery.csv; a file that exists is replaced only when replace is set.
std::unique_ptr<RowSink> csvSink(const std::string& folder, const OutputGuard& guard, bool replace);

struct RowExportOptions {
    std::string onlyTable;  // schema.name, or empty for every table
    bool includeDeleted = false;
};

// Writes the rows of every user table that the present pages hold. False only when the sink
// fails; what could not be read is in the account.
bool exportRows(const DatabasePages& file, const Catalogue& catalogue, const FileCensus& census,
                const RowExportOptions& options, RowSink& sink, std::vector<TableExport>& account);

}  // namespace mdf
