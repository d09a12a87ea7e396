#include "tables/column_values.h"

#include <fmt/core.h>

#include <algorithm>
#include <cstring>
#include <map>

#include "source/byte_order.h"
#include "tables/text_codes.h"

namespace mdf {
namespace {

using namespace sqltype;

CellValue integer(std::int64_t v) {
    CellValue c;
    c.kind = CellValue::Kind::Integer;
    c.integer = v;
    return c;
}
CellValue text(std::string s) {
    CellValue c;
    c.kind = CellValue::Kind::Text;
    c.text = std::move(s);
    return c;
}
CellValue notDecoded(std::string why) {
    CellValue c;
    c.kind = CellValue::Kind::NotDecoded;
    c.text = std::move(why);
    return c;
}
// A computed column: its value is worked out when read, never kept in the row.
CellValue notStored() {
    CellValue c;
    c.kind = CellValue::Kind::NotStored;
    c.text = "computed, not stored";
    return c;
}
CellValue blob(std::span<const std::uint8_t> bytes) {
    CellValue c;
    c.kind = CellValue::Kind::Blob;
    c.blob.assign(bytes.begin(), bytes.end());
    return c;
}

std::uint64_t loadUnsigned(std::span<const std::uint8_t> b) {
    std::uint64_t v = 0;
    for (std::size_t i = std::min<std::size_t>(b.size(), 8); i-- > 0;)
        v = (v << 8) | b[i];
    return v;
}

// Days since 0001-01-01 to year, month, day (proleptic Gregorian).
void civilFromDays(std::int64_t days, int& y, unsigned& m, unsigned& d) {
    // Shift to days since 1970-01-01, then the well-known civil-from-days conversion.
    std::int64_t z = days - 719162 + 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2));
}

constexpr std::int64_t kDaysTo1900 = 693595;  // 0001-01-01 to 1900-01-01

std::string dateText(std::int64_t daysSince0001) {
    int y;
    unsigned m, d;
    civilFromDays(daysSince0001, y, m, d);
    return fmt::format("{:04}-{:02}-{:02}", y, m, d);
}

// A time of day in units of 10^-scale seconds.
std::string timeText(std::uint64_t units, int scale) {
    std::uint64_t perSecond = 1;
    for (int i = 0; i < scale; ++i)
        perSecond *= 10;
    const std::uint64_t seconds = units / perSecond;
    std::string s =
        fmt::format("{:02}:{:02}:{:02}", seconds / 3600, seconds / 60 % 60, seconds % 60);
    if (scale > 0) s += fmt::format(".{:0{}}", units % perSecond, scale);
    return s;
}

std::string uniqueIdentifierText(std::span<const std::uint8_t> b) {
    return fmt::format("{:08X}-{:04X}-{:04X}-{:02X}{:02X}-{:02X}{:02X}{:02X}{:02X}{:02X}{:02X}",
                       loadU32(&b[0]), loadU16(&b[4]), loadU16(&b[6]), b[8], b[9], b[10], b[11],
                       b[12], b[13], b[14], b[15]);
}

std::string scaledText(std::int64_t value, int scale) {
    const bool negative = value < 0;
    const auto magnitude =
        negative ? 0 - static_cast<std::uint64_t>(value) : static_cast<std::uint64_t>(value);
    std::uint64_t unit = 1;
    for (int i = 0; i < scale; ++i)
        unit *= 10;
    return fmt::format("{}{}.{:0{}}", negative ? "-" : "", magnitude / unit, magnitude % unit,
                       scale);
}

// Bytes a fixed column takes: its declared length.
std::size_t storedBytes(const ColumnInfo& c) {
    return static_cast<std::size_t>(std::max<std::int16_t>(c.length, 0));
}

// char, varchar and text in their collation's code page; where that code page is not known here,
// text other than ASCII is given as its bytes, with why, rather than guessed.
CellValue characters(std::span<const std::uint8_t> bytes, std::int32_t collation) {
    const int codePage = codePageOfCollation(collation);
    const bool ascii =
        std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t c) { return c < 0x80; });
    if (codePage != 0 || ascii) return text(codePageToUtf8(bytes, codePage));
    CellValue c = blob(bytes);
    c.text = "code page of collation " + std::to_string(collation) + " not known: its bytes";
    return c;
}

