#include "analysis/headless_file.h"

#include <array>
#include <map>

#include "analysis/candidate_choice.h"
#include "report/reporter.h"
#include "scan/file_header_readers.h"
#include "scan/page_header.h"

namespace mdf {
namespace {

constexpr std::int32_t kNamePage = 32;

std::optional<std::string> namePath(PageOrigin& pages, const FragmentRecord& r) {
    std::array<std::uint8_t, 8192> page{};
    if (!readFragmentPage(pages, r.fsec, kNamePage - r.beginPage, page)) return std::nullopt;
    restoreTornBits(page);
    FileNameResult name = readFileName(page);
    if (name.result != 0) return std::nullopt;
    return name.name;
}

bool beginsWithFirstPfsPage(PageOrigin& pages, const FragmentRecord& r) {
    std::array<std::uint8_t, 8192> page{};
    if (r.beginPage != 1 || !readFragmentPage(pages, r.fsec, 0, page)) return false;
    const PageHeader h = PageHeader::from(page);
    return h.pageType() == 11 && h.pageId() == 1 && h.objectId() == 99;
}

bool record(AnalysisContext& ctx, std::int32_t r) {
    const FragmentRecord& f = ctx.fragments[static_cast<std::size_t>(r)];
    PageMapPass pass = ctx.passFor(r);
    if (recordFragmentPages(pass, f.pages(), f.beginPage, f.fsec) == PassOutcome::Done) return true;
    ctx.reporter.say(Memo::Analysis, said(Saying::PageInfoError, r + 1));
    return false;
}

// The highest page id the result holds: the end of the last accepted fragment, or past the last
// page a recorded PFS page marks allocated.
std::int32_t sizeFromWhatWasFound(const AnalysisContext& ctx, std::int64_t provisional) {
    std::int64_t size = 1;
    for (std::int32_t r : ctx.results.recordedFragments)
        size = std::max<std::int64_t>(size, ctx.fragments[static_cast<std::size_t>(r)].endPage);
    for (std::int64_t p = provisional - 1; p >= size; --p) {
        if (!ctx.results.pageMap.written(p)) {
            p -= p % PageMap::kChunkEntries;  // nothing recorded in this chunk
            continue;
        }
        if (ctx.results.pageMap.get(p).allocState == 1) {
            size = p + 1;
            break;
        }
    }
    return static_cast<std::int32_t>(size);
}

// The fragment holding page 32 is the one thing known to be this database's: it belongs to the
// result unless the walk took other fragments for its pages.
void keepNamePageFragment(AnalysisContext& ctx, std::int32_t r) {
    AnalysisResults& results = ctx.results;
    if (results.combinationMarks.at(static_cast<std::size_t>(r)) == 1) return;
    const FragmentRecord& name = ctx.fragments[static_cast<std::size_t>(r)];
    for (std::int32_t taken : results.recordedFragments) {
        const FragmentRecord& t = ctx.fragments[static_cast<std::size_t>(taken)];
        if (t.pages() > 0 && t.beginPage < name.endPage && name.beginPage < t.endPage) return;
    }
    results.mark(r);
    results.recordedFragments.push_back(r);
}

// Whether every page id two visible fragments both hold reads the same from each. Pages of
// another database, or older copies, that lie where this one's are would differ. Past a budget of
// compared pages they are taken to differ.
bool overlapsAgree(const FragmentList& fragments, const FragmentIndex& index, PageOrigin& pages) {
    constexpr int kMostCompared = 4096;
    int compared = 0;
    std::array<std::uint8_t, 8192> a{}, b{};
    for (std::size_t p = 0; p < index.size(); ++p) {
        const FragmentRecord& x = fragments[static_cast<std::size_t>(index[p].recordIndex)];
        if (!x.isVisible() || x.pages() <= 0) continue;
        for (std::size_t q = p + 1; q < index.size() && index[q].beginPage < index[p].endPage;
             ++q) {
            const FragmentRecord& y = fragments[static_cast<std::size_t>(index[q].recordIndex)];
            if (!y.isVisible() || y.pages() <= 0) continue;
            const std::int32_t end = std::min(index[p].endPage, index[q].endPage);
            for (std::int32_t id = index[q].beginPage; id < end; ++id) {
                if (++compared > kMostCompared ||
                    !readFragmentPage(pages, x.fsec, id - x.beginPage, a) ||
                    !readFragmentPage(pages, y.fsec, id - y.beginPage, b) || a != b)
                    return false;
            }
        }
    }
    return true;
}

}  // namespace

std::vector<HeadlessDatabase> findHeadlessDatabases(const FragmentList& fragments,
                                                    const FragmentIndex& index, PageOrigin& pages) {
    std::vector<HeadlessDatabase> found;
    std::map<std::string, std::size_t> byPath;
    bool firstPfs = false;
    for (std::size_t p = 0; p < index.size() && index[p].beginPage <= kNamePage; ++p) {
        const FragmentRecord& r = fragments[static_cast<std::size_t>(index[p].recordIndex)];
        if (!r.isVisible() || r.beginPage <= 0) continue;
        firstPfs = firstPfs || beginsWithFirstPfsPage(pages, r);
        if (index[p].endPage <= kNamePage) continue;
        auto path = namePath(pages, r);
        if (!path || byPath.count(*path)) continue;
        byPath[*path] = found.size();
        found.push_back({*path, index[p].recordIndex});
    }
    if (found.empty() && (firstPfs || !index.empty())) found.push_back({});
    if (found.size() == 1) found.front().alone = overlapsAgree(fragments, index, pages);
    return found;
}

bool analyseHeadless(AnalysisContext& ctx, const HeadlessDatabase& database,
                     std::int32_t placeholderRecord) {
    AnalysisResults& results = ctx.results;
    std::int64_t provisional = 1;
    for (const FragmentRecord& r : ctx.fragments)
        if (r.isVisible()) provisional = std::max<std::int64_t>(provisional, r.endPage);
    results.expectedPageCount = static_cast<std::int32_t>(provisional);
    results.lostFileName = database.path.empty() ? kNoName : database.path;
    results.headLsn = {};
    results.firstRecordedWithPfsPassOnly = false;
    resetPageMap(results.pageMap, provisional);
    results.combinationMarks.assign(ctx.fragments.size(), 0);
    results.recordedFragments.clear();
    results.guessedFragments.clear();
    results.mark(placeholderRecord);
    results.recordedFragments.push_back(placeholderRecord);
    results.lastChosenFragment = placeholderRecord;
    ctx.reporter.say(Memo::Analysis, said(Saying::HeaderLostRebuilding, results.lostFileName));

    // What the file's own pages can tell before the walk: page 32's fragment, then page 1's.
    if (database.namePageRecord >= 0 && !record(ctx, database.namePageRecord)) return false;
    std::vector<std::size_t> starts;
    for (std::size_t p = ctx.index.lowerBound(1);
         p < ctx.index.size() && ctx.index[p].beginPage == 1; ++p) {
        const FragmentRecord& r = ctx.fragments[static_cast<std::size_t>(ctx.index[p].recordIndex)];
        if (beginsWithFirstPfsPage(ctx.pages, r) && testCandidate(ctx, p) != Fit::Contradicts)
            starts.push_back(p);
    }
    if (!starts.empty()) {
        const MemberChoice chosen = starts.size() == 1
                                        ? MemberChoice{starts[0], false}
                                        : rankMembers(ctx, starts, starts.size(), -1);
        const std::int32_t r = ctx.index[chosen.position].recordIndex;
        if (chosen.guessed) results.guessedFragments.insert(r);
        if (!record(ctx, r)) return false;
    }
    // Without the first PFS page nothing tells which pages the file allocates, so no fragment
    // gives the walk evidence. Where nothing else can claim them, every fragment's pages tell
    // what they know (later PFS pages, IAM pages) and the file reaches the highest page found.
    const bool allocationKnown = !starts.empty();
    const bool everyFragment = !allocationKnown && (database.namePageRecord < 0 || database.alone);
    if (everyFragment) {
        ctx.reporter.say(Memo::Analysis,
                         said(database.namePageRecord < 0 ? Saying::MapFromEveryFragmentNoName
                                                          : Saying::MapFromEveryFragment));
        for (const FragmentIndexEntry& e : ctx.index)
            if (e.recordIndex != database.namePageRecord && !record(ctx, e.recordIndex))
                return false;
    }
    const bool walked = walkChain(ctx, 1, ctx.index.lowerBound(1));
    if (database.namePageRecord >= 0) keepNamePageFragment(ctx, database.namePageRecord);
    results.expectedPageCount = everyFragment ? static_cast<std::int32_t>(provisional)
                                              : sizeFromWhatWasFound(ctx, provisional);
    ctx.reporter.say(Memo::Analysis, said(Saying::EstimatedPageCount, results.expectedPageCount));
    return walked;
}

}  // namespace mdf
