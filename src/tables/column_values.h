#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tables/catalogue.h"
#include "tables/database_pages.h"
#include "tables/off_row_values.h"
#include "tables/record.h"

namespace mdf {

// One value of a row as it is exported: integers and floating point as numbers; decimal, numeric
// and money exactly as text; dates and times as ISO 8601 text; strings as UTF-8; binary as bytes.
struct CellValue {
    enum class Kind : std::uint8_t { Null, Integer, Real, Text, Blob, NotDecoded, NotStored };
    Kind kind = Kind::Null;
    std::int64_t integer = 0;
    double real = 0;
    // Text; for NotDecoded and NotStored, why; for a Blob of characters whose code page is not
    // known, why they are given as bytes.
    std::string text;
    std::vector<std::uint8_t> blob;
};

// Decodes the rows of one table from its data records, following values kept off the row (text,
// ntext, image, the (max) types, row overflow) to their pages in the file.
class RowDecoder {
  public:
    RowDecoder(const DatabasePages& file, const TableInfo& table,
               std::vector<PhysicalColumn> layout);

    // One value per column of the table, in column id order.
    std::vector<CellValue> decode(const Record& record) const;

  private:
    CellValue decodeColumn(const ColumnInfo& column, const PhysicalColumn& place,
                           const Record& record) const;

    const TableInfo& table_;
    mutable OffRowReader offRow_;
    std::vector<const PhysicalColumn*> places_;  // by column, null where it is not stored
    bool everyColumnInRow_ = true;               // no sparse vector to look for
    std::vector<PhysicalColumn> layout_;
};

// The type's name as SQL Server spells it: "int", "varchar", ...; "type 42" when unknown.
std::string typeName(std::uint8_t type);

// Exact decimal text of a decimal or numeric value: sign byte, then a little-endian integer.
std::string decimalText(std::span<const std::uint8_t> bytes, int scale);

}  // namespace mdf