// The fewest bytes a value of the type can have.
std::size_t leastBytes(std::uint8_t type) {
    switch (type) {
        case kTinyInt:
        case kBit:
            return 1;
        case kSmallInt:
            return 2;
        case kInt:
        case kReal:
        case kSmallMoney:
        case kSmallDateTime:
            return 4;
        case kBigInt:
        case kMoney:
        case kDateTime:
        case kFloat:
            return 8;  // float(1..24) is real
        case kDate:
            return 3;
        case kTime:
            return 3;
        case kDateTime2:
            return 6;
        case kDateTimeOffset:
            return 8;
        case kDecimal:
        case kNumeric:
            return 1;
        case kUniqueIdentifier:
            return 16;
        default:
            return 0;
    }
}

}  // namespace

std::string decimalText(std::span<const std::uint8_t> bytes, int scale) {
    if (bytes.empty()) return {};
    unsigned __int128 v = 0;
    for (std::size_t i = std::min<std::size_t>(bytes.size(), 17); i-- > 1;)
        v = (v << 8) | bytes[i];
    std::string digits;
    do {
        digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(v % 10)));
        v /= 10;
    } while (v > 0);
    if (scale > 0) {
        if (digits.size() <= static_cast<std::size_t>(scale))
            digits.insert(0, static_cast<std::size_t>(scale) + 1 - digits.size(), '0');
        digits.insert(digits.size() - static_cast<std::size_t>(scale), ".");
    }
    return (bytes[0] == 0 ? "-" : "") + digits;
}

std::string typeName(std::uint8_t type) {
    switch (type) {
        case kImage:
            return "image";
        case kText:
            return "text";
        case kUniqueIdentifier:
            return "uniqueidentifier";
        case kDate:
            return "date";
        case kTime:
            return "time";
        case kDateTime2:
            return "datetime2";
        case kDateTimeOffset:
            return "datetimeoffset";
        case kTinyInt:
            return "tinyint";
        case kSmallInt:
            return "smallint";
        case kInt:
            return "int";
        case kSmallDateTime:
            return "smalldatetime";
        case kReal:
            return "real";
        case kMoney:
            return "money";
        case kDateTime:
            return "datetime";
        case kFloat:
            return "float";
        case kSqlVariant:
            return "sql_variant";
        case kNText:
            return "ntext";
        case kBit:
            return "bit";
        case kDecimal:
            return "decimal";
        case kNumeric:
            return "numeric";
        case kSmallMoney:
            return "smallmoney";
        case kBigInt:
            return "bigint";
        case kVarBinary:
            return "varbinary";
        case kVarChar:
            return "varchar";
        case kBinary:
            return "binary";
        case kChar:
            return "char";
        case kTimestamp:
            return "timestamp";
        case kNVarChar:
            return "nvarchar";
        case kNChar:
            return "nchar";
        case kClr:
            return "CLR type";
        case kXml:
            return "xml";
        default:
            return "type " + std::to_string(type);
    }
}

