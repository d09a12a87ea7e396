// One page as a damaged disk may hold it: the header tests, torn-bit repair, verification, and
// the readers of a file's size and name, whatever the slot array says.
#include <array>
#include <cstdint>
#include <cstring>

#include "scan/file_header_readers.h"
#include "scan/page_header.h"
#include "scan/page_protection.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace mdf;
    std::array<std::uint8_t, 8192> page{};
    std::memcpy(page.data(), data, std::min(size, page.size()));
    PageHeader h = PageHeader::from(page);
    const std::uint16_t fileId = size > 8192 ? data[8192] : 1;
    (void)isDataPage(h, fileId);
    (void)isFileHeaderPage(h, fileId);
    (void)isPfsPage(h, fileId);
    (void)continuesRun(fileId, h.pageId(), h, fileId);
    (void)verifyPage(page);
    restoreTornBits(page);
    (void)readFilePageCount(page);
    (void)readFileName(page);
    (void)fileSizeText(readFilePageCount(page).pages);
    return 0;
}
