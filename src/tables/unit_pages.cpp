#include "tables/unit_pages.h"

#include <algorithm>
#include <set>

#include "source/byte_order.h"
#include "tables/record.h"

namespace mdf {
namespace {

constexpr std::uint8_t kIamType = 10;
constexpr std::size_t kStartPage = 40;    // in the IAM header record, from its first byte
constexpr std::size_t kSinglePages = 46;  // eight 6-byte page addresses
constexpr std::int32_t kExtent = 8;

bool isIamOf(const DatabasePages& file, std::int64_t page, AllocationUnitId unit) {
    return file.sound(page) && file.facts(page).type == kIamType &&
           headerNamesUnit(file.facts(page).unit, unit);
}

// What one IAM page gives its unit: single pages and whole extents.
void readIam(const Page& iam, std::int64_t pageCount, std::set<std::int32_t>& singles,
             std::set<std::int32_t>& extentPages) {
    const ConstPageBytes bytes(iam.data(), iam.size());
    const std::vector<std::uint16_t> slots = slotOffsets(bytes);
    if (slots.size() < 2) return;
    const std::size_t header = slots[0], bitmap = slots[1];
    if (header < 96 || header + kSinglePages + 48 > 8192 || bitmap < 96 || bitmap + 4 > 8192)
        return;
    for (int k = 0; k < 8; ++k) {
        const std::int64_t page = loadU32(&iam[header + kSinglePages + 6 * k]);
        if (page > 0 && page < pageCount) singles.insert(static_cast<std::int32_t>(page));
    }
    const std::int64_t start = loadU32(&iam[header + kStartPage]);
    const std::size_t length = std::min<std::size_t>(loadU16(&iam[bitmap + 2]), 8192 - 2 - bitmap);
    for (std::size_t byte = 4; byte < length; ++byte) {
        const std::uint8_t bits = iam[bitmap + byte];
        for (int bit = 0; bits && bit < 8; ++bit) {
            if (!((bits >> bit) & 1)) continue;
            const std::int64_t first =
                start + kExtent * static_cast<std::int64_t>(8 * (byte - 4) + bit);
            for (std::int64_t p = first; p < first + kExtent && p < pageCount; ++p)
                extentPages.insert(static_cast<std::int32_t>(p));
        }
    }
}

}  // namespace

UnitPages unitPages(const DatabasePages& file, AllocationUnitId unit, std::int32_t firstIam) {
    UnitPages out;
    std::set<std::int32_t> iams;
    // The chain from the catalogue's first IAM page, then any IAM page the headers give the unit.
    std::int64_t next = firstIam;
    while (next > 0 && !iams.count(static_cast<std::int32_t>(next))) {
        if (!isIamOf(file, next, unit)) {
            out.mapLost = true;
            out.lostIamPages.push_back(static_cast<std::int32_t>(next));
            break;
        }
        iams.insert(static_cast<std::int32_t>(next));
        Page page;
        if (!file.read(next, page)) break;
        next = loadU32(&page[16]);
    }
    for (std::int32_t p : file.pagesNaming(unit))
        if (file.facts(p).type == kIamType && file.allocated(p).value_or(true)) iams.insert(p);

    std::set<std::int32_t> singles, extentPages;
    for (std::int32_t p : iams) {
        Page page;
        if (file.read(p, page)) readIam(page, file.pageCount(), singles, extentPages);
    }
    out.iamPages.assign(iams.begin(), iams.end());

    std::set<std::int32_t> owned(singles);
    for (std::int32_t p : extentPages) {
        const std::optional<bool> allocated = file.allocated(p);
        if (!allocated) out.pfsLost = true;
        // Without its PFS page a page of the extent counts when anything at all was written there.
        if (allocated.value_or(file.facts(p).condition != PageCondition::Zero)) owned.insert(p);
    }
    if (out.mapLost) {
        for (std::int32_t p : file.pagesNaming(unit))
            if (file.facts(p).type != kIamType && file.allocated(p).value_or(true)) owned.insert(p);
    }
    for (std::int32_t p : iams)
        owned.erase(p);
    out.pages.assign(owned.begin(), owned.end());
    return out;
}

}  // namespace mdf
