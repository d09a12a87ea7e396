#include "scan/page_structure.h"

#include <algorithm>
#include <array>
#include <optional>

#include "source/byte_order.h"

namespace mdf {
namespace {

constexpr std::int32_t kPage = 8192;
constexpr std::int32_t kHeader = 96;

// Record kinds, bits 1-3 of a record's first status byte.
enum RecordKind : std::uint8_t {
    kPrimary = 0,
    kForwarded = 1,
    kForwardingStub = 2,
    kIndex = 3,
    kBlobFragment = 4,
    kGhostIndex = 5,
    kGhostData = 6,
    kGhostVersion = 7,
};
// Bits of the first status byte.
constexpr std::uint8_t kHasNullBitmap = 0x10;
constexpr std::uint8_t kHasVariableColumns = 0x20;
constexpr std::uint8_t kHasVersionTag = 0x40;
constexpr std::int32_t kVersionTagBytes = 14;
// Seen on real files: a page's free count may fall short of what its records leave by a few
// bytes (the file name page by 6, an IAM page by 2); never by more, never above it.
constexpr std::int32_t kSetAsideBytes = 16;

enum PageType : std::uint8_t {
    kData = 1,
    kIndexPage = 2,
    kTextMix = 3,
    kTextTree = 4,
    kGam = 8,
    kSgam = 9,
    kIam = 10,
    kPfs = 11,
    kBoot = 13,
    kFileHeader = 15,
    kDiffMap = 16,
    kMlMap = 17,
};

// The allocation maps keep one record per slot whose length field is its whole length.
bool holdsLengthPrefixedRecords(std::uint8_t type) {
    return type == kGam || type == kSgam || type == kIam || type == kPfs || type == kDiffMap ||
           type == kMlMap;
}

// The page kinds whose records are all of kinds laid out as known here.
bool judgesRecords(std::uint8_t type) {
    return type == kData || type == kIndexPage || type == kTextMix || type == kTextTree ||
           holdsLengthPrefixedRecords(type) || type == kFileHeader;
}

bool kindFits(std::uint8_t pageType, std::uint8_t kind) {
    switch (pageType) {
        case kData:
            return kind == kPrimary || kind == kForwarded || kind == kForwardingStub ||
                   kind == kGhostData || kind == kGhostVersion;
        case kIndexPage:
            return kind == kIndex || kind == kGhostIndex;
        case kTextMix:
        case kTextTree:
            return kind == kBlobFragment;
        case kGam:
        case kSgam:
        case kIam:
        case kPfs:
        case kBoot:
        case kFileHeader:
        case kDiffMap:
        case kMlMap:
            return kind == kPrimary;
        default:
            return true;  // a page kind whose records are not judged here
    }
}

std::uint16_t u16(ConstPageBytes p, std::int32_t at) {
    return loadU16(&p[static_cast<std::size_t>(at)]);
}

// Past the fixed part (at pos): the null bitmap and the variable-length columns, whose last end
// offset is the record's end. Nothing when the record's own counts run off the page.
std::optional<std::int32_t> endOfColumns(ConstPageBytes p, std::int32_t record, std::int32_t pos,
                                         std::uint8_t status, bool columnCountAlways) {
    if (columnCountAlways || (status & kHasNullBitmap)) {
        if (pos + 2 > kPage) return std::nullopt;
        const std::int32_t columns = u16(p, pos);
        pos += 2;
        if (status & kHasNullBitmap) pos += (columns + 7) / 8;
    }
    if (status & kHasVariableColumns) {
        if (pos + 2 > kPage) return std::nullopt;
        const std::int32_t variable = u16(p, pos);
        pos += 2;
        if (pos + 2 * variable > kPage) return std::nullopt;
        std::int32_t end = pos + 2 * variable;
        if (variable > 0) end = std::max(end, record + (u16(p, pos + 2 * (variable - 1)) & 0x7FFF));
        pos = end;
    }
    if (status & kHasVersionTag) pos += kVersionTagBytes;
    return pos;
}

// The length of the record at offset, as its own header tells it; nothing when it cannot be
// told (a kind not judged here) or the record's counts run off the page.
std::optional<std::int32_t> recordLength(ConstPageBytes p, std::uint8_t pageType,
                                         std::int32_t record) {
    if (record + 4 > kPage) return std::nullopt;
    const std::uint8_t status = p[static_cast<std::size_t>(record)];
    const std::uint8_t kind = (status >> 1) & 7;
    if (holdsLengthPrefixedRecords(pageType) || kind == kBlobFragment) return u16(p, record + 2);
    if (kind == kForwardingStub) return 9;
    std::optional<std::int32_t> end;
    if (kind == kIndex || kind == kGhostIndex) {
        const std::int32_t fixed = u16(p, 14);  // the header's minimum record length
        end = endOfColumns(p, record, record + fixed, status, false);
    } else if (kind == kPrimary || kind == kForwarded || kind == kGhostData ||
               kind == kGhostVersion) {
        const std::int32_t fixed = u16(p, record + 2);
        if (fixed < 4) return std::nullopt;
        end = endOfColumns(p, record, record + fixed, status, true);
    }
    if (!end) return std::nullopt;
    return *end - record;
}

}  // namespace

StructureFault pageStructureFault(ConstPageBytes page) {
    if (std::all_of(page.begin(), page.end(), [](std::uint8_t b) { return b == 0; }))
        return StructureFault::None;
    const std::uint8_t type = page[1];
    if (page[0] != 1 || type < 1 || type > 19) return StructureFault::Header;
    const std::int32_t slots = u16(page, 22);
    const std::int32_t freeCount = u16(page, 28);
    const std::int32_t freeData = u16(page, 30);
    const std::int32_t slotArray = kPage - 2 * slots;
    if (slots > (kPage - kHeader) / 2 || freeData < kHeader || freeData > slotArray)
        return StructureFault::SlotArray;
    // The free count takes in the holes deleted records left; it is never less than the free
    // space between the used area and the slot array, nor more than the page holds.
    if (freeCount < slotArray - freeData || freeCount > kPage - kHeader - 2 * slots)
        return StructureFault::FreeSpace;

    std::array<std::int32_t, (kPage - kHeader) / 2> offsets{};
    std::int32_t records = 0;
    for (std::int32_t s = 0; s < slots; ++s) {
        const std::int32_t offset = u16(page, kPage - 2 - 2 * s);
        if (offset == 0) continue;  // a slot whose record was removed
        if (offset < kHeader || offset >= freeData) return StructureFault::RecordOutside;
        offsets[static_cast<std::size_t>(records++)] = offset;
    }
    // Slots whose records were all removed, on a page whose used area still holds data: the
    // slot array is not this page's (zeros in its place).
    if (slots > 0 && records == 0 && freeData > kHeader) return StructureFault::RecordOutside;
    std::sort(offsets.begin(), offsets.begin() + records);
    std::int32_t recordBytes = 0;
    bool everyLengthKnown = judgesRecords(type) && type != kFileHeader;
    for (std::int32_t r = 0; r < records; ++r) {
        const std::int32_t at = offsets[static_cast<std::size_t>(r)];
        const std::int32_t next =
            r + 1 < records ? offsets[static_cast<std::size_t>(r + 1)] : freeData;
        if (next == at) return StructureFault::RecordOutside;
        if (!kindFits(type, (page[static_cast<std::size_t>(at)] >> 1) & 7))
            return StructureFault::RecordKind;
        if (type == kBoot) continue;  // its one record is laid out in a way of its own
        const std::optional<std::int32_t> length = recordLength(page, type, at);
        if (!length) {
            // A record of a kind whose layout is known, whose own counts run off the page.
            if (judgesRecords(type)) return StructureFault::RecordLength;
            everyLengthKnown = false;
            continue;
        }
        if (*length < 4 || at + *length > next) return StructureFault::RecordLength;
        recordBytes += *length;
    }
    // The free count is what the records leave of the page, holes included: where every record's
    // length is known it must agree, within the few bytes some pages keep aside. A slot array
    // taken from another page points at too few or too many bytes.
    if (everyLengthKnown) {
        const std::int32_t gap = freeCount - (kPage - kHeader - recordBytes - 2 * slots);
        if (gap > 0 || gap < -kSetAsideBytes) return StructureFault::FreeSpace;
    }
    return StructureFault::None;
}

bool structureHoldsAsMeant(ConstPageBytes page) {
    std::array<std::uint8_t, 8192> restored;
    std::copy(page.begin(), page.end(), restored.begin());
    restoreTornBits(restored);
    return pageStructureHolds(restored);
}

const char* structureFaultText(StructureFault fault) {
    switch (fault) {
        case StructureFault::None:
            return "sound";
        case StructureFault::Header:
            return "header version or page type out of range";
        case StructureFault::SlotArray:
            return "slot array overlaps the used area";
        case StructureFault::FreeSpace:
            return "free count disagrees with the used area";
        case StructureFault::RecordOutside:
            return "a slot points outside the used area";
        case StructureFault::RecordKind:
            return "a record of a kind the page cannot hold";
        case StructureFault::RecordLength:
            return "a record runs past the next one";
    }
    return "";
}

}  // namespace mdf
