#include "analysis/candidate_choice.h"

#include <algorithm>
#include <array>

#include "report/reporter.h"
#include "scan/page_header.h"

namespace mdf {
namespace {

std::uint64_t sectorDistance(std::int64_t a, std::int64_t b) {
    return a > b ? static_cast<std::uint64_t>(a) - static_cast<std::uint64_t>(b)
                 : static_cast<std::uint64_t>(b) - static_cast<std::uint64_t>(a);
}

const FragmentRecord& recordOf(AnalysisContext& ctx, std::size_t position) {
    return ctx.fragments[static_cast<std::size_t>(ctx.index[position].recordIndex)];
}

// The fragment's first page is the file's first PFS page (page id 1).
bool beginsWithFirstPfsPage(AnalysisContext& ctx, const FragmentRecord& r) {
    std::array<std::uint8_t, 8192> page{};
    if (!readFragmentPage(ctx.pages, r.fsec, 0, page)) return false;
    const PageHeader h = PageHeader::from(page);
    return h.pageType() == 11 && h.pageId() == 1;
}

}  // namespace

bool differOnSharedPages(PageOrigin& origin, const FragmentRecord& a, const FragmentRecord& b) {
    constexpr std::int32_t kPagesPerRead = 64;
    const std::int32_t from = std::max(a.beginPage, b.beginPage);
    const std::int32_t to = std::min<std::int64_t>(std::int64_t{a.beginPage} + a.pages(),
                                                   std::int64_t{b.beginPage} + b.pages());
    std::vector<std::uint8_t> pa(std::size_t{8192} * kPagesPerRead), pb(pa.size());
    for (std::int32_t first = from; first < to; first += kPagesPerRead) {
        const std::int32_t count = std::min(kPagesPerRead, to - first);
        if (!origin.readFragmentPages(a.fsec, first - a.beginPage, count, pa.data()) ||
            !origin.readFragmentPages(b.fsec, first - b.beginPage, count, pb.data()))
            return true;
        if (!std::equal(pa.begin(), pa.begin() + std::size_t{8192} * count, pb.begin()))
            return true;
    }
    return false;
}

MemberChoice rankMembers(AnalysisContext& ctx, const std::vector<std::size_t>& group,
                         std::size_t members, std::int32_t lastChosen) {
    const bool haveLast =
        lastChosen >= 0 && static_cast<std::size_t>(lastChosen) < ctx.fragments.size();
    const std::int64_t last =
        haveLast ? ctx.fragments[static_cast<std::size_t>(lastChosen)].fsec : 0;
    std::vector<RankedCandidate> candidates;
    for (std::size_t p : group) {
        const FragmentRecord& r = recordOf(ctx, p);
        candidates.push_back({examineFragment(ctx.pages, r), ctx.index[p].endPage,
                              haveLast ? sectorDistance(r.fsec, last) : 0, false});
    }
    compareSharedPages(candidates);
    std::vector<std::size_t> among;
    for (std::size_t i = 0; i < members && i < candidates.size(); ++i)
        among.push_back(i);
    const std::size_t best = bestCandidate(candidates, among, ctx.results.headLsn);
    MemberChoice choice{group[best], false};
    for (std::size_t i : among) {
        if (i == best) continue;
        const std::int32_t taken = ctx.index[group[best]].recordIndex;
        const std::int32_t left = ctx.index[group[i]].recordIndex;
        const auto reason = rankingReason(candidates[best], candidates[i], ctx.results.headLsn);
        // Nearness and length say which of two copies of this file to take; between this file and
        // another database they say nothing.
        const bool tellsWhose = reason && *reason != Saying::PreferredReachesFurther;
        if (!tellsWhose && !choice.guessed &&
            differOnSharedPages(ctx.pages, recordOf(ctx, group[best]), recordOf(ctx, group[i]))) {
            choice.guessed = true;
            ctx.reporter.say(Memo::Analysis,
                             said(Saying::ChoseWithoutEvidence, taken + 1, left + 1));
            continue;
        }
        if (!reason) continue;
        ctx.reporter.say(Memo::Analysis,
                         said(*reason, taken + 1, left + 1, candidates[best].evidence.summary(),
                              candidates[i].evidence.summary()));
    }
    return choice;
}

void noteHeadLogSequence(AnalysisContext& ctx, std::int64_t firstSector, std::int32_t pages) {
    ctx.results.headLsn = {};
    if (pages <= 0) return;
    FragmentEvidence head =
        examineFragment(ctx.pages, composeFragment(0, pages, firstSector, 0, " "));
    ctx.results.headLsn.take(head);
    if (ctx.results.headLsn.known)
        ctx.reporter.say(Memo::Analysis,
                         said(Saying::HeadLogSequence, ctx.results.headLsn.newest.text()));
}

bool continueLoneFileHeader(AnalysisContext& ctx, std::int64_t& expected) {
    std::vector<std::size_t> starts;
    for (std::size_t p = ctx.index.lowerBound(1);
         p < ctx.index.size() && ctx.index[p].beginPage == 1; ++p) {
        const FragmentRecord& r = recordOf(ctx, p);
        if (std::int64_t{r.beginPage} + r.pages() > ctx.results.expectedPageCount) continue;
        if (beginsWithFirstPfsPage(ctx, r)) starts.push_back(p);
    }
    if (starts.empty()) {
        ctx.reporter.say(Memo::Analysis, said(Saying::LoneHeaderWithoutPageOne));
        return true;
    }
    const MemberChoice chosen = starts.size() == 1 ? MemberChoice{starts[0], false}
                                                   : rankMembers(ctx, starts, starts.size(),
                                                                 ctx.results.lastChosenFragment);
    const std::int32_t r = ctx.index[chosen.position].recordIndex;
    if (chosen.guessed) ctx.results.guessedFragments.insert(r);
    ctx.reporter.say(Memo::Analysis, said(Saying::LoneHeaderPageOneFrom, r + 1));
    ctx.results.lastChosenFragment = r;
    ctx.results.mark(r);
    ctx.results.recordedFragments.push_back(r);
    const FragmentRecord& record = ctx.fragments[static_cast<std::size_t>(r)];
    PageMapPass pass = ctx.passFor(r);
    if (recordFragmentPages(pass, record.pages(), record.beginPage, record.fsec) !=
        PassOutcome::Done) {
        ctx.reporter.say(Memo::Analysis, said(Saying::PageInfoError, r + 1));
        return false;
    }
    expected = ctx.index[chosen.position].endPage;
    return true;
}

bool fileMarksAllFree(const AnalysisResults& results, std::int32_t begin, std::int32_t end) {
    if (begin >= end) return false;
    for (std::int64_t p = begin; p < end; ++p)
        if (results.pageMap.get(p).allocState != 0) return false;
    return true;
}

std::string candidateEvidenceText(PageOrigin& origin, const FragmentRecord& fragment) {
    return examineFragment(origin, fragment).summary();
}

}  // namespace mdf
