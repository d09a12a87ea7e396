#include "tables/row_export.h"

#include <algorithm>
#include <map>

#include "tables/unit_pages.h"

namespace mdf {
namespace {

constexpr std::uint8_t kDataPage = 1;

// The data rowsets of a table (its heap or clustered index: one per partition), each with its
// in-row unit (null where the catalogue lost it).
std::vector<std::pair<const RowsetInfo*, const AllocationUnitInfo*>> dataRowsets(
    const Catalogue& catalogue, std::int32_t object) {
    std::vector<std::pair<const RowsetInfo*, const AllocationUnitInfo*>> out;
    for (const RowsetInfo* r : catalogue.rowsetsOf(object)) {
        if (r->index > 1) continue;
        const AllocationUnitInfo* inRow = nullptr;
        for (const AllocationUnitInfo* u : catalogue.unitsOf(r->id))
            if (u->kind == UnitKind::InRow) inRow = u;
        out.emplace_back(r, inRow);
    }
    return out;
}

// What a table's rows go through: the sink, the deleted rows kept for their own table, and what
// could not be decoded, counted by column and reason.
struct TableRows {
    RowSink& sink;
    bool includeDeleted;
    TableExport& out;
    std::vector<std::vector<CellValue>> deleted;
    std::map<std::string, std::int64_t> notDecoded;
};

// Reasons name pages and lengths, so a damaged table could give one per value: past a bound they
// are counted together.
void countNotDecoded(TableRows& rows, const std::string& column, const std::string& why) {
    constexpr std::size_t kMostReasons = 100;
    std::string key = column + ": " + why;
    if (rows.notDecoded.size() >= kMostReasons && !rows.notDecoded.count(key))
        key = column + ": further reasons, named in no other line";
    ++rows.notDecoded[key];
}

// The rows of one rowset's in-row unit, page by page.
bool exportRowset(const DatabasePages& file, const TableInfo& table, const RowDecoder& decoder,
                  const AllocationUnitInfo& unit, TableRows& rows) {
    const UnitPages owned = unitPages(file, unit.id, unit.firstIam);
    Page page;
    for (std::int32_t p : owned.pages) {
        const PageFacts& f = file.facts(p);
        if (!headerNamesUnit(f.unit, unit.id) || f.type != kDataPage || f.level != 0 ||
            !file.read(p, page))
            continue;
        ++rows.out.pagesRead;
        const ConstPageBytes bytes(page.data(), page.size());
        for (std::uint16_t offset : slotOffsets(bytes)) {
            if (offset == 0) continue;
            const std::optional<Record> r = readRecord(bytes, offset);
            if (!r) {
                ++rows.out.recordsSkipped;
                continue;
            }
            const bool live = isRowRecord(r->kind);
            if (!live && !(rows.includeDeleted && r->kind == RecordKind::GhostData)) continue;
            std::vector<CellValue> values = decoder.decode(*r);
            for (std::size_t i = 0; i < values.size(); ++i)
                if (values[i].kind == CellValue::Kind::NotDecoded ||
                    (values[i].kind == CellValue::Kind::Blob && !values[i].text.empty()))
                    countNotDecoded(rows, table.columns[i].name, values[i].text);
            if (!live) {
                rows.deleted.push_back(std::move(values));
                continue;
            }
            if (!rows.sink.row(values)) return false;
            ++rows.out.rowsWritten;
        }
    }
    return true;
}

bool exportTable(const DatabasePages& file, const Catalogue& catalogue, const TableInfo& table,
                 const TableCensus& census, bool includeDeleted, RowSink& sink, TableExport& out) {
    out.table = table.qualifiedName();
    out.pagesMissing =
        static_cast<std::int64_t>(census.pagesMissing.size() + census.pagesFailing.size());
    if (table.columns.empty()) {
        // Its columns went with the catalogue's lost pages: nothing to lay the records out by.
        out.notDecoded.push_back("every column: the table's columns are lost with the catalogue");
        return true;
    }
    const auto rowsets = dataRowsets(catalogue, table.id);
    for (const auto& [rowset, unit] : rowsets)
        if (rowset->compression != 0) {
            // Compressed records have a layout of their own, not decoded here: no rows rather
            // than rows of garbage.
            out.notDecoded.push_back(std::string("every column: ") +
                                     (rowset->compression == 1 ? "ROW" : "PAGE") +
                                     " compression is not decoded");
            return true;
        }
    if (!sink.beginTable(table, false)) return false;
    TableRows rows{sink, includeDeleted, out, {}, {}};
    for (const auto& [rowset, unit] : rowsets) {
        const std::vector<PhysicalColumn> layout = dataLayout(catalogue, table, *rowset);
        if (rowset == rowsets.front().first)
            for (const ColumnInfo& c : table.columns)
                if (std::none_of(layout.begin(), layout.end(),
                                 [&](const PhysicalColumn& p) { return p.column == c.id; }))
                    out.notStored.push_back(c.name);
        if (!unit) {
            rows.notDecoded["every column: a partition's data unit is lost from the catalogue"] = 0;
            continue;
        }
        const RowDecoder decoder(file, table, layout);
        if (!exportRowset(file, table, decoder, *unit, rows)) return false;
    }
    if (rowsets.empty())
        rows.notDecoded["every column: the table's rowsets are lost from the catalogue"] = 0;
    if (!sink.endTable()) return false;
    if (includeDeleted && !rows.deleted.empty()) {
        if (!sink.beginTable(table, true)) return false;
        for (const auto& values : rows.deleted)
            if (!sink.row(values)) return false;
        out.deletedRowsWritten = static_cast<std::int64_t>(rows.deleted.size());
        if (!sink.endTable()) return false;
    }
    for (const auto& [what, count] : rows.notDecoded)
        out.notDecoded.push_back(what + " (" + std::to_string(count) + " rows)");
    return true;
}

}  // namespace

bool exportRows(const DatabasePages& file, const Catalogue& catalogue, const FileCensus& census,
                const RowExportOptions& options, RowSink& sink, std::vector<TableExport>& account) {
    for (const TableCensus& t : census.tables) {
        if (!options.onlyTable.empty() && t.qualifiedName() != options.onlyTable) continue;
        const auto table = catalogue.tables.find(t.objectId);
        if (table == catalogue.tables.end()) continue;
        TableExport out;
        if (!exportTable(file, catalogue, table->second, t, options.includeDeleted, sink, out))
            return false;
        account.push_back(std::move(out));
    }
    return sink.finish(account);
}

}  // namespace mdf
