// Damaged PFS, IAM and data pages fed to the recording and matching passes, and the whole chain
// analysis over them: nothing may be read outside a page, no page id may index outside the map,
// and a bogus page count must not cost memory.
#include <atomic>
#include <cstdint>

#include "analysis/chain_analysis.h"
#include "memory_file.h"
#include "report/reporter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace mdf;
    if (size < 8) return 0;
    const std::int32_t basePage = static_cast<std::int32_t>(data[0] | (data[1] << 8)) - 100;
    const std::uint16_t spc = data[2] % 20;
    std::span<const std::uint8_t> pages(data + 8, size - 8);
    const std::int32_t pageCount = static_cast<std::int32_t>(pages.size() / 8192) + 1;

    SectorSource source(fuzz::memoryOpener(pages));
    source.select(SourceKind::ImageFile, "input",
                  static_cast<std::int64_t>(pages.size() / 512) + 16);
    ContentFile content;
    FragmentList fragments;
    fragments.append(composeFragment(1, pageCount, 0, 0, " "));
    fragments.append(composeFragment(2, pageCount, 0, basePage > 0 ? basePage : 1, " "));
    FragmentIndex index = buildFragmentIndex(fragments);
    bool fromSource = true;
    PageOrigin origin(source, content, fragments, fromSource);
    AnalysisResults results;
    SilentReporter reporter;
    PageMapPass pass{results.pageMap, origin, reporter, spc, &results.unreadablePages};

    results.pageMap.reset(data[3] & 1 ? INT32_MAX : 20000);
    recordPfsPages(pass, pageCount, basePage, 0);
    recordFragmentPages(pass, pageCount, basePage, 0);
    (void)matchFragmentPages(pass, pageCount, basePage, 0);

    AnalysisContext ctx{fragments, index, origin, results, reporter, spc, nullptr};
    analyseChain(ctx, {0, std::int64_t{pageCount} * 8});
    return 0;
}
