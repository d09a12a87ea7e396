#include "tables/catalogue.h"

#include <algorithm>
#include <functional>
#include <set>

#include "source/byte_order.h"
#include "tables/record.h"
#include "tables/text_codes.h"
#include "tables/unit_pages.h"

namespace mdf {
namespace {

// The system tables' allocation units: fixed since 2005, whatever the file's own ids.
constexpr AllocationUnitId kClustered = AllocationUnitId{1} << 48;
constexpr AllocationUnitId kSysRsCols = 3 << 16;         // 2008 on: each column's place in rows
constexpr AllocationUnitId kSysRowsetColumns = 4 << 16;  // 2005: which column is which
constexpr AllocationUnitId kSysRowsets = 5 << 16;
constexpr AllocationUnitId kSysAllocUnits = 7 << 16;
constexpr AllocationUnitId kSysSchObjs = kClustered | (34 << 16);
constexpr AllocationUnitId kSysColPars = kClustered | (41 << 16);
constexpr AllocationUnitId kSysClsObjs = kClustered | (64 << 16);

constexpr std::uint8_t kDataPage = 1;
constexpr std::uint8_t kSchemaClass = 50;

// Reads a fixed field of a system table record, from the record's first byte.
struct Fields {
    const Record& r;
    bool has(std::size_t at, std::size_t size) const { return at + size <= r.fixed.size(); }
    std::uint8_t u8(std::size_t at) const { return r.fixed[at]; }
    std::int16_t i16(std::size_t at) const { return loadI16(&r.fixed[at]); }
    std::int32_t i32(std::size_t at) const { return loadI32(&r.fixed[at]); }
    std::int64_t i64(std::size_t at) const { return loadI64(&r.fixed[at]); }
    std::uint64_t u64(std::size_t at) const { return loadU64(&r.fixed[at]); }
    std::string name(std::size_t variable) const {
        if (variable >= r.variable.size() || r.variable[variable].complex) return {};
        return utf16ToUtf8(r.variable[variable].bytes);
    }
};

// Calls each with every live record on the sound leaf pages of a system table, and notes in
// problems the pages of it that are lost.
void forEachRecord(const DatabasePages& file, AllocationUnitId unit, const char* table,
                   std::vector<std::string>& problems,
                   const std::function<void(const Fields&)>& each) {
    const UnitPages owned = unitPages(file, unit, 0);
    std::vector<std::int32_t> lost;
    std::vector<std::int32_t> pages = owned.pages;
    if (pages.empty())  // no IAM page left: the headers are all there is
        pages = file.pagesNaming(unit);
    for (std::int32_t p : pages) {
        if (!file.sound(p) || !headerNamesUnit(file.facts(p).unit, unit)) {
            lost.push_back(p);
            continue;
        }
        if (file.facts(p).type != kDataPage || file.facts(p).level != 0) continue;
        Page page;
        if (!file.read(p, page)) continue;
        const ConstPageBytes bytes(page.data(), page.size());
        for (std::uint16_t offset : slotOffsets(bytes)) {
            if (offset == 0) continue;
            const std::optional<Record> r = readRecord(bytes, offset);
            if (r && r->kind == RecordKind::Primary) each(Fields{*r});
        }
    }
    const std::string name(table);
    if (pages.empty())
        problems.push_back(name + ": no page found");
    else if (!lost.empty())
        problems.push_back(name + ": " + std::to_string(lost.size()) + " pages lost");
    else if (owned.mapLost || owned.iamPages.empty())
        problems.push_back(name + ": its allocation map is lost");
    else if (owned.pfsLost)
        problems.push_back(name + ": a PFS page over its extents is lost");
}

void readAllocationUnits(const DatabasePages& file, Catalogue& c) {
    forEachRecord(file, kSysAllocUnits, "sysallocunits", c.problems, [&](const Fields& f) {
        if (!f.has(4 + 41, 4)) return;
        AllocationUnitInfo u;
        u.id = f.u64(4);
        const std::uint8_t kind = f.u8(12);
        if (kind < 1 || kind > 3) return;
        u.kind = static_cast<UnitKind>(kind);
        u.rowset = f.u64(13);
        u.firstIam = f.i32(4 + 35);
        c.units[u.id] = u;
    });
}

void readRowsets(const DatabasePages& file, Catalogue& c) {
    forEachRecord(file, kSysRowsets, "sysrowsets", c.problems, [&](const Fields& f) {
        if (!f.has(4 + 27, 8)) return;
        RowsetInfo r;
        r.id = f.u64(4);
        r.object = f.i32(13);
        r.index = f.i32(17);
        r.rows = f.i64(4 + 27);
        // 2005 keeps no compression level: its records end before it.
        if (f.has(4 + 35, 1) && f.r.fixed.size() >= 4 + 53) r.compression = f.u8(4 + 35);
        c.rowsets[r.id] = r;
    });
}

std::map<std::int32_t, std::string> readSchemas(const DatabasePages& file, Catalogue& c) {
    std::map<std::int32_t, std::string> schemas;
    forEachRecord(file, kSysClsObjs, "sysclsobjs", c.problems, [&](const Fields& f) {
        if (f.has(4, 5) && f.u8(4) == kSchemaClass) schemas[f.i32(5)] = f.name(0);
    });
    return schemas;
}

// The first object id of a database's own objects: below it, the system base tables.
constexpr std::int32_t kFirstUserObject = 100;

ColumnInfo columnOf(const Fields& f) {
    ColumnInfo col;
    col.id = f.i32(4 + 6);
    col.type = f.u8(4 + 10);
    col.length = f.i16(4 + 15);
    col.precision = f.u8(4 + 17);
    col.scale = f.u8(4 + 18);
    col.collation = f.i32(4 + 19);
    col.nullable = (f.i32(4 + 23) & 1) == 0;
    col.name = f.name(0);
    return col;
}

void readTables(const DatabasePages& file, Catalogue& c) {
    const std::map<std::int32_t, std::string> schemas = readSchemas(file, c);
    std::set<std::int32_t> named;  // every object the catalogue names, whatever its kind
    forEachRecord(file, kSysSchObjs, "sysschobjs", c.problems, [&](const Fields& f) {
        if (!f.has(4 + 13, 2)) return;
        named.insert(f.i32(4));
        if (f.u8(4 + 13) != 'U' || f.u8(4 + 14) != ' ') return;
        TableInfo t;
        t.id = f.i32(4);
        const std::int32_t schema = f.i32(8);
        const auto s = schemas.find(schema);
        t.schema = s != schemas.end() ? s->second : "schema" + std::to_string(schema);
        t.name = f.name(0);
        if (t.id > 0) c.tables[t.id] = t;
    });
    std::map<std::int32_t, std::vector<ColumnInfo>> columns;
    forEachRecord(file, kSysColPars, "syscolpars", c.problems, [&](const Fields& f) {
        if (f.has(4 + 27, 4) && f.i16(8) == 0)  // number: 0 for a table's columns
            columns[f.i32(4)].push_back(columnOf(f));
    });
    // An object whose entry is lost with its page of sysschobjs, but whose rows are still there:
    // a table without its name.
    if (!named.empty() || !c.rowsets.empty())
        for (const auto& [id, rowset] : c.rowsets)
            if (rowset.object >= kFirstUserObject && rowset.index <= 1 &&
                !named.count(rowset.object) && !c.tables.count(rowset.object))
                c.tables[rowset.object] = {
                    rowset.object, "unknown", "object_" + std::to_string(rowset.object), {}};
    for (auto& [id, t] : c.tables) {
        t.columns = columns[id];
        std::sort(t.columns.begin(), t.columns.end(),
                  [](const ColumnInfo& a, const ColumnInfo& b) { return a.id < b.id; });
    }
}

// 2008 on: every column's offset, null bit and bit position as the engine keeps them. 2005: only
// which table column each rowset column is; the offsets are worked out from the types.
void readLayouts(const DatabasePages& file, Catalogue& c) {
    // Which of the two a file keeps shows only in their records: what is wrong with the other is
    // no problem of this file's.
    std::vector<std::string> rsColsProblems, rowsetColumnsProblems;
    forEachRecord(file, kSysRsCols, "sysrscols", rsColsProblems, [&](const Fields& f) {
        if (!f.has(4 + 48, 2)) return;  // a 2005 file keeps something else under this id
        PhysicalColumn p;
        p.column = f.i32(4 + 8);
        p.ordinal = f.i32(4 + 12);
        p.leafOffset = static_cast<std::int16_t>(f.i32(4 + 40) & 0xFFFF);
        p.nullBit = static_cast<std::int16_t>(f.i32(4 + 44) & 0xFFFF);
        p.bitPosition = f.i16(4 + 48);
        c.layouts[f.u64(4)].push_back(p);
    });
    if (!c.layouts.empty()) {
        c.problems.insert(c.problems.end(), rsColsProblems.begin(), rsColsProblems.end());
        return;
    }
    forEachRecord(file, kSysRowsetColumns, "sysrowsetcolumns", rowsetColumnsProblems,
                  [&](const Fields& f) {
                      if (!f.has(4 + 16, 0)) return;
                      PhysicalColumn p;
                      p.column = f.i32(4 + 8);
                      p.ordinal = f.i32(4 + 12);
                      c.layouts[f.u64(4)].push_back(p);  // offsets 0: to be worked out
                  });
    if (c.layouts.empty())
        c.problems.insert(c.problems.end(), rsColsProblems.begin(), rsColsProblems.end());
    c.problems.insert(c.problems.end(), rowsetColumnsProblems.begin(), rowsetColumnsProblems.end());
}

}  // namespace

bool isVariableLength(std::uint8_t type, std::int16_t length) {
    using namespace sqltype;
    switch (type) {
        case kImage:
        case kText:
        case kSqlVariant:
        case kNText:
        case kVarBinary:
        case kVarChar:
        case kNVarChar:
        case kClr:
        case kXml:
            return true;
        default:
            return length < 0;
    }
}

std::vector<const RowsetInfo*> Catalogue::rowsetsOf(std::int32_t object) const {
    std::vector<const RowsetInfo*> out;
    for (auto [at, end] = rowsetsByObject.equal_range(object); at != end; ++at)
        out.push_back(&rowsets.at(at->second));
    std::sort(out.begin(), out.end(),
              [](const RowsetInfo* a, const RowsetInfo* b) { return a->index < b->index; });
    return out;
}

std::vector<const AllocationUnitInfo*> Catalogue::unitsOf(std::uint64_t rowset) const {
    std::vector<const AllocationUnitInfo*> out;
    for (auto [at, end] = unitsByRowset.equal_range(rowset); at != end; ++at)
        out.push_back(&units.at(at->second));
    return out;
}

Catalogue readCatalogue(const DatabasePages& file) {
    Catalogue c;
    readAllocationUnits(file, c);
    readRowsets(file, c);
    readTables(file, c);
    readLayouts(file, c);
    for (const auto& [id, r] : c.rowsets)
        c.rowsetsByObject.emplace(r.object, id);
    for (const auto& [id, u] : c.units)
        c.unitsByRowset.emplace(u.rowset, id);
    return c;
}

std::vector<PhysicalColumn> dataLayout(const Catalogue& catalogue, const TableInfo& table,
                                       const RowsetInfo& rowset) {
    std::vector<PhysicalColumn> columns;
    const auto stored = catalogue.layouts.find(rowset.id);
    if (stored != catalogue.layouts.end()) columns = stored->second;
    // 2005 keeps the order alone (every offset 0). Later versions keep every stored column's
    // place; a column they give no offset is kept outside the record's columns (a sparse column,
    // in the row's sparse vector), which is no reason to work the others' places out again.
    const bool offsetsKnown =
        std::any_of(columns.begin(), columns.end(),
                    [](const PhysicalColumn& p) { return p.leafOffset != 0; }) &&
        std::all_of(columns.begin(), columns.end(),
                    [](const PhysicalColumn& p) { return p.leafOffset == 0 || p.nullBit != 0; });
    if (offsetsKnown) return columns;
    if (columns.empty())  // nothing kept: the table's columns in their own order
        for (const ColumnInfo& col : table.columns)
            columns.push_back({col.id, static_cast<std::int32_t>(columns.size() + 1), 0, 0, 0});
    std::sort(columns.begin(), columns.end(), [](const PhysicalColumn& a, const PhysicalColumn& b) {
        return a.ordinal < b.ordinal;
    });

    std::int16_t offset = 4, variable = 0, bitByte = 0, bitsUsed = 8;
    for (PhysicalColumn& p : columns) {
        p.nullBit = static_cast<std::int16_t>(p.ordinal);
        if (p.column == 0) {  // the uniqueifier: a 4-byte integer kept as a variable column
            p.leafOffset = static_cast<std::int16_t>(-++variable);
            continue;
        }
        const auto col = std::find_if(table.columns.begin(), table.columns.end(),
                                      [&](const ColumnInfo& c) { return c.id == p.column; });
        if (col == table.columns.end()) continue;
        if (isVariableLength(col->type, col->length)) {
            p.leafOffset = static_cast<std::int16_t>(-++variable);
        } else if (col->type == sqltype::kBit) {
            if (bitsUsed == 8) {
                bitByte = offset++;
                bitsUsed = 0;
            }
            p.leafOffset = bitByte;
            p.bitPosition = bitsUsed++;
        } else {
            p.leafOffset = offset;
            offset = static_cast<std::int16_t>(offset + col->length);
        }
    }
    return columns;
}

}  // namespace mdf
