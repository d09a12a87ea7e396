#pragma once

#include <cstdint>
#include <span>

namespace mdf {

// One SQL Server page as read: 8192 bytes, 16 sectors of 512.
using PageBytes = std::span<std::uint8_t, 8192>;
using ConstPageBytes = std::span<const std::uint8_t, 8192>;

// The page protection named by the low nibble of byte 5.
enum class PageProtection { None, TornBits, Checksum };
PageProtection pageProtection(ConstPageBytes page);

// Puts back the two low bits of the last byte of sectors 1..15 that torn-page protection keeps
// in the 32-bit value at offset 60. Changes nothing unless byte 5 has bit 0 set and the stored
// value's low two bits are 1 or 2.
void restoreTornBits(PageBytes page);

// The SQL Server page checksum: each sector's words XOR-ed, rotated by 15 - sector, the word at
// offset 60 (where the checksum is kept) left out.
std::uint32_t pageChecksum(ConstPageBytes page);

// True when the page is all zeros, or intact by its own torn-page bits or checksum.
bool verifyPage(ConstPageBytes page);

}  // namespace mdf
