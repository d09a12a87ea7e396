#include "analysis/sole_candidates.h"

#include <algorithm>
#include <vector>

#include "report/reporter.h"

namespace mdf {
namespace {

// A round re-reads every fragment; the map converges in a few.
constexpr int kMostRounds = 8;

bool taken(const AnalysisResults& results, std::int32_t record) {
    return static_cast<std::size_t>(record) < results.combinationMarks.size() &&
           results.combinationMarks[static_cast<std::size_t>(record)] == 1;
}

// Whether a fragment other than the one at position k that overlaps its pages may be theirs.
bool competitorLeft(const FragmentIndex& index, const std::vector<bool>& open,
                    const std::vector<std::int32_t>& furthestEndUpTo, std::size_t k) {
    const std::int32_t begin = index[k].beginPage, end = index[k].endPage;
    const std::size_t first = index.lowerBound(begin);
    for (std::size_t j = first; j < index.size() && index[j].beginPage < end; ++j)
        if (j != k && open[j]) return true;
    for (std::size_t j = first; j-- > 0 && furthestEndUpTo[j] > begin;)
        if (open[j] && index[j].endPage > begin) return true;
    return false;
}

}  // namespace

bool takeSoleCandidates(AnalysisContext& ctx, std::int32_t firstPage) {
    AnalysisResults& results = ctx.results;
    const FragmentIndex& index = ctx.index;
    std::vector<std::int32_t> furthestEndUpTo(index.size());
    for (std::size_t j = 0; j < index.size(); ++j)
        furthestEndUpTo[j] = std::max(j ? furthestEndUpTo[j - 1] : 0, index[j].endPage);
    for (int round = 0; round < kMostRounds && !ctx.stopAsked(); ++round) {
        // open: may hold this file's pages (taken, or not contradicted); firm: fits evidence.
        std::vector<bool> open(index.size(), false), firm(index.size(), false);
        for (std::size_t k = 0; k < index.size(); ++k) {
            if (index[k].beginPage < firstPage) continue;
            if (taken(results, index[k].recordIndex)) {
                open[k] = true;
                continue;
            }
            FitDetail detail;
            const Fit fit = testCandidate(ctx, k, &detail);
            open[k] = fit != Fit::Contradicts;
            firm[k] = fit == Fit::Continues && !detail.restsOnGuess;
        }
        bool took = false;
        for (std::size_t k = 0; k < index.size(); ++k) {
            const std::int32_t r = index[k].recordIndex;
            if (!firm[k] || taken(results, r) || competitorLeft(index, open, furthestEndUpTo, k))
                continue;
            // What was taken since the round began may have changed its fit.
            if (testCandidate(ctx, k) != Fit::Continues || takingRestsOnGuesses(ctx, k)) continue;
            results.mark(r);
            results.recordedFragments.push_back(r);
            PageMapPass pass = ctx.passFor(r);
            const FragmentRecord& record = ctx.fragments[static_cast<std::size_t>(r)];
            if (recordFragmentPages(pass, record.pages(), record.beginPage, record.fsec) !=
                PassOutcome::Done) {
                ctx.reporter.say(Memo::Analysis, said(Saying::PageInfoError, r + 1));
                return false;
            }
            ctx.reporter.say(Memo::Analysis, said(Saying::TookSoleCandidate, r + 1));
            took = true;
        }
        if (!took) break;
    }
    return true;
}

}  // namespace mdf
