#include "analysis/file_names.h"

#include <array>

#include "analysis/chain_analysis.h"
#include "report/reporter.h"
#include "scan/file_header_readers.h"

namespace mdf {
namespace {

constexpr std::int32_t kNamePage = 32;

bool holdsNamePage(const FragmentIndexEntry& e) {
    return e.beginPage <= kNamePage && e.endPage > kNamePage;
}

// Positions of the fragments holding page 32: the one the analysis accepted, else the only one
// that does not contradict what the analysis learnt. One the analysis took by a guess may name
// another database: it names none.
std::optional<std::size_t> namePagePosition(AnalysisContext& ctx) {
    std::vector<std::size_t> open;
    for (std::size_t p = 0; p < ctx.index.size() && ctx.index[p].beginPage <= kNamePage; ++p) {
        if (!holdsNamePage(ctx.index[p])) continue;
        const auto r = static_cast<std::size_t>(ctx.index[p].recordIndex);
        if (ctx.fragments[r].beginPage == 0) continue;  // another file's head
        if (r < ctx.results.combinationMarks.size() && ctx.results.combinationMarks[r] == 1) {
            if (ctx.results.guessedFragments.count(ctx.index[p].recordIndex)) return std::nullopt;
            return p;
        }
        if (testCandidate(ctx, p) != Fit::Contradicts) open.push_back(p);
    }
    if (open.size() == 1) return open[0];
    return std::nullopt;
}

// The first sectors of page 32 where no whole page 32 gives the name: clusters smaller than a
// page put the rest of it elsewhere. They are the sectors right after the run the analysis took
// for pages up to 31 (a run that ends at a cluster's end, so the first piece of page 32 is that
// whole cluster), or the first cluster of a run the analysis took that ends with a page 32 whose
// later sectors are another file's.
std::optional<ResolvedFileName> nameFromFirstPiece(AnalysisContext& ctx) {
    const std::int32_t pieceSectors = std::min<std::int32_t>(ctx.sectorsPerCluster, 16);
    if (pieceSectors <= 0 || pieceSectors >= 16) return std::nullopt;
    std::array<std::uint8_t, 8192> page{};
    for (const FragmentIndexEntry& e : ctx.index) {
        const auto r = static_cast<std::size_t>(e.recordIndex);
        if (r >= ctx.results.combinationMarks.size() || ctx.results.combinationMarks[r] != 1 ||
            ctx.results.guessedFragments.count(e.recordIndex))
            continue;
        if (e.endPage != kNamePage && e.endPage != kNamePage + 1) continue;
        const FragmentRecord& f = ctx.fragments[r];
        page.fill(0);
        if (!ctx.pages.readFragmentSectors(f.fsec, (kNamePage - e.beginPage) * 16, pieceSectors,
                                           page.data()) ||
            PageHeader::from(page).pageId() != kNamePage)
            continue;
        FileNameResult name =
            readFileNameFromFirstBytes(page, static_cast<std::size_t>(pieceSectors) * 512);
        if (name.result == 0)
            return ResolvedFileName{name.name, ctx.results.expectedPageCount, e.recordIndex};
    }
    return std::nullopt;
}

}  // namespace

std::optional<ResolvedFileName> resolveFileName(const FragmentList& fragments,
                                                const FragmentIndex& index, PageOrigin& pages,
                                                std::uint16_t sectorsPerCluster,
                                                std::int64_t headFirstSector,
                                                std::int64_t headSizeKB) {
    AnalysisResults scratch;
    SilentReporter silent;
    AnalysisContext ctx{fragments, index, pages, scratch, silent, sectorsPerCluster, nullptr};
    analyseChain(ctx, {headFirstSector, headSizeKB});
    if (scratch.expectedPageCount <= 0) return std::nullopt;
    auto position = namePagePosition(ctx);
    if (!position) return nameFromFirstPiece(ctx);
    const FragmentIndexEntry& e = index[*position];
    const FragmentRecord& r = fragments[static_cast<std::size_t>(e.recordIndex)];
    std::array<std::uint8_t, 8192> page{};
    if (!readFragmentPage(pages, r.fsec, kNamePage - e.beginPage, page)) return std::nullopt;
    restoreTornBits(page);
    FileNameResult name = readFileName(page);
    if (name.result != 0) return nameFromFirstPiece(ctx);
    return ResolvedFileName{name.name, scratch.expectedPageCount, e.recordIndex};
}

}  // namespace mdf
