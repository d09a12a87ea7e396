#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace mdf {

// UTF-16LE (nchar, nvarchar, ntext, the catalogue's names) to UTF-8; a lone surrogate or an odd
// last byte becomes U+FFFD.
std::string utf16ToUtf8(std::span<const std::uint8_t> bytes);

// The Windows code page of char, varchar and text columns of a collation, 0 when it is not known
// here.
int codePageOfCollation(std::int32_t collation);

// Bytes of a code page to UTF-8 (iconv); bytes it cannot convert become U+FFFD. ASCII is taken as
// it is whatever the code page.
std::string codePageToUtf8(std::span<const std::uint8_t> bytes, int codePage);

}  // namespace mdf
