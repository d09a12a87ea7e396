#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "source/byte_order.h"

namespace mdf {

inline constexpr int kPageHeaderSize = 96;
inline constexpr std::uint16_t kMaxRecordSpace = 8096;  // 8192 less the header

// The first 96 bytes of a page as they stand on the disk.
struct PageHeader {
    std::array<std::uint8_t, kPageHeaderSize> bytes{};

    static PageHeader from(std::span<const std::uint8_t> page);

    std::uint8_t headerVersion() const { return bytes[0]; }
    std::uint8_t pageType() const { return bytes[1]; }
    std::uint8_t typeFlagBits() const { return bytes[2]; }
    std::uint8_t level() const { return bytes[3]; }
    std::uint8_t flagBitsLow() const { return bytes[4]; }
    std::uint16_t indexId() const { return loadU16(&bytes[6]); }
    std::uint16_t slotCount() const { return loadU16(&bytes[22]); }
    std::int32_t objectId() const { return loadI32(&bytes[24]); }
    std::uint16_t freeCount() const { return loadU16(&bytes[28]); }
    std::uint16_t freeDataOffset() const { return loadU16(&bytes[30]); }
    std::int32_t pageId() const { return loadI32(&bytes[32]); }
    std::uint16_t fileId() const { return loadU16(&bytes[36]); }
    std::uint16_t reservedCount() const { return loadU16(&bytes[38]); }
    std::uint16_t ghostRecordCount() const { return loadU16(&bytes[58]); }
};

// A plausible page of the database file with the given file id.
bool isDataPage(const PageHeader& h, std::uint16_t scanFileId);
// Page 0 of that file, its file header page.
bool isFileHeaderPage(const PageHeader& h, std::uint16_t scanFileId);
// Page 1 of that file, its first PFS page.
bool isPfsPage(const PageHeader& h, std::uint16_t scanFileId);
// A plausible page of the file that carries the page id a run expects next.
bool continuesRun(std::uint16_t expectedFileId, std::int32_t expectedPageId, const PageHeader& h,
                  std::uint16_t scanFileId);

}  // namespace mdf