namespace {

// A value from the bytes that hold it, by the column's type.
CellValue valueOf(const ColumnInfo& column, int bitPosition, std::span<const std::uint8_t> b) {
    // A damaged catalogue can give a type a width it cannot have, or put a fixed type among the
    // variable columns: never read past the bytes the record holds for the value.
    if (b.size() < leastBytes(column.type)) return notDecoded("shorter than its type");
    if (column.type == kBit && (bitPosition < 0 || bitPosition > 7))
        return notDecoded("bit position out of range");
    if ((column.type == kTime || column.type == kDateTime2 || column.type == kDateTimeOffset) &&
        column.scale > 7)
        return notDecoded("scale out of range");

    switch (column.type) {
        case kTinyInt:
            return integer(b[0]);
        case kSmallInt:
            return integer(loadI16(b.data()));
        case kInt:
            return integer(loadI32(b.data()));
        case kBigInt:
            return integer(loadI64(b.data()));
        case kBit:
            return integer((b[0] >> bitPosition) & 1);
        case kReal: {
            float f;
            std::memcpy(&f, b.data(), 4);
            CellValue c;
            c.kind = CellValue::Kind::Real;
            c.real = f;
            return c;
        }
        case kFloat: {
            CellValue c;
            c.kind = CellValue::Kind::Real;
            std::memcpy(&c.real, b.data(), 8);
            return c;
        }
        case kMoney:
            return text(scaledText(loadI64(b.data()), 4));
        case kSmallMoney:
            return text(scaledText(loadI32(b.data()), 4));
        case kDecimal:
        case kNumeric:
            return text(decimalText(b, column.scale));
        case kDateTime: {
            const std::uint64_t ticks = loadU32(b.data());  // 1/300 s since midnight
            const std::int64_t days = loadI32(b.data() + 4);
            const std::uint64_t ms = (ticks * 10 + 1) / 3;
            return text(dateText(kDaysTo1900 + days) + " " + timeText(ms, 3));
        }
        case kSmallDateTime:
            return text(dateText(kDaysTo1900 + loadU16(b.data() + 2)) + " " +
                        timeText(std::uint64_t{loadU16(b.data())} * 60, 0));
        case kDate:
            return text(dateText(static_cast<std::int64_t>(loadUnsigned(b.first(3)))));
        case kTime:
            return text(timeText(loadUnsigned(b), column.scale));
        case kDateTime2:
        case kDateTimeOffset: {
            const std::size_t zone = column.type == kDateTimeOffset ? 2 : 0;
            if (b.size() < 6 + zone || b.size() > 8 + zone || column.scale > 7)
                return notDecoded("length not of this type");
            const std::size_t timeBytes = b.size() - 3 - zone;
            std::int64_t days = static_cast<std::int64_t>(loadUnsigned(b.subspan(timeBytes, 3)));
            std::int64_t units = static_cast<std::int64_t>(loadUnsigned(b.first(timeBytes)));
            if (!zone)
                return text(dateText(days) + " " +
                            timeText(static_cast<std::uint64_t>(units), column.scale));
            // Kept in UTC: shown at its own offset, as it was written.
            const int offset = loadI16(b.data() + timeBytes + 3);
            std::int64_t perMinute = 60;
            for (int i = 0; i < column.scale; ++i)
                perMinute *= 10;
            const std::int64_t perDay = perMinute * 60 * 24;
            units += offset * perMinute;
            days += units < 0 ? -1 : units / perDay;
            units = (units % perDay + perDay) % perDay;
            return text(fmt::format("{} {} {}{:02}:{:02}", dateText(days),
                                    timeText(static_cast<std::uint64_t>(units), column.scale),
                                    offset < 0 ? '-' : '+', std::abs(offset) / 60,
                                    std::abs(offset) % 60));
        }
        case kChar:
        case kVarChar:
        case kText:
            return characters(b, column.collation);
        case kNChar:
        case kNVarChar:
        case kNText:
            return text(utf16ToUtf8(b));
        case kBinary:
        case kVarBinary:
        case kTimestamp:
        case kImage:
            return blob(b);
        case kUniqueIdentifier:
            return b.size() == 16 ? text(uniqueIdentifierText(b)) : notDecoded("length not 16");
        default:
            return notDecoded(typeName(column.type) + " is not decoded");
    }
}

// Sparse columns are kept apart from the others, in one hidden variable column at the end of the
// record: a 2-byte kind (5), the count of values, their column ids, then the end of each value
// (2 bytes each, counted from the vector's first byte), then the values. Only columns that have a
// value are there. Taken only when every end lies in order inside the vector and the last is its
// end: a vector read otherwise gives no values, and says so.
struct SparseVector {
    bool present = false;
    std::string fault;  // why the vector could not be read
    std::map<std::int32_t, std::span<const std::uint8_t>> values;
};

constexpr std::uint16_t kSparseVector = 5;

// No stored column lies inside the record's 4-byte header: a column placed there, or not placed
// at all, is a sparse column when the row's sparse vector holds it.
bool placedInRow(const PhysicalColumn* place) {
    return place && (place->leafOffset < 0 || place->leafOffset >= 4);
}

SparseVector sparseVectorOf(const Record& record) {
    SparseVector sparse;
    // The vector is the record's last variable column.
    if (record.variable.empty()) return sparse;
    const std::span<const std::uint8_t> b = record.variable.back().bytes;
    if (!record.variable.back().complex || b.size() < 4 || loadU16(b.data()) != kSparseVector)
        return sparse;
    sparse.present = true;
    const std::size_t count = loadU16(&b[2]), data = 4 + 4 * count;
    std::size_t begin = data;
    for (std::size_t k = 0; k < count && data <= b.size(); ++k) {
        const std::size_t end = loadU16(&b[4 + 2 * count + 2 * k]);
        if (end < begin || end > b.size()) break;
        sparse.values[loadU16(&b[4 + 2 * k])] = b.subspan(begin, end - begin);
        begin = end;
    }
    if (data > b.size() || sparse.values.size() != count || begin != b.size()) {
        sparse.values.clear();
        sparse.fault = "its sparse vector is damaged or of a form not known here";
    }
    return sparse;
}

}  // namespace

