#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "scan/page_protection.h"

namespace mdf {

// What a row record is, bits 1-3 of its first status byte.
enum class RecordKind : std::uint8_t {
    Primary = 0,
    Forwarded = 1,       // a heap row moved to another page; a stub stays where it was
    ForwardingStub = 2,  // only the address of the moved row
    Index = 3,
    BlobFragment = 4,
    GhostIndex = 5,
    GhostData = 6,  // a deleted row not yet cleaned away
    GhostVersion = 7,
};

// Records that are rows of a table: primary ones, and heap rows moved to another page (their
// forwarding stubs and deleted rows are not).
inline bool isRowRecord(RecordKind kind) {
    return kind == RecordKind::Primary || kind == RecordKind::Forwarded;
}

struct VariableColumn {
    std::span<const std::uint8_t> bytes;
    bool complex = false;  // a pointer to data kept elsewhere (row overflow, LOB root)
};

// One record of the fixed-then-variable layout, its parts cut out of the page and checked to lie
// inside the record area: the 4-byte header and fixed data (leaf offsets count from the record's
// first byte), the column count, the null bitmap and the variable columns.
struct Record {
    RecordKind kind = RecordKind::Primary;
    std::span<const std::uint8_t> fixed;  // from the record's first byte to the column count
    std::uint16_t columnCount = 0;
    std::span<const std::uint8_t> nullBitmap;
    std::vector<VariableColumn> variable;

    // nullBit counts from 1, as the catalogue gives it; a column beyond those the record holds
    // (added after the row was written) reads as null.
    bool isNull(int nullBit) const;
};

// The record at offset, or nothing when its lengths or offsets do not fit between the page header
// and the slot array. Forwarding stubs and blob fragments have no column layout: their kind only.
std::optional<Record> readRecord(ConstPageBytes page, std::size_t offset);

// The record offsets of a page's slot array, slot 0 first; 0 where a slot is empty. Only as many
// slots as can fit on a page are read, whatever the header claims.
std::vector<std::uint16_t> slotOffsets(ConstPageBytes page);

}  // namespace mdf
