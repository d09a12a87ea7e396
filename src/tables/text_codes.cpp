#include "tables/text_codes.h"

#include <iconv.h>

#include <algorithm>
#include <map>
#include <string>

#include "scan/utf8.h"
#include "source/byte_order.h"

namespace mdf {
namespace {

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
    // One converter per code page and thread, opened once: an export converts millions of cells.
    struct Converters {
        std::map<int, iconv_t> open;
        ~Converters() {
            for (auto& [page, cd] : open)
                if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
        }
    };
    thread_local Converters converters;
    const int page = codePage == 0 ? 1252 : codePage;
    auto [it, opened] = converters.open.try_emplace(page);
    if (opened) it->second = iconv_open("UTF-8", ("CP" + std::to_string(page)).c_str());
    iconv_t cd = it->second;
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(bytes.begin(), bytes.end());
    iconv(cd, nullptr, nullptr, nullptr, nullptr);  // a new text starts in the initial state
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
    return out;
}

}  // namespace mdf
