#include "tables/database_pages.h"

#include <algorithm>

#include "scan/page_header.h"
#include "scan/page_structure.h"
#include "source/byte_order.h"
#include "tables/record.h"

namespace mdf {
namespace {

constexpr std::int64_t kPageSize = 8192;
constexpr std::int64_t kPfsInterval = 8088;  // pages one PFS page describes
constexpr std::uint8_t kPfsType = 11;
constexpr std::uint8_t kDataType = 1;
constexpr std::uint8_t kPfsAllocated = 0x40;

bool allZero(ConstPageBytes page) {
    return std::all_of(page.begin(), page.end(), [](std::uint8_t b) { return b == 0; });
}

// The first page a PFS page describes; the first PFS page is page 1 and describes from page 0.
std::int64_t intervalStart(std::int64_t page) {
    return page / kPfsInterval * kPfsInterval;
}

constexpr AllocationUnitId kObjectPart = (AllocationUnitId{1} << 48) - 1;
constexpr AllocationUnitId kLegacyClustered = AllocationUnitId{1} << 48;
constexpr AllocationUnitId kModernIds = AllocationUnitId{1} << 56;

// Counted while the page is at hand, so that a census needs no second read of the data pages.
std::uint16_t countRowRecords(ConstPageBytes page) {
    std::uint16_t rows = 0;
    for (std::uint16_t offset : slotOffsets(page)) {
        const std::optional<Record> r = offset ? readRecord(page, offset) : std::nullopt;
        if (r && isRowRecord(r->kind)) ++rows;
    }
    return rows;
}

}  // namespace

bool headerNamesUnit(AllocationUnitId header, AllocationUnitId unit) {
    if (header == unit) return true;
    return unit < kModernIds && (unit & ~kObjectPart) == kLegacyClustered &&
           header == (unit & kObjectPart);
}

AllocationUnitId allocationUnitOf(ConstPageBytes page) {
    const std::uint64_t object = loadU32(&page[24]);
    const std::uint64_t index = loadU16(&page[6]);
    return (index << 48) | (object << 16);
}

const char* pageConditionText(PageCondition condition) {
    switch (condition) {
        case PageCondition::Sound:
            return "sound";
        case PageCondition::Zero:
            return "zero";
        case PageCondition::WrongPage:
            return "wrong page";
        case PageCondition::FailsProtection:
            return "protection fails";
        case PageCondition::FailsStructure:
            return "structure fails";
        case PageCondition::Unreadable:
            return "unreadable";
    }
    return "";
}

std::unique_ptr<DatabasePages> DatabasePages::open(const std::string& path, std::string& error) {
    return read(openPlainReadOnly(path), plainByteSizeOf(path), path, error);
}

std::unique_ptr<DatabasePages> DatabasePages::read(std::unique_ptr<RandomAccessFile> file,
                                                   std::int64_t bytes, const std::string& path,
                                                   std::string& error) {
    auto pages = std::unique_ptr<DatabasePages>(new DatabasePages);
    pages->file_ = std::move(file);
    if (!pages->file_ || bytes < 0) {
        error = "cannot open " + path;
        return nullptr;
    }
    const std::int64_t count = bytes / kPageSize;
    if (count == 0 || count > INT32_MAX) {
        error = path + " holds no database pages";
        return nullptr;
    }
    pages->facts_.resize(static_cast<std::size_t>(count));
    constexpr std::int64_t kChunk = 128;
    std::vector<std::uint8_t> chunk(static_cast<std::size_t>(kChunk * kPageSize));
    for (std::int64_t first = 0; first < count; first += kChunk) {
        const std::int64_t n = std::min(kChunk, count - first);
        const auto want = static_cast<std::size_t>(n * kPageSize);
        const bool whole = pages->file_->readAt(chunk.data(), want,
                                                static_cast<std::uint64_t>(first * kPageSize)) ==
                           static_cast<std::int64_t>(want);
        for (std::int64_t k = 0; k < n; ++k) {
            std::uint8_t* page = chunk.data() + k * kPageSize;
            // A failed read of many pages costs only the pages that cannot be read one by one.
            if (!whole && pages->file_->readAt(
                              page, kPageSize,
                              static_cast<std::uint64_t>((first + k) * kPageSize)) != kPageSize) {
                pages->facts_[static_cast<std::size_t>(first + k)].condition =
                    PageCondition::Unreadable;
                continue;
            }
            pages->survey(first + k, PageBytes(page, 8192));
        }
    }
    return pages;
}

void DatabasePages::survey(std::int64_t page, PageBytes bytes) {
    PageFacts& f = facts_[static_cast<std::size_t>(page)];
    if (allZero(bytes)) {
        f.condition = PageCondition::Zero;
        return;
    }
    const PageHeader h = PageHeader::from(bytes);
    // The file's id from the first page that stands where its header says (page 0 may be lost).
    if (!fileIdKnown_ && h.pageId() == page) {
        fileId_ = h.fileId();
        fileIdKnown_ = true;
    }
    f.type = h.pageType();
    f.level = h.level();
    f.unit = allocationUnitOf(bytes);
    if (h.pageId() != page || h.fileId() != fileId_)
        f.condition = PageCondition::WrongPage;
    else if (pageProtection(bytes) != PageProtection::None && !verifyPage(bytes))
        f.condition = PageCondition::FailsProtection;
    else if (!structureHoldsAsMeant(bytes))
        f.condition = PageCondition::FailsStructure;
    else
        f.condition = PageCondition::Sound;
    if (f.condition != PageCondition::Sound) return;
    // Its bytes as the engine meant them: the last bits of every sector put back.
    restoreTornBits(bytes);
    if (f.type == kDataType && f.level == 0) f.rowRecords = countRowRecords(bytes);
    if (f.type == kPfsType && (page == 1 || page % kPfsInterval == 0))
        pfs_[intervalStart(page)].assign(bytes.begin(), bytes.end());
    byUnit_[f.unit].push_back(static_cast<std::int32_t>(page));
}

bool DatabasePages::read(std::int64_t page, Page& out) const {
    if (!sound(page)) return false;
    if (file_->readAt(out.data(), out.size(), static_cast<std::uint64_t>(page * kPageSize)) !=
        kPageSize)
        return false;
    restoreTornBits(out);
    return true;
}

std::optional<bool> DatabasePages::allocated(std::int64_t page) const {
    const auto pfs = pfs_.find(intervalStart(page));
    if (pfs == pfs_.end()) return std::nullopt;
    const std::vector<std::uint8_t>& p = pfs->second;
    // Slot 0 holds one byte per page after its 4-byte record header.
    const std::size_t record = loadU16(&p[kPageSize - 2]);
    const std::size_t at = record + 4 + static_cast<std::size_t>(page - pfs->first);
    if (record < kPageHeaderSize || at >= kPageSize - 2) return std::nullopt;
    return (p[at] & kPfsAllocated) != 0;
}

std::vector<std::int32_t> DatabasePages::pagesNaming(AllocationUnitId unit) const {
    std::vector<std::int32_t> pages;
    auto add = [&](AllocationUnitId named) {
        if (const auto it = byUnit_.find(named); it != byUnit_.end())
            pages.insert(pages.end(), it->second.begin(), it->second.end());
    };
    add(unit);
    // An upgraded file's clustered data pages name the unit's object with index 0.
    if (const AllocationUnitId legacy = unit & kObjectPart;
        legacy != unit && headerNamesUnit(legacy, unit)) {
        add(legacy);
        std::sort(pages.begin(), pages.end());
    }
    return pages;
}

}  // namespace mdf
