#include "analysis/candidate_ranking.h"

#include <fmt/core.h>

#include <algorithm>
#include <array>
#include <tuple>

#include "source/byte_order.h"

namespace mdf {
namespace {

constexpr std::int32_t kPagesPerRead = 64;

void takePage(FragmentEvidence& e, ConstPageBytes page) {
    ++e.pages;
    const bool empty = std::all_of(page.begin(), page.end(), [](std::uint8_t b) { return b == 0; });
    if (empty || pageProtection(page) == PageProtection::None)
        ++e.unprotected;
    else if (verifyPage(page))
        ++e.verified;
    else
        ++e.failing;
    const LogSequence lsn = pageLogSequence(page);
    e.pageLsns.push_back(lsn);
    if (lsn.isZero()) return;
    if (!e.hasLsn) {
        e.oldest = e.newest = lsn;
        e.hasLsn = true;
        return;
    }
    e.oldest = std::min(e.oldest, lsn);
    e.newest = std::max(e.newest, lsn);
}

// Sort key: smaller is better.
auto rankKey(const RankedCandidate& c, const HeadLogSequence& head) {
    return std::make_tuple(!c.evidence.intact(), !head.allows(c.evidence), c.olderOnSharedPage,
                           -std::int64_t{c.endPage}, c.distance);
}

}  // namespace

std::string LogSequence::text() const {
    return fmt::format("{}:{}:{}", file, block, slot);
}

LogSequence pageLogSequence(ConstPageBytes page) {
    return {loadU32(&page[40]), loadU32(&page[44]), loadU16(&page[48])};
}

std::string FragmentEvidence::summary() const {
    std::string s = fmt::format("{}/{} verified", verified, pages);
    if (failing) s += fmt::format(", {} failing", failing);
    if (unreadable) s += fmt::format(", {} unreadable", unreadable);
    if (hasLsn) s += " LSN " + oldest.text() + " .. " + newest.text();
    return s;
}

FragmentEvidence examineFragment(PageOrigin& origin, const FragmentRecord& fragment) {
    FragmentEvidence e;
    e.beginPage = fragment.beginPage;
    const std::int32_t pages = fragment.pages();
    std::vector<std::uint8_t> chunk(std::size_t{kPagesPerRead} * 8192);
    std::vector<bool> readable;
    for (std::int32_t first = 0; first < pages; first += kPagesPerRead) {
        const std::int32_t count = std::min(kPagesPerRead, pages - first);
        readFragmentPagesEach(origin, fragment.fsec, first, count, chunk.data(), readable);
        for (std::int32_t t = 0; t < count; ++t) {
            auto page = PageBytes(&chunk[std::size_t{8192} * static_cast<std::size_t>(t)], 8192);
            if (!readable[static_cast<std::size_t>(t)]) {
                ++e.pages;
                ++e.unreadable;
                e.pageLsns.push_back({});
                continue;
            }
            takePage(e, page);
        }
    }
    return e;
}

void HeadLogSequence::take(const FragmentEvidence& head) {
    if (!head.hasLsn) return;
    if (!known || newest < head.newest) newest = head.newest;
    known = true;
}

bool HeadLogSequence::allows(const FragmentEvidence& candidate) const {
    return !known || !candidate.hasLsn || candidate.newest.file <= newest.file;
}

// True when b holds a page with one of a's page ids whose log sequence is later than a's.
bool laterOnSharedPage(const FragmentEvidence& a, const FragmentEvidence& b) {
    const std::int64_t from = std::max(a.beginPage, b.beginPage);
    const std::int64_t to = std::min<std::int64_t>(
        std::int64_t{a.beginPage} + static_cast<std::int64_t>(a.pageLsns.size()),
        std::int64_t{b.beginPage} + static_cast<std::int64_t>(b.pageLsns.size()));
    for (std::int64_t p = from; p < to; ++p) {
        const LogSequence& la = a.pageLsns[static_cast<std::size_t>(p - a.beginPage)];
        const LogSequence& lb = b.pageLsns[static_cast<std::size_t>(p - b.beginPage)];
        if (!la.isZero() && !lb.isZero() && la < lb) return true;
    }
    return false;
}

void compareSharedPages(std::vector<RankedCandidate>& candidates) {
    for (std::size_t i = 0; i < candidates.size(); ++i) {
        candidates[i].olderOnSharedPage = false;
        for (std::size_t j = 0; j < candidates.size() && !candidates[i].olderOnSharedPage; ++j)
            if (j != i && candidates[j].evidence.intact() &&
                laterOnSharedPage(candidates[i].evidence, candidates[j].evidence))
                candidates[i].olderOnSharedPage = true;
    }
}

std::size_t bestCandidate(const std::vector<RankedCandidate>& candidates,
                          const std::vector<std::size_t>& among, const HeadLogSequence& head) {
    std::size_t best = among.at(0);
    for (std::size_t i : among)
        if (rankKey(candidates[i], head) < rankKey(candidates[best], head)) best = i;
    return best;
}

std::optional<Saying> rankingReason(const RankedCandidate& winner, const RankedCandidate& other,
                                    const HeadLogSequence& head) {
    if (winner.evidence.intact() != other.evidence.intact()) return Saying::PreferredIntact;
    if (head.allows(winner.evidence) != head.allows(other.evidence))
        return Saying::PreferredAllowed;
    if (winner.olderOnSharedPage != other.olderOnSharedPage) return Saying::PreferredNewer;
    if (winner.endPage != other.endPage) return Saying::PreferredReachesFurther;
    return std::nullopt;
}

}  // namespace mdf
