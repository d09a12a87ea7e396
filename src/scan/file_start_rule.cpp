#include "scan/file_start_rule.h"

#include <array>

#include "scan/file_header_readers.h"
#include "scan/page_header.h"

namespace mdf {

bool loneFileHeaderStartsFile(ConstPageBytes page, std::uint16_t scanFileId) {
    if (!isFileHeaderPage(PageHeader::from(page), scanFileId)) return false;
    if (pageProtection(page) == PageProtection::None || !verifyPage(page)) return false;
    std::array<std::uint8_t, 8192> repaired{};
    std::copy(page.begin(), page.end(), repaired.begin());
    restoreTornBits(repaired);
    const PageCountResult count = readFilePageCount(repaired);
    return count.result == 0 && count.pages > 0;
}

}  // namespace mdf
