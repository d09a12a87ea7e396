#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tables/database_pages.h"

namespace mdf {

// The system type ids of columns, as the catalogue gives them.
namespace sqltype {
enum : std::uint8_t {
    kImage = 34,
    kText = 35,
    kUniqueIdentifier = 36,
    kDate = 40,
    kTime = 41,
    kDateTime2 = 42,
    kDateTimeOffset = 43,
    kTinyInt = 48,
    kSmallInt = 52,
    kInt = 56,
    kSmallDateTime = 58,
    kReal = 59,
    kMoney = 60,
    kDateTime = 61,
    kFloat = 62,
    kSqlVariant = 98,
    kNText = 99,
    kBit = 104,
    kDecimal = 106,
    kNumeric = 108,
    kSmallMoney = 122,
    kBigInt = 127,
    kVarBinary = 165,
    kVarChar = 167,
    kBinary = 173,
    kChar = 175,
    kTimestamp = 189,
    kNVarChar = 231,
    kNChar = 239,
    kClr = 240,
    kXml = 241,
};
}  // namespace sqltype

// A column as the table declares it.
struct ColumnInfo {
    std::int32_t id = 0;
    std::string name;
    std::uint8_t type = 0;    // system type id: 56 int, 167 varchar, 231 nvarchar, ...
    std::int16_t length = 0;  // bytes; -1 for the (max) types
    std::uint8_t precision = 0;
    std::uint8_t scale = 0;
    std::int32_t collation = 0;
    bool nullable = true;
};

// Where a column of a rowset lies in its records.
struct PhysicalColumn {
    std::int32_t column = 0;   // the table's column id; 0 for the uniqueifier of a clustered index
    std::int32_t ordinal = 0;  // in the rowset, from 1
    std::int16_t leafOffset = 0;   // > 0 a fixed column's first byte; < 0 variable column -n
    std::int16_t nullBit = 0;      // from 1
    std::int16_t bitPosition = 0;  // for bit columns, within their shared byte
};

enum class UnitKind : std::uint8_t { InRow = 1, Lob = 2, RowOverflow = 3 };

struct AllocationUnitInfo {
    AllocationUnitId id = 0;
    UnitKind kind = UnitKind::InRow;
    std::uint64_t rowset = 0;
    std::int32_t firstIam = 0;
};

struct RowsetInfo {
    std::uint64_t id = 0;
    std::int32_t object = 0;
    std::int32_t index = 0;        // 0 heap, 1 clustered, more: nonclustered
    std::int64_t rows = 0;         // as the catalogue last counted them
    std::uint8_t compression = 0;  // 0 none, 1 ROW, 2 PAGE (2008 on)
};

struct TableInfo {
    std::int32_t id = 0;
    std::string schema;
    std::string name;
    std::vector<ColumnInfo> columns;  // by column id
    std::string qualifiedName() const { return schema + "." + name; }
};

// The database's own description of itself, read from the pages of its system tables.
struct Catalogue {
    std::map<std::int32_t, TableInfo> tables;  // user tables, by object id
    std::map<std::uint64_t, RowsetInfo> rowsets;
    std::map<AllocationUnitId, AllocationUnitInfo> units;
    // By rowset: each stored column's place in the records; empty for a rowset whose layout was
    // worked out from the column types (its catalogue entries lost, or a 2005 file).
    std::map<std::uint64_t, std::vector<PhysicalColumn>> layouts;
    // What could not be read: "sysschobjs: 2 pages lost (126, 127)"...
    std::vector<std::string> problems;

    // Each object's rowsets and each rowset's units, as readCatalogue leaves them: found without
    // going through every rowset and unit for every table.
    std::multimap<std::int32_t, std::uint64_t> rowsetsByObject;
    std::multimap<std::uint64_t, AllocationUnitId> unitsByRowset;

    std::vector<const RowsetInfo*> rowsetsOf(std::int32_t object) const;
    std::vector<const AllocationUnitInfo*> unitsOf(std::uint64_t rowset) const;
};

Catalogue readCatalogue(const DatabasePages& file);

// The layout of a table's data rowset: stored where the catalogue keeps it (2008 on); otherwise
// worked out as the engine lays records out, in the rowset's own column order where the catalogue
// keeps that (2005: uniqueifier and key columns first), else in column id order: fixed columns
// from offset 4, bit columns sharing bytes, variable columns numbered in that order. Without
// either, a table altered since it was made (columns dropped or added in between) is laid out
// wrongly: the values say so only by their look.
std::vector<PhysicalColumn> dataLayout(const Catalogue& catalogue, const TableInfo& table,
                                       const RowsetInfo& rowset);

// Column types kept in the variable part of a record.
bool isVariableLength(std::uint8_t type, std::int16_t length);

}  // namespace mdf
