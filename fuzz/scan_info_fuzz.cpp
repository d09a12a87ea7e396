// A scan-info file as it may arrive damaged or hand-edited: every line decoded and parsed, and
// the records it yields put through the index and the views.
#include <cstdint>
#include <string_view>

#include "scan/fragment_list.h"
#include "scan/scan_info_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace mdf;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    ScanInfoContents contents = parseScanInfo(text);
    FragmentList list;
    list.replace(std::move(contents.records));
    FragmentIndex index = buildFragmentIndex(list);
    (void)index.lowerBound(static_cast<std::int32_t>(size));
    for (std::int32_t r : visibleRecords(list)) {
        (void)list[static_cast<std::size_t>(r)].pages();
        (void)recordField(list[static_cast<std::size_t>(r)].text(), 7);
    }
    // Lines that are records in plain text, the way decodeLine hands them over.
    (void)FragmentRecord::parse(text);
    (void)decodeLine(text, kScanInfoKey);
    return 0;
}
