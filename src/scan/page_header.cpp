#include "scan/page_header.h"

#include <algorithm>
#include <cstring>

namespace mdf {
namespace {

bool tailIsZero(const PageHeader& h) {
    return std::all_of(h.bytes.begin() + 64, h.bytes.end(), [](std::uint8_t b) { return b == 0; });
}

bool linksAndIndexAreZero(const PageHeader& h) {
    return std::all_of(h.bytes.begin() + 6, h.bytes.begin() + 22,
                       [](std::uint8_t b) { return b == 0; });
}

// The tests shared by the file header page and the first PFS page, up to the page type.
bool countsInRange(const PageHeader& h) {
    return h.freeCount() <= kMaxRecordSpace && h.freeDataOffset() >= 96 &&
           h.freeDataOffset() <= 8192 && h.reservedCount() <= 8192 &&
           h.ghostRecordCount() <= kMaxRecordSpace && h.headerVersion() == 1;
}

bool isAllocationHeader(const PageHeader& h, std::uint8_t type, std::int32_t pageId,
                        bool testFlagByte, std::uint16_t scanFileId) {
    if (!countsInRange(h)) return false;
    if (h.pageType() != type) return false;
    if (h.level() != 0) return false;
    if (testFlagByte && h.flagBitsLow() != 0 && h.flagBitsLow() != 8) return false;
    if (!linksAndIndexAreZero(h)) return false;
    if (h.slotCount() != 1) return false;
    if (h.objectId() != 99) return false;
    if (h.pageId() != pageId) return false;
    if (h.fileId() != scanFileId) return false;
    return tailIsZero(h);
}

}  // namespace

PageHeader PageHeader::from(std::span<const std::uint8_t> page) {
    PageHeader h;
    std::memcpy(h.bytes.data(), page.data(), std::min<std::size_t>(page.size(), kPageHeaderSize));
    return h;
}

bool isDataPage(const PageHeader& h, std::uint16_t scanFileId) {
    if (h.freeCount() > kMaxRecordSpace) return false;
    if (h.pageId() <= 0) return false;
    if (h.slotCount() > kMaxRecordSpace) return false;
    if (h.freeDataOffset() < 96 || h.freeDataOffset() > 8192) return false;
    if (h.reservedCount() > 8192) return false;
    if (h.ghostRecordCount() > kMaxRecordSpace) return false;
    if (h.headerVersion() != 1) return false;
    if (h.pageType() < 1 || h.pageType() > 19) return false;
    if (h.typeFlagBits() != 0 && h.typeFlagBits() != 1 && h.typeFlagBits() != 4) return false;
    if (h.fileId() != scanFileId) return false;
    if (!tailIsZero(h)) return false;
    return h.pageType() == 2 || h.level() == 0;
}

bool isFileHeaderPage(const PageHeader& h, std::uint16_t scanFileId) {
    return isAllocationHeader(h, 15, 0, true, scanFileId);
}

bool isPfsPage(const PageHeader& h, std::uint16_t scanFileId) {
    return isAllocationHeader(h, 11, 1, false, scanFileId);
}

bool continuesRun(std::uint16_t expectedFileId, std::int32_t expectedPageId, const PageHeader& h,
                  std::uint16_t scanFileId) {
    return isDataPage(h, scanFileId) && h.pageId() == expectedPageId &&
           h.fileId() == expectedFileId;
}

}  // namespace mdf
