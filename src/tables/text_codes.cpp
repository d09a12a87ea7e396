#include "tables/text_codes.h"

#include <iconv.h>

#include <algorithm>
#include <string>

#include "source/byte_order.h"

namespace mdf {
namespace {

void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

constexpr std::uint32_t kReplacement = 0xFFFD;

}  // namespace

std::string utf16ToUtf8(std::span<const std::uint8_t> bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) {
        std::uint32_t unit = loadU16(&bytes[i]);
        if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size()) {
            const std::uint32_t low = loadU16(&bytes[i + 2]);
            if (low >= 0xDC00 && low < 0xE000) {
                appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        appendUtf8(out, unit >= 0xD800 && unit < 0xE000 ? kReplacement : unit);
    }
    if (i < bytes.size()) appendUtf8(out, kReplacement);
    return out;
}

int codePageOfCollation(std::int32_t collation) {
    const auto id = static_cast<std::uint32_t>(collation);
    const std::uint32_t sortOrder = id >> 24;  // set for the SQL_ collations
    if (sortOrder != 0) {
        if (sortOrder >= 30 && sortOrder <= 34) return 437;
        if (sortOrder >= 40 && sortOrder <= 49) return 850;
        if (sortOrder >= 50 && sortOrder <= 61) return 1252;
        return 0;
    }
    // Windows collations: the low 12 bits name the language's collation.
    switch (id & 0xFFF) {
        case 0x008:
            return 1252;  // Latin1_General
        case 0x024:
            return 936;  // Chinese_PRC
        case 0x028:
            return 1252;  // Modern_Spanish
        default:
            return 0;
    }
}

std::string codePageToUtf8(std::span<const std::uint8_t> bytes, int codePage) {
    if (std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b < 0x80; }))
        return std::string(bytes.begin(), bytes.end());
    const std::string from = "CP" + std::to_string(codePage == 0 ? 1252 : codePage);
    iconv_t cd = iconv_open("UTF-8", from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(bytes.begin(), bytes.end());
    std::string out;
    std::string buffer(bytes.size() * 4 + 4, '\0');
    char* in = const_cast<char*>(reinterpret_cast<const char*>(bytes.data()));
    std::size_t inLeft = bytes.size();
    while (inLeft > 0) {
        char* o = buffer.data();
        std::size_t outLeft = buffer.size();
        const std::size_t r = iconv(cd, &in, &inLeft, &o, &outLeft);
        out.append(buffer.data(), static_cast<std::size_t>(o - buffer.data()));
        if (r == static_cast<std::size_t>(-1) && inLeft > 0) {
            appendUtf8(out, kReplacement);  // a byte the code page does not know: skip it
            ++in;
            --inLeft;
        }
    }
    iconv_close(cd);
    return out;
}

}  // namespace mdf
