#pragma once

// A small world for analysis tests: an image with pages at known sectors, the fragment records
// that describe them, and everything an analysis needs to run over them.
#include <filesystem>

#include "analysis/chain_analysis.h"
#include "report/reporter.h"
#include "testworld/sector_image.h"
#include "testworld/temp_dir.h"

namespace mdf::test {

// A PFS page (id 1 or a multiple of 8088) whose bytes mark pages allocated (0x40) and IAM (0x70).
inline PageBuilder pfsPageMarking(std::int32_t pfsId,
                                  const std::vector<std::pair<std::int32_t, std::uint8_t>>& bytes) {
    PageBuilder b = PageBuilder::pfsPage(pfsId);
    const std::int32_t first = pfsId == 1 ? 0 : pfsId;
    for (auto [page, value] : bytes)
        b.set8(PageBuilder::kPfsBytesOffset + static_cast<std::size_t>(page - first), value);
    return b;
}

inline PageBuilder ownedPage(std::int32_t pageId, std::int32_t owner, std::int32_t prev = 0,
                             std::int32_t next = 0) {
    PageBuilder b = PageBuilder::dataPage(pageId, 1, 1, owner);
    if (prev) b.setPrevious(prev);
    if (next) b.setNext(next);
    return b;
}

struct AnalysisWorld {
    TempDir dir;
    SectorImage image{dir.file("disk.img"), 1 << 20};
    SectorSource source;
    ContentFile content;
    FragmentList fragments;
    FragmentIndex index;
    bool readFromSource = true;
    PageOrigin origin{source, content, fragments, readFromSource};
    AnalysisResults results;
    RecordingReporter reporter;
    std::uint16_t sectorsPerCluster = 16;

    AnalysisWorld() {
        source.select(SourceKind::ImageFile, image.path(), image.sectors());
        source.setReadLimit(image.sectors());
    }
    // Places pages and records them as one fragment; returns its record index.
    std::int32_t fragment(std::int64_t sector, const std::vector<PageBuilder>& pages) {
        for (std::size_t i = 0; i < pages.size(); ++i)
            image.put(sector + 16 * static_cast<std::int64_t>(i), pages[i]);
        const std::int32_t first = pages.front().header().pageId();
        fragments.append(composeFragment(static_cast<std::int32_t>(fragments.size() + 1),
                                         static_cast<std::int32_t>(pages.size()), sector, first,
                                         " "));
        index = buildFragmentIndex(fragments);
        return static_cast<std::int32_t>(fragments.size() - 1);
    }
    PageMapPass pass() { return {results.pageMap, origin, reporter, sectorsPerCluster}; }
    AnalysisContext context(NextFragmentChooser* chooser = nullptr) {
        return {fragments, index, origin, results, reporter, sectorsPerCluster, chooser};
    }
    const FragmentRecord& record(std::int32_t r) const {
        return fragments[static_cast<std::size_t>(r)];
    }
    PassOutcome recordFull(std::int32_t r) {
        PageMapPass p = pass();
        return recordFragmentPages(p, record(r).pages(), record(r).beginPage, record(r).fsec);
    }
    MatchCounts match(std::int32_t r) {
        PageMapPass p = pass();
        return matchFragmentPages(p, record(r).pages(), record(r).beginPage, record(r).fsec);
    }
};

}  // namespace mdf::test
