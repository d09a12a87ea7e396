#include "scan/page_protection.h"

#include <algorithm>

#include "source/byte_order.h"

namespace mdf {

PageProtection pageProtection(ConstPageBytes page) {
    switch (page[5] & 0x0F) {
        case 1:
            return PageProtection::TornBits;
        case 2:
            return PageProtection::Checksum;
        default:
            return PageProtection::None;
    }
}

void restoreTornBits(PageBytes page) {
    const std::uint8_t flags = page[5];
    const std::uint8_t stored = page[60];
    if ((flags & 1) == 0) return;
    if ((stored & 3) != 1 && (stored & 3) != 2) return;
    const std::uint32_t bits = loadU32(&page[60]);
    for (int k = 1; k <= 15; ++k) {
        std::uint8_t& last = page[static_cast<std::size_t>(512 * k + 511)];
        last = static_cast<std::uint8_t>((last & 0xFC) | ((bits >> (2 * k)) & 3));
    }
}

std::uint32_t pageChecksum(ConstPageBytes page) {
    std::uint32_t checksum = 0;
    for (int sector = 0; sector < 16; ++sector) {
        // A plain XOR over the whole sector, which the compiler turns into vector code; the
        // checksum's own word (word 15) is taken out afterwards. The writer verifies every page
        // it writes, so this loop runs over the whole database.
        std::uint32_t overall = 0;
        const std::uint8_t* words = &page[static_cast<std::size_t>(512 * sector)];
        for (int w = 0; w < 128; ++w)
            overall ^= loadU32(words + 4 * w);
        if (sector == 0) overall ^= loadU32(&page[60]);
        checksum ^= rotateLeft32(overall, static_cast<unsigned>(15 - sector));
    }
    return checksum;
}

bool verifyPage(ConstPageBytes page) {
    if (std::all_of(page.begin(), page.end(), [](std::uint8_t b) { return b == 0; })) return true;
    switch (pageProtection(page)) {
        case PageProtection::TornBits: {
            const std::uint8_t s = page[60] & 3;
            for (int k = 1; k <= 15; ++k)
                if ((page[static_cast<std::size_t>(512 * k + 511)] & 3) != s) return false;
            return true;
        }
        case PageProtection::Checksum:
            return pageChecksum(page) == loadU32(&page[60]);
        case PageProtection::None:
            return false;
    }
    return false;
}

}  // namespace mdf
