#include "tables/record.h"

#include <algorithm>

#include "scan/page_header.h"
#include "source/byte_order.h"

namespace mdf {
namespace {

constexpr std::size_t kPage = 8192;
constexpr std::uint8_t kHasNullBitmap = 0x10;
constexpr std::uint8_t kHasVariableColumns = 0x20;
constexpr std::uint16_t kComplexColumn = 0x8000;

}  // namespace

bool Record::isNull(int nullBit) const {
    if (nullBit < 1 || nullBit > columnCount) return true;
    const auto bit = static_cast<std::size_t>(nullBit - 1);
    if (bit / 8 >= nullBitmap.size()) return false;
    return (nullBitmap[bit / 8] >> (bit % 8)) & 1;
}

std::vector<std::uint16_t> slotOffsets(ConstPageBytes page) {
    const std::size_t most = (kPage - kPageHeaderSize) / 2;
    const std::size_t count = std::min<std::size_t>(loadU16(&page[22]), most);
    std::vector<std::uint16_t> offsets(count);
    for (std::size_t s = 0; s < count; ++s)
        offsets[s] = loadU16(&page[kPage - 2 * (s + 1)]);
    return offsets;
}

std::optional<Record> readRecord(ConstPageBytes page, std::size_t offset) {
    const std::size_t slots = std::min<std::size_t>(loadU16(&page[22]), (kPage - 96) / 2);
    const std::size_t end = kPage - 2 * slots;  // the record area ends where the slot array starts
    if (offset < kPageHeaderSize || offset + 4 > end) return std::nullopt;
    const std::uint8_t* r = page.data() + offset;
    Record rec;
    rec.kind = static_cast<RecordKind>((r[0] >> 1) & 7);
    if (rec.kind == RecordKind::ForwardingStub || rec.kind == RecordKind::BlobFragment) return rec;

    const std::size_t fixedEnd = loadU16(r + 2);
    if (fixedEnd < 4 || offset + fixedEnd + 2 > end) return std::nullopt;
    rec.fixed = std::span<const std::uint8_t>(r, fixedEnd);
    rec.columnCount = loadU16(r + fixedEnd);
    std::size_t at = fixedEnd + 2;
    if (r[0] & kHasNullBitmap) {
        const std::size_t bitmap = (std::size_t{rec.columnCount} + 7) / 8;
        if (offset + at + bitmap > end) return std::nullopt;
        rec.nullBitmap = std::span<const std::uint8_t>(r + at, bitmap);
        at += bitmap;
    }
    if (r[0] & kHasVariableColumns) {
        if (offset + at + 2 > end) return std::nullopt;
        const std::size_t count = loadU16(r + at);
        at += 2;
        if (offset + at + 2 * count > end) return std::nullopt;
        std::size_t start = at + 2 * count;
        rec.variable.reserve(count);
        for (std::size_t k = 0; k < count; ++k) {
            const std::uint16_t raw = loadU16(r + at + 2 * k);
            const std::size_t stop = raw & ~kComplexColumn;
            // An empty column ends where the one before it did; none may end before its start.
            if (stop < start || offset + stop > end) return std::nullopt;
            rec.variable.push_back({std::span<const std::uint8_t>(r + start, stop - start),
                                    (raw & kComplexColumn) != 0});
            start = stop;
        }
    }
    return rec;
}

}  // namespace mdf
