#include "scan/file_header_readers.h"

#include <fmt/core.h>

#include <algorithm>

#include "scan/utf8.h"
#include "source/byte_order.h"

namespace mdf {
namespace {

// Record 0's offset as the slot array states it. A damaged page may state anything; the readers
// only ever search inside the page from there.
std::int32_t recordZeroOffset(ConstPageBytes page) {
    return loadI16(&page[8190]);
}

bool isMdfExtension(ConstPageBytes p, std::size_t i) {
    auto letter = [&](std::size_t at, char lower) {
        return (p[at] == lower || p[at] == lower - 32) && p[at + 1] == 0;
    };
    return p[i] == 0x2E && p[i + 1] == 0 && letter(i + 2, 'm') && letter(i + 4, 'd') &&
           letter(i + 6, 'f');
}

bool isTwoBlanks(ConstPageBytes p, std::size_t j) {
    return p[j] == 0x20 && p[j + 1] == 0 && p[j + 2] == 0x20 && p[j + 3] == 0;
}

// UTF-16LE code units from..to (exclusive), at most 4001 characters, ending early at a zero.
std::string utf16ToUtf8(ConstPageBytes p, std::size_t from, std::size_t to) {
    std::string out;
    int chars = 0;
    for (std::size_t i = from; i + 2 <= to && chars < 4001; i += 2, ++chars) {
        std::uint32_t unit = loadU16(&p[i]);
        if (unit == 0) break;
        if (unit >= 0xD800 && unit < 0xDC00 && i + 4 <= to) {
            std::uint32_t low = loadU16(&p[i + 2]);
            if (low >= 0xDC00 && low < 0xE000) {
                appendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        appendUtf8(out, (unit >= 0xD800 && unit < 0xE000) ? 0xFFFD : unit);
    }
    return out;
}

std::string trimBlanksAndControls(const std::string& s) {
    std::size_t first = 0, last = s.size();
    while (first < last && static_cast<unsigned char>(s[first]) <= 0x20)
        ++first;
    while (last > first && static_cast<unsigned char>(s[last - 1]) <= 0x20)
        --last;
    return s.substr(first, last - first);
}

}  // namespace

PageCountResult readFilePageCount(ConstPageBytes page) {
    const std::int32_t s = recordZeroOffset(page);
    if (s < 0) return {};
    for (std::int32_t i = std::max(s, 4); i < 8190 && i + 4 <= 8192; ++i) {
        const auto at = static_cast<std::size_t>(i);
        if (page[at] == 0xFF && page[at + 1] == 0xFF && page[at + 2] == 0xFF &&
            page[at + 3] == 0xFF)
            return {0, loadI32(&page[at - 4])};
    }
    return {};
}

namespace {

// The name ending at the first ".mdf" from record offset s, if it ends before limit.
FileNameResult fileNameFrom(ConstPageBytes page, std::int32_t s, std::int32_t limit) {
    std::int32_t dot = -1;
    for (std::int32_t i = s; i < 8190 && i + 8 <= limit; ++i) {
        if (isMdfExtension(page, static_cast<std::size_t>(i))) {
            dot = i;
            break;
        }
    }
    if (dot < 0) return {};
    for (std::int32_t j = dot - 2; j >= 0; j -= 2) {
        if (isTwoBlanks(page, static_cast<std::size_t>(j))) {
            std::string name =
                utf16ToUtf8(page, static_cast<std::size_t>(j + 4), static_cast<std::size_t>(dot));
            return {0, trimBlanksAndControls(name) + ".mdf"};
        }
        if (j <= s) break;
    }
    return {};
}

}  // namespace

FileNameResult readFileName(ConstPageBytes page) {
    const std::int32_t s = recordZeroOffset(page);
    if (s < 0) return {};
    return fileNameFrom(page, s, 8192);
}

FileNameResult readFileNameFromFirstBytes(ConstPageBytes page, std::size_t knownBytes) {
    constexpr std::int32_t kFirstRecord = 96;
    return fileNameFrom(page, kFirstRecord,
                        static_cast<std::int32_t>(std::min<std::size_t>(knownBytes, 8192)));
}

std::string fileSizeText(std::int64_t pages) {
    const double mb = static_cast<double>(pages) * 16.0 / 2048.0;
    if (mb >= 1000) return fmt::format("{:.2f} GB)", mb / 1024.0);
    return fmt::format("{:.2f} MB)", mb);
}

}  // namespace mdf
