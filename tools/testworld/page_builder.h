#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "scan/page_header.h"
#include "scan/page_protection.h"

namespace mdf::test {

using Page = std::array<std::uint8_t, 8192>;

// Builds SQL Server pages field by field: a valid header to start from, records with their
// slot array, page links, log sequence numbers and the page protection last.
// The page checksum SQL Server keeps at byte 60, worked out here on the test world's own: each
// sector's 128 words XORed together, that sector's value rotated left by 15 minus its number, the
// sixteen values XORed, the word at byte 60 counted as zero. The product has its own; the two are
// never one piece of code, and this one is held against the pages of the real files.
std::uint32_t testWorldChecksum(std::span<const std::uint8_t, 8192> page);

class PageBuilder {
  public:
    PageBuilder() { page_.fill(0); }

    // A page with a header every validator accepts for its kind.
    static PageBuilder dataPage(std::int32_t pageId, std::uint16_t fileId = 1,
                                std::uint8_t type = 1, std::int32_t objectId = 1000);
    // Page 0 with its one record, which holds the file's size in pages followed by FF FF FF FF
    // at record offset kPageCountOffset.
    static PageBuilder fileHeaderPage(std::uint16_t fileId = 1, std::int32_t pageCount = 0);
    static constexpr std::uint16_t kPageCountOffset = 130;
    // A PFS page whose record 0 (at offset 96, length 8092) holds 8088 zero PFS bytes; PFS byte j
    // is at page offset kPfsBytesOffset + j.
    static PageBuilder pfsPage(std::int32_t pageId = 1, std::uint16_t fileId = 1);
    static constexpr std::size_t kPfsBytesOffset = 100;
    static PageBuilder iamPage(std::int32_t pageId, std::int32_t objectId,
                               std::uint16_t fileId = 1);
    // An IAM page with its two records: the header (start page at record offset 40, up to eight
    // single-page slots at 46 + 6k) and the extent bitmap, one bit per extent from start.
    static PageBuilder iamPageWith(std::int32_t pageId, std::int32_t objectId, std::int32_t start,
                                   const std::vector<std::int32_t>& singlePages,
                                   const std::vector<std::int32_t>& extentFirstPages);

    PageBuilder& set8(std::size_t offset, std::uint8_t value);
    PageBuilder& set16(std::size_t offset, std::uint16_t value);
    PageBuilder& set32(std::size_t offset, std::uint32_t value);
    PageBuilder& setPageId(std::int32_t pageId) {
        return set32(32, static_cast<std::uint32_t>(pageId));
    }
    PageBuilder& setObjectId(std::int32_t id) { return set32(24, static_cast<std::uint32_t>(id)); }
    PageBuilder& setPrevious(std::int32_t pageId, std::uint16_t fileId = 1);
    PageBuilder& setNext(std::int32_t pageId, std::uint16_t fileId = 1);
    PageBuilder& setLogSequence(std::uint32_t file, std::uint32_t offset, std::uint16_t slot);

    // Appends a record (4-byte record header included in bytes) at the free data offset and
    // its slot entry at the end of the page; returns the record's offset.
    std::uint16_t addRecord(std::span<const std::uint8_t> bytes);
    // The record page 32 of a database holds: the logical name padded with UTF-16 blanks to 128
    // characters, then the file's own path padded to 260.
    PageBuilder& addFileNameRecord(const std::string& logicalName, const std::string& physicalPath);
    // A record of the given total length whose payload is filled by the caller afterwards.
    std::uint16_t addRecordOfLength(std::uint16_t length, std::uint8_t statusByte = 0x00);

    // Page checksum: byte 5 low nibble 2, checksum at 60. Call last.
    PageBuilder& protectWithChecksum();
    // Torn-page bits with the given torn value s (1 or 2): byte 5 low nibble 1, original low two
    // bits of the last byte of sectors 1..15 kept at 60, those bytes' low bits replaced by s.
    PageBuilder& protectWithTornBits(std::uint8_t s = 1);

    Page& bytes() { return page_; }
    const Page& bytes() const { return page_; }
    PageHeader header() const { return PageHeader::from(page_); }
    Page build() const { return page_; }

  private:
    Page page_;
};

}  // namespace mdf::test