RowDecoder::RowDecoder(const DatabasePages& file, const TableInfo& table,
                       std::vector<PhysicalColumn> layout)
    : table_(table), offRow_(file), layout_(std::move(layout)) {
    places_.assign(table_.columns.size(), nullptr);
    for (std::size_t i = 0; i < table_.columns.size(); ++i)
        for (const PhysicalColumn& p : layout_)
            if (p.column == table_.columns[i].id) places_[i] = &p;
    everyColumnInRow_ = std::all_of(places_.begin(), places_.end(), placedInRow);
}

std::vector<CellValue> RowDecoder::decode(const Record& record) const {
    const SparseVector sparse = everyColumnInRow_ ? SparseVector{} : sparseVectorOf(record);
    std::vector<CellValue> row;
    row.reserve(table_.columns.size());
    for (std::size_t i = 0; i < table_.columns.size(); ++i) {
        const ColumnInfo& column = table_.columns[i];
        const PhysicalColumn* place = places_[i];
        if (placedInRow(place)) {
            row.push_back(decodeColumn(column, *place, record));
        } else if (auto it = sparse.values.find(column.id); it != sparse.values.end()) {
            row.push_back(valueOf(column, 0, it->second));
        } else if (!place) {
            row.push_back(notStored());
        } else if (place->leafOffset != 0) {
            row.push_back(notDecoded("the catalogue places it inside the record's header"));
        } else if (!sparse.fault.empty()) {
            row.push_back(notDecoded(sparse.fault));
        } else {
            // A sparse column without a value is not in the vector: null. Without a vector the
            // record shows no place for it at all.
            row.push_back(sparse.present ? CellValue{}
                                         : notDecoded("kept in no place the record shows"));
        }
    }
    return row;
}

CellValue RowDecoder::decodeColumn(const ColumnInfo& column, const PhysicalColumn& place,
                                   const Record& record) const {
    if (record.isNull(place.nullBit)) return {};
    std::span<const std::uint8_t> b;
    std::vector<std::uint8_t> offRow;
    if (place.leafOffset < 0) {
        const auto k = static_cast<std::size_t>(-place.leafOffset) - 1;
        if (k >= record.variable.size())
            return {};  // trailing variable columns that are null are not written
        const VariableColumn& v = record.variable[k];
        // Types not decoded here are said so before their value is followed: it may be large.
        if (column.type == kXml || column.type == kClr || column.type == kSqlVariant)
            return notDecoded(typeName(column.type) + " is not decoded");
        const bool lobType = column.type == kText || column.type == kNText || column.type == kImage;
        b = v.bytes;
        if (v.complex || lobType) {
            std::string why;
            if (!offRow_.read(v.bytes, offRow, why)) return notDecoded(why);
            b = offRow;
        }
    } else {
        const auto at = static_cast<std::size_t>(place.leafOffset);
        const std::size_t size = column.type == kBit ? 1 : storedBytes(column);
        if (at + size > record.fixed.size()) return notDecoded("record too short");
        b = record.fixed.subspan(at, size);
    }

    return valueOf(column, place.bitPosition, b);
}

}  // namespace mdf
