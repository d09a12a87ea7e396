#pragma once

#include <cstdint>

#include "scan/page_protection.h"

namespace mdf {

// What is wrong with a page's own layout, beyond its protection.
enum class StructureFault : std::uint8_t {
    None,
    Header,         // version or type out of range
    SlotArray,      // the slot array at the page's end overlaps the used area
    FreeSpace,      // the free count disagrees with the used area and the slot array
    RecordOutside,  // a slot points outside the used area, or two slots at one record
    RecordKind,     // a record of a kind this page cannot hold
    RecordLength,   // a record runs past the next one or past the used area
};

// Judges the layout a page's header and slot array describe: the free-data offset, slot count and
// free count agree with the slot array at the page's end; every slot points inside the used area
// at a record of a kind the page can hold, whose header and length fit before the next record.
// For a page without checksum or torn bits this is the only evidence there is that its bytes
// belong together: a second half taken from another cluster leaves a slot array of nonsense. An
// all-zero page has no structure to judge (None). Reads nothing outside the 8192 bytes.
StructureFault pageStructureFault(ConstPageBytes page);

inline bool pageStructureHolds(ConstPageBytes page) {
    return pageStructureFault(page) == StructureFault::None;
}

// The structure of a page as the database engine meant it: judged with its torn bits put back
// where the last two bits of every sector were (a copy; the page is left as it is).
bool structureHoldsAsMeant(ConstPageBytes page);

// "slot array overlaps the used area", ...
const char* structureFaultText(StructureFault fault);

}  // namespace mdf
